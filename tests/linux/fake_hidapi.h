// A stand-in for the hidapi shared library, linked into the backend's tests in
// place of the real one: it lists scripted devices, serves queued input
// reports and records what is written.
#ifndef TEVUIO_TESTS_FAKE_HIDAPI_H
#define TEVUIO_TESTS_FAKE_HIDAPI_H

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace fake_hidapi {

// Forgets every device, queue and record. Devices opened before stay valid
// pointers but read as unplugged.
void reset();

// A listed device; interface_number -1 stands for one without an interface part.
void add_device(unsigned short vendor_id, unsigned short product_id, int interface_number,
                const std::string &path);
// hid_open_path on this path fails, with this errno.
void set_open_fails(const std::string &path, bool fails, int error = ENOENT);

// Queues one input report on the device of this path (opened or not yet).
void push_input(const std::string &path, const std::vector<uint8_t> &report);
// Reads of the device fail from now on, a blocked one included.
void unplug(const std::string &path);
// The next `times` calls of hid_write / hid_send_feature_report on the device
// (every one when times is -1) return -1 with errno set to error. Writes to an
// unplugged device fail with ENODEV.
void fail_writes(const std::string &path, int error, int times = -1);

// Each write or feature report to the device takes this long, as on a
// real interrupt endpoint (0 by default).
void set_write_delay_ms(const std::string &path, int ms);
// Reports sent to the device so far; only the first 4096 are kept below.
int write_count(const std::string &path);

// What the device was sent, in order.
std::vector<std::vector<uint8_t>> writes(const std::string &path);
std::vector<std::vector<uint8_t>> features(const std::string &path);

// Paths opened so far, in order.
std::vector<std::string> opened_paths();
// Enumerations handed out and not yet freed.
int live_enumerations();
// Reads of the device that are waiting now (called with a timeout that is not 0).
int waiting_reads(const std::string &path);
// Calls of hid_read_timeout on the device so far.
int read_calls(const std::string &path);

} // namespace fake_hidapi

#endif
