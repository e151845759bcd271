#include "tevuio/controller.h"

#include "tevuio/hid.h"
#include "tevuio/log.h"

namespace {

// While the controller is lost: the pause of a pass, and how often to search.
constexpr uint32_t lost_pause_ms = 8;
constexpr uint64_t search_interval_ms = 500;
// How long the lighting thread looks for a lighting interface that is missing
// after the controller came back, or that went away on its own; and how often.
constexpr uint64_t lighting_search_ms = 3000;
constexpr uint64_t lighting_search_interval_ms = 250;

// Init's searches print a failed open and count the searches that find
// nothing; the searches after init do neither.
enum class search_kind { init, quiet };

// One search for an interface of the controller, which opens it; with skip,
// the match that many places after the first (hid_open_device).
hid_search_result search(controller &device, plat_file *handle, uint8_t interface, search_kind kind,
                         uint32_t skip = 0) {
    const hid_search_result found = hid_open_device(device.search_turn, handle, TEVUIO_VENDOR_ID,
                                                    interface, kind == search_kind::quiet, skip);
    if (found == HID_NOT_FOUND && kind == search_kind::init) {
        device.open_failure_count = static_cast<uint8_t>(device.open_failure_count + 1);
        if (device.open_failure_count > 2) {
            log_printf("Could not init device after multiple attempts. Exiting.\r\n");
            plat_exit(1);
        }
    }
    return found;
}

// The open of the input interface, init's and the return's: one search, and
// what it found takes the slot (the invalid handle when its open failed); a
// search that finds nothing leaves the slot as it was.
hid_search_result open_input(controller &device, plat_file *handle, uint8_t interface,
                             search_kind kind) {
    const hid_search_result found = search(device, handle, interface, kind);
    if (found != HID_NOT_FOUND)
        device_replace(device.input, *handle);
    return found;
}

// The link is connected, with the input on this interface, and the lighting
// thread looks for its interface until then (0: not at all).
void connected(controller &device, uint8_t interface, uint64_t lighting_until) {
    device.input_interface.store(interface, std::memory_order_release);
    device.lighting_search_until.store(lighting_until, std::memory_order_release);
    device.state.store(link::connected, std::memory_order_release);
}

} // namespace

int32_t controller::open() {
    plat_file input_file = nullptr;
    uint8_t interface = device_input_interface;
    hid_search_result found = open_input(*this, &input_file, interface, search_kind::init);
    if (found != HID_OPENED) {
        interface = TEVUIO_ANY_INTERFACE;
        found = open_input(*this, &input_file, interface, search_kind::init);
    }
    if (found != HID_OPENED)
        return -1;

    plat_file lighting_file = nullptr;
    if (search(*this, &lighting_file, device_lighting_interface, search_kind::init) != HID_OPENED)
        lighting_file = nullptr;
    device_replace(lighting, lighting_file);
    connected(*this, interface, 0);
    device_wake_user(lighting);

    if (!plat_hid_set_input_queue(input_file, device_input_queue_depth)) {
        log_printf("Error %lu setnuminputbuff\r\n", plat_last_error());
        return -1;
    }
    return 0;
}

void controller::lose(search_timer &timer) {
    state.store(link::lost, std::memory_order_release);
    lighting_search_until.store(0, std::memory_order_release);
    device_replace(input, nullptr);
    device_replace(lighting, nullptr);
    log_printf("Controller disconnected; inputs released. Searching for it.\r\n");
    timer.next_ms = plat_now_ms() + search_interval_ms;
}

void controller::search_while_lost(search_timer &timer, const plat_pacer *pacer) {
    const uint64_t now = plat_now_ms();
    if (now < timer.next_ms) {
        plat_wait(pacer, lost_pause_ms);
        return;
    }
    timer.next_ms = now + search_interval_ms;
    const uint8_t interface = input_interface.load(std::memory_order_acquire);
    plat_file input_file = nullptr;
    if (open_input(*this, &input_file, interface, search_kind::quiet) != HID_OPENED)
        return;
    if (!plat_hid_set_input_queue(input_file, device_input_queue_depth)) {
        device_replace(input, nullptr);
        return;
    }
    // The lighting thread looks for the lighting interface from now on,
    // whether or not the controller sends input.
    connected(*this, interface, now + lighting_search_ms);
    log_printf("Controller connected again.\r\n");
    device_wake_user(lighting);
}

void controller::await_lighting(search_timer &timer) {
    const uint64_t until = lighting_search_until.load(std::memory_order_acquire);
    if (until == 0 || link_state() == link::lost) {
        plat_wait(nullptr, plat_wait_forever);
        return;
    }
    const uint64_t now = plat_now_ms();
    if (now >= timer.next_ms) {
        plat_file found = nullptr;
        const hid_search_result result =
            search(*this, &found, device_lighting_interface, search_kind::quiet, timer.dead);
        if (result == HID_OPENED) {
            device_replace(lighting, found);
            lighting_search_until.store(0, std::memory_order_release);
            return;
        }
        if (result == HID_OPEN_FAILED)
            ++timer.dead;
        if (now >= until) {
            // Given up: lights stay off until the controller comes back.
            uint64_t expected = until;
            lighting_search_until.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
            return;
        }
        timer.next_ms = now + lighting_search_interval_ms;
    }
    plat_wait(nullptr, static_cast<uint32_t>(timer.next_ms - now));
}

void controller::lighting_gone(search_timer &timer) {
    device_replace(lighting, nullptr);
    ++timer.dead;
    if (link_state() == link::lost)
        return;
    const uint64_t now = plat_now_ms();
    lighting_search_until.store(now + lighting_search_ms, std::memory_order_release);
    timer.next_ms = now + lighting_search_interval_ms;
}

bool controller::lighting_wanted() const {
    return device_file_open(lighting.file.load(std::memory_order_acquire)) ||
           link_state() != link::none;
}
