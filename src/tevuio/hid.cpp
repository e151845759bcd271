// HID transport: device search by vendor and interface among the listed
// interfaces, the newest-report read, and the send of a laid-out report.
#include "tevuio/hid.h"

#include "tevuio/log.h"

#include <cstring>

namespace {

// A search takes well under a millisecond; a second searcher looks this often.
constexpr uint32_t search_poll_ms = 1;

// The listed interfaces of the vendor, and of the interface unless any will
// do: how many there are, and the one after the first skip of them (the
// first is entry 0) in *entry. 0 when there is none or no list.
uint32_t find_interface(plat_hid_interface *entry, uint16_t vendor_id, uint8_t interface,
                        uint32_t skip) {
    plat_list list = plat_hid_list_open();
    if (list == nullptr)
        return 0;
    // Entries past the wanted one are read here.
    plat_hid_interface later;
    uint32_t matches = 0;
    for (uint32_t index = 0;; ++index) {
        plat_hid_interface &seen = matches <= skip ? *entry : later;
        const plat_entry_result result = plat_hid_list_entry(list, index, &seen);
        if (result == PLAT_ENTRY_END)
            break;
        if (result == PLAT_ENTRY_OK && seen.vendor_id == vendor_id &&
            (interface == TEVUIO_ANY_INTERFACE || seen.interface_number == interface))
            ++matches;
    }
    plat_hid_list_close(list);
    return matches;
}

} // namespace

hid_search_result hid_open_device(hid_search_turn &turn, plat_file *handle_out, uint16_t vendor_id,
                                  uint8_t interface, bool quiet, uint32_t skip) {
    plat_hid_interface entry;
    while (turn.taken.exchange(true, std::memory_order_acquire))
        plat_sleep_ms(search_poll_ms);
    uint32_t matches = find_interface(&entry, vendor_id, interface, skip);
    if (matches != 0 && skip >= matches)
        matches = find_interface(&entry, vendor_id, interface, skip % matches);
    const bool found = matches != 0;
    const plat_file file = found ? plat_hid_open(entry.path) : nullptr;
    const unsigned long error = plat_last_error();
    turn.taken.store(false, std::memory_order_release);
    if (!found)
        return HID_NOT_FOUND;
    *handle_out = file;
    if (file == PLAT_INVALID_FILE) {
        if (!quiet)
            log_printf("Could not open detected device (err = %lx).\r\n", error);
        return HID_OPEN_FAILED;
    }
    return HID_OPENED;
}

hid_read_status hid_read_input_report(plat_file handle, uint8_t *destination, uint8_t report_id,
                                      uint8_t length) {
    // Room for two reports of any length the parameter allows.
    uint8_t received[2 * 255];
    const uint32_t room = 2u * length;
    received[0] = report_id;
    uint32_t count = 0;
    switch (plat_hid_read(handle, received, room, &count)) {
    case PLAT_IO_DONE:
        break;
    case PLAT_IO_CANCELLED:
        return HID_READ_CANCELLED;
    case PLAT_IO_FAILED:
    case PLAT_IO_GONE:
    default:
        return HID_READ_GONE;
    }
    // One report, or two of the same length: the newest is the last.
    if (count != room && count != length)
        return HID_READ_IGNORED;
    const uint8_t *newest = received + (count - length);
    if (newest[0] != report_id)
        return HID_READ_IGNORED;
    std::memcpy(destination, newest, length);
    return HID_READ_REPORT;
}
