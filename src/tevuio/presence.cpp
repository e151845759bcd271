#include "tevuio/presence.h"

#include "tevuio/hid.h"
#include "tevuio/lighting.h"
#include "tevuio/state.h"

namespace {

// While the controller is lost: the pause of a pass, and how often to search.
constexpr uint32_t lost_pause_ms = 8;
constexpr uint64_t search_interval_ms = 500;
// While the lighting interface is missing and looked for: how often to look.
constexpr uint64_t lighting_search_interval_ms = 250;

void release_inputs() {
    tevu.input.buttons.store(0, std::memory_order_release);
    tevu.input.slider.store(report::slider_untouched, std::memory_order_release);
}

// One search for the lost controller; true when its input is open again.
bool search_controller() {
    device_state &device = tevu.device;
    const uint8_t interface = device.input_interface.load(std::memory_order_acquire);
    plat_file input = nullptr;
    if (hid_open_device(device, &input, TEVUIO_VENDOR_ID, interface, true) != HID_OPENED)
        return false;
    if (!plat_hid_set_input_queue(input, device_input_queue_depth)) {
        plat_hid_close(input);
        return false;
    }
    device_replace(device.input, input);
    return true;
}

} // namespace

void presence_lost(search_timer &timer) {
    device_state &device = tevu.device;
    device.lost.store(true, std::memory_order_release);
    device.lighting_search_until.store(0, std::memory_order_release);
    release_inputs();
    device_replace(device.input, nullptr);
    device_replace(device.lighting, nullptr);
    log_printf("Controller disconnected; inputs released. Searching for it.\r\n");
    timer.next_ms = plat_now_ms() + search_interval_ms;
}

void presence_while_lost(search_timer &timer, const plat_pacer *pacer) {
    const uint64_t now = plat_now_ms();
    if (now < timer.next_ms) {
        plat_wait(pacer, lost_pause_ms);
        return;
    }
    timer.next_ms = now + search_interval_ms;
    if (!search_controller())
        return;
    // The lighting thread looks for the lighting interface from now on,
    // whether or not the controller sends input.
    device_state &device = tevu.device;
    device.lighting_search_until.store(now + device_lighting_search_ms, std::memory_order_release);
    device.lost.store(false, std::memory_order_release);
    log_printf("Controller connected again.\r\n");
    lighting_wake();
}

void presence_await_lighting(search_timer &timer) {
    device_state &device = tevu.device;
    const uint64_t until = device.lighting_search_until.load(std::memory_order_acquire);
    if (until == 0 || device.lost.load(std::memory_order_acquire)) {
        plat_wait(nullptr, plat_wait_forever);
        return;
    }
    const uint64_t now = plat_now_ms();
    if (now >= timer.next_ms) {
        plat_file found = nullptr;
        const hid_search_result result = hid_open_device(
            device, &found, TEVUIO_VENDOR_ID, device_lighting_interface, true, timer.dead);
        if (result == HID_OPENED) {
            device_replace(device.lighting, found);
            device.lighting_search_until.store(0, std::memory_order_release);
            return;
        }
        if (result == HID_OPEN_FAILED)
            ++timer.dead;
        if (now >= until) {
            // Given up: lights stay off until the controller comes back.
            uint64_t expected = until;
            device.lighting_search_until.compare_exchange_strong(expected, 0,
                                                                 std::memory_order_acq_rel);
            return;
        }
        timer.next_ms = now + lighting_search_interval_ms;
    }
    plat_wait(nullptr, static_cast<uint32_t>(timer.next_ms - now));
}

void presence_lighting_gone(search_timer &timer) {
    device_state &device = tevu.device;
    device_replace(device.lighting, nullptr);
    ++timer.dead;
    if (device.lost.load(std::memory_order_acquire))
        return;
    const uint64_t now = plat_now_ms();
    device.lighting_search_until.store(now + device_lighting_search_ms, std::memory_order_release);
    timer.next_ms = now + lighting_search_interval_ms;
}
