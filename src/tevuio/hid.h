// HID transport: finding and opening a controller interface, reading the
// newest input report, writing output and feature reports.
#ifndef TEVUIO_HID_H
#define TEVUIO_HID_H

#include "platform/platform.h"

#include <cstdint>

// interface 0xFF means any. 0 with *handle_out open, or -1. A search that finds
// nothing counts towards the process-wide limit; the third ends the process.
int hid_open_device(plat_file *handle_out, uint16_t vendor_id, uint8_t interface);
// 0 and length bytes of destination filled with the newest report, or -1 with
// destination untouched.
int hid_read_input_report(plat_file handle, uint8_t *destination, uint8_t report_id,
                          uint8_t length);
// Sends a 49-byte output report: ID, payload, zeros. Returns 0 when the
// platform took it, -1 when the write failed.
int hid_write_padded_report(plat_file handle, const uint8_t *payload, uint8_t report_id,
                            uint8_t payload_length);
// -1 (nothing sent) when report[0] is not report_id, else 0.
int hid_write_report(plat_file handle, const uint8_t *report, uint8_t report_id, uint8_t length);
int hid_set_feature_report(plat_file handle, const uint8_t *report, uint8_t report_id,
                           uint8_t length);

#endif
