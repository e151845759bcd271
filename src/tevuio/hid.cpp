// HID transport: device search by vendor and interface in the listed paths,
// the newest-report read, and the output and feature writes.
#include "tevuio/hid.h"

#include "tevuio/state.h"

#include <cstdio>
#include <cstring>

namespace {

// Room for the detail record of one listed interface, its path included.
constexpr uint32_t detail_room = 1024;

// Scratch of the input read: room for two reports of any length the
// uint8_t parameter allows. Used by the slider thread alone.
uint8_t receive_buffer[2 * 255 + 2];

// Padded output reports are always this long: ID and 48 payload bytes.
constexpr uint32_t padded_report_length = 49;

// Found nothing: count it, and end the process on the third such search.
int count_failed_search() {
    open_failure_count = static_cast<uint8_t>(open_failure_count + 1);
    if (open_failure_count <= 2)
        return -1;
    log_printf("Could not init device after multiple attempts. Exiting.\r\n");
    plat_exit(1);
}

} // namespace

int hid_open_device(plat_file *handle_out, uint16_t vendor_id, uint8_t interface) {
    plat_list list = plat_hid_list_open();
    if (list == nullptr)
        return count_failed_search();

    char vendor_pattern[16];
    char interface_pattern[16];
    std::snprintf(vendor_pattern, sizeof vendor_pattern, "vid_%04x&", vendor_id);
    const bool any_interface = interface == TEVUIO_ANY_INTERFACE;
    if (!any_interface)
        std::snprintf(interface_pattern, sizeof interface_pattern, "&mi_%02x", interface);

    char path[detail_room];
    for (uint32_t index = 0;; ++index) {
        uint32_t detail_size = 0;
        if (!plat_hid_list_entry(list, index, &detail_size))
            break;
        if (detail_size == 0 || detail_size > detail_room)
            continue;
        if (!plat_hid_list_path(list, index, path, detail_size))
            continue;
        path[detail_room - 1] = '\0';
        if (std::strstr(path, vendor_pattern) == nullptr)
            continue;
        if (!any_interface && std::strstr(path, interface_pattern) == nullptr)
            continue;

        plat_hid_list_close(list);
        plat_file file = plat_hid_open(path);
        *handle_out = file;
        if (file == PLAT_INVALID_FILE) {
            log_printf("Could not open detected device (err = %lx).\r\n", plat_last_error());
            return -1;
        }
        return 0;
    }

    plat_hid_list_close(list);
    return count_failed_search();
}

int hid_read_input_report(plat_file handle, uint8_t *destination, uint8_t report_id,
                          uint8_t length) {
    if (destination == nullptr)
        return -1;
    const uint32_t room = 2u * length;
    receive_buffer[0] = report_id;
    uint32_t count = 0;
    if (plat_hid_read(handle, receive_buffer, room, &count) != PLAT_READ_DATA)
        return -1;
    if (count != room && count != length)
        return -1;
    std::memcpy(destination, receive_buffer + (count - length), length);
    return 0;
}

int hid_write_padded_report(plat_file handle, const uint8_t *payload, uint8_t report_id,
                            uint8_t payload_length) {
    uint8_t report[padded_report_length] = {};
    report[0] = report_id;
    if (payload_length > padded_report_length - 1)
        payload_length = padded_report_length - 1;
    if (payload_length > 0)
        std::memcpy(report + 1, payload, payload_length);
    return plat_hid_write(handle, report, padded_report_length) ? 0 : -1;
}

int hid_write_report(plat_file handle, const uint8_t *report, uint8_t report_id, uint8_t length) {
    if (report[0] != report_id)
        return -1;
    plat_hid_write(handle, report, length);
    return 0;
}

int hid_set_feature_report(plat_file handle, const uint8_t *report, uint8_t report_id,
                           uint8_t length) {
    if (report[0] != report_id)
        return -1;
    plat_hid_set_feature(handle, report, length);
    return 0;
}
