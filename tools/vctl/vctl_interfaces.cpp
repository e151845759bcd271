#include "vctl_interfaces.h"

#include "platform/virtual_hid.h"

#include <algorithm>
#include <iterator>

namespace vctl {

namespace {

// HID short items: the prefix is the tag and type, plus the size of the data.
enum : uint8_t {
    item_usage_page_2 = 0x06,
    item_usage = 0x09,
    item_collection = 0xA1,
    item_end_collection = 0xC0,
    item_logical_min = 0x15,
    item_logical_max_2 = 0x26,
    item_report_size = 0x75,
    item_report_id = 0x85,
    item_report_count = 0x95,
    item_input = 0x81,
    item_output = 0x91,
    item_feature = 0xB1,
};
constexpr uint8_t collection_application = 0x01;
constexpr uint8_t data_variable_absolute = 0x02;

// One report: its ID, a usage numbered after it, its data bytes, the main item.
void describe_report(std::vector<uint8_t> &d, uint8_t main_item, uint8_t id, size_t length) {
    const uint8_t items[] = {item_report_id,    id,
                             item_usage,        id,
                             item_report_count, static_cast<uint8_t>(length - 1),
                             main_item,         data_variable_absolute};
    d.insert(d.end(), std::begin(items), std::end(items));
}

} // namespace

std::vector<uint8_t> report_descriptor(interface_reports which) {
    // Usage page 0xFF00 (vendor-defined), usage 1, bytes 0-255.
    std::vector<uint8_t> d = {item_usage_page_2,
                              0x00,
                              0xFF,
                              item_usage,
                              0x01,
                              item_collection,
                              collection_application,
                              item_logical_min,
                              0x00,
                              item_logical_max_2,
                              0xFF,
                              0x00,
                              item_report_size,
                              8};
    if (which != interface_reports::lighting) {
        describe_report(d, item_input, report_input, input_report_length);
    }
    if (which != interface_reports::input) {
        for (const uint8_t id : {report_leds_low, report_leds_high, report_lamps}) {
            describe_report(d, item_output, id, output_report_length);
        }
        describe_report(d, item_feature, report_leds_packed, feature_report_length);
    }
    d.push_back(item_end_collection);
    return d;
}

size_t longest_report(interface_reports which) {
    return which == interface_reports::input
               ? input_report_length
               : std::max({input_report_length, output_report_length, feature_report_length});
}

plat_report_kind kind_of_report(uint8_t id) {
    return id == report_leds_packed ? PLAT_REPORT_FEATURE : PLAT_REPORT_OUTPUT;
}

message_check read_host_message(const uint8_t *message, size_t length, host_message *out) {
    if (length == 0 || (message[0] != VHID_OUTPUT && message[0] != VHID_FEATURE)) {
        return message_check::unexpected_kind;
    }
    if (length < 3) {
        return message_check::too_short;
    }
    out->kind = message[0] == VHID_OUTPUT ? PLAT_REPORT_OUTPUT : PLAT_REPORT_FEATURE;
    out->sequence = message[1];
    out->report = message + 2;
    out->length = length - 2;
    return message_check::report;
}

void make_ack(uint8_t sequence, uint8_t out[ack_length]) {
    out[0] = VHID_ACK;
    out[1] = sequence;
}

} // namespace vctl
