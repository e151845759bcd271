// HID transport: finding and opening a controller interface, reading the
// newest input report, sending reports built whole (reports.h).
#ifndef TEVUIO_HID_H
#define TEVUIO_HID_H

#include "platform/platform.h"
#include "tevuio/reports.h"

#include <atomic>
#include <cstdint>

// The interface number of a search that takes any interface.
#define TEVUIO_ANY_INTERFACE 0xFF

// Device searches take turns: the platform's listing is not re-entrant.
struct hid_search_turn {
    std::atomic<bool> taken{false};
};

// What a device search gave.
enum hid_search_result {
    HID_OPENED = 0,       // *handle_out is open
    HID_OPEN_FAILED = -1, // found, but the open failed: *handle_out is PLAT_INVALID_FILE
    HID_NOT_FOUND = -2,   // no listed interface matches, or no list could be had
};
// Opens an interface of the vendor with this interface number (or any). A
// failed open prints a line unless quiet. *handle_out is left as it was when
// nothing is found. Searches from several threads take turns. The first
// matching interface is taken, or with skip the one that many places after
// it, counting round the matches.
hid_search_result hid_open_device(hid_search_turn &turn, plat_file *handle_out, uint16_t vendor_id,
                                  uint8_t interface, bool quiet = false, uint32_t skip = 0);

enum hid_read_status {
    HID_READ_REPORT,    // destination holds the newest report
    HID_READ_IGNORED,   // a report of another ID or length came: destination untouched
    HID_READ_CANCELLED, // the read was cancelled: destination untouched
    HID_READ_GONE,      // the device is gone: destination untouched
};
// Reads the newest input report of this ID and length (of at most two queued).
hid_read_status hid_read_input_report(plat_file handle, uint8_t *destination, uint8_t report_id,
                                      uint8_t length);

// The one way out for reports: sends a report built whole (reports.h) as
// the kind its builder chose.
inline plat_io_result hid_send_report(plat_file handle, const report::outgoing &report) {
    return plat_hid_send(handle, report.kind, report.bytes, report.length);
}

#endif
