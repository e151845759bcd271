// The slider thread: reads the newest input report, merges the slider keys
// and the controller's slider word into 32 pressures, and calls the host.
// A read that says the controller is gone hands over to presence.cpp, which
// releases every input and searches for it until it is back.
#include "tevuio.h"

#include "tevuio/hid.h"
#include "tevuio/lighting.h"
#include "tevuio/presence.h"
#include "tevuio/state.h"

namespace {

constexpr uint8_t key_pressure = 20;
constexpr uint8_t touch_pressure = 200;
// Without a controller (none at init, or one that failed to open) each pass
// pauses this long instead of spinning.
constexpr uint32_t no_device_pause_ms = 1;

// The keyboard's slider keys: 20 at each cell of a key that is down, else 0.
void key_pressures(uint8_t *pressure) {
    for (int k = 0; k < report::slider_key_count; ++k) {
        const uint8_t value = plat_key_down(key_of(tevu.config.vk_cell[k])) ? key_pressure : 0;
        for (int c = 0; c < report::cells_per_key; ++c)
            pressure[report::cells_per_key * k + c] = value;
    }
}

// The controller's touches over the keys: 200 at each touched cell.
void touch_pressures(uint8_t *pressure) {
    const uint32_t touched =
        tevu.input.slider.load(std::memory_order_acquire) ^ report::slider_untouched;
    for (int bit = 0; bit < report::cell_count; ++bit)
        if (touched & (1u << bit))
            pressure[report::cell_of_slider_bit(bit)] = touch_pressure;
}

// Reads the newest input report into the snapshot; false when there is no
// usable input interface (*status is then HID_READ_GONE).
bool read_input(hid_read_status *status) {
    *status = HID_READ_GONE;
    device_slot &slot = tevu.device.input;
    const plat_file input = device_acquire(slot);
    if (!device_file_open(input))
        return false;
    uint8_t report_bytes[report::input_length];
    *status = hid_read_input_report(input, report_bytes, report::input_id, report::input_length);
    device_release(slot);
    if (*status == HID_READ_REPORT) {
        tevu.input.buttons.store(report::input_buttons(report_bytes), std::memory_order_release);
        tevu.input.slider.store(report::input_slider(report_bytes), std::memory_order_release);
    }
    return true;
}

unsigned slider_thread_proc(void *) {
    const tevu_io_slider_callback_t callback = tevu.slider.callback;
    device_state &device = tevu.device;
    uint8_t pressure[report::cell_count];
    search_timer timer;
    // Short pauses last what they say only with a fine timer; the pacer holds
    // one from start to stop.
    plat_pacer pacer;
    plat_pacer_open(&pacer);

    while (!tevu.slider.stop.load(std::memory_order_acquire)) {
        key_pressures(pressure);
        hid_read_status status;
        if (read_input(&status) && status == HID_READ_GONE &&
            device.was_connected.load(std::memory_order_acquire))
            presence_lost(timer);
        touch_pressures(pressure);

        callback(pressure);

        if (device.lost.load(std::memory_order_acquire))
            presence_while_lost(timer, &pacer);
        else if (status == HID_READ_GONE)
            plat_wait(&pacer, no_device_pause_ms);
    }
    plat_pacer_close(&pacer);
    return 0;
}

} // namespace

void tevu_io_slider_start(tevu_io_slider_callback_t callback) {
    slider_worker &slider = tevu.slider;
    if (slider.thread == nullptr) {
        slider.callback = callback;
        slider.thread = plat_thread_start(slider_thread_proc, nullptr);
    }
    lighting_start_step();
}

void tevu_io_slider_stop(void) {
    slider_worker &slider = tevu.slider;
    if (slider.thread != nullptr) {
        slider.stop.store(true, std::memory_order_release);
        // The thread may sit in a read of a silent controller, in a pause, or
        // wait for the lighting thread to let go of a handle: cancel and wake,
        // and again should the thread have entered a new read meanwhile.
        device_end_user(tevu.device.input, slider.thread);
        slider.thread = nullptr;
        slider.stop.store(false, std::memory_order_release);
    }
    lighting_stop_step();
}
