// The virtual controller's interfaces: which reports each carries, as its USB
// report descriptor states them, and how a report from the host arrives on an
// interface's socket.
#ifndef TEVU_VCTL_INTERFACES_H
#define TEVU_VCTL_INTERFACES_H

#include "vctl_model.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vctl {

// --- USB report descriptors ----------------------------------------------------
// What a USB interface of the controller carries: the input report (0x01), the
// light reports (output 0x04, 0x05, 0x06 and feature 0x0B), or all of them on
// one interface.
enum class interface_reports { input, lighting, all };

// The HID report descriptor of such an interface, in a vendor-defined usage
// page: one application collection that states each report's ID and its data
// length (the report's length without the ID byte) in 8-bit fields.
std::vector<uint8_t> report_descriptor(interface_reports which);
// The longest report the interface sends or takes, its ID included.
size_t longest_report(interface_reports which);
// A report read from a USB HID interface without its type: 0x0B is the one
// feature report, every other ID an output report.
plat_report_kind kind_of_report(uint8_t id);

// --- Host messages -------------------------------------------------------------
// A report as the host sends it on an interface: the kind byte (VHID_OUTPUT or
// VHID_FEATURE), the sequence byte of the write, then the report.
struct host_message {
    plat_report_kind kind = PLAT_REPORT_OUTPUT;
    uint8_t sequence = 0;
    const uint8_t *report = nullptr; // points into the message
    size_t length = 0;
};
enum class message_check {
    report,          // *out holds it
    unexpected_kind, // not an output or feature report
    too_short,       // no room for the sequence byte and a report: ignored, never ACKed
};
message_check read_host_message(const uint8_t *message, size_t length, host_message *out);

// The answer to the report numbered sequence once it has been taken: VHID_ACK
// and that number.
constexpr size_t ack_length = 2;
void make_ack(uint8_t sequence, uint8_t out[ack_length]);

} // namespace vctl

#endif
