// The slider thread: reads the newest input report, merges the slider keys
// and the controller's slider word into 32 pressures, and calls the host.
//
// It also owns the controller's life after init: a read that says the device
// is gone releases every input at once, closes both interfaces and starts a
// search every search_interval_ms until the controller is back.
#include "tevuio.h"

#include "tevuio/hid.h"
#include "tevuio/lighting.h"
#include "tevuio/reports.h"
#include "tevuio/state.h"

namespace {

constexpr uint8_t key_pressure = 20;
constexpr uint8_t touch_pressure = 200;
// Without a controller (none at init, or one that failed to open) each pass
// pauses this long instead of spinning.
constexpr uint32_t no_device_pause_ms = 1;
// While the controller is lost: the pause of a pass, and how often to search.
constexpr uint32_t lost_pause_ms = 8;
constexpr uint64_t search_interval_ms = 500;
// After a reconnect the lighting interface may appear later than the input
// one: look for it this often, for this long, then go on without lights.
constexpr uint64_t lighting_search_interval_ms = 250;
constexpr uint64_t lighting_search_window_ms = 3000;
constexpr uint8_t lighting_interface = 1;
constexpr uint32_t input_queue_depth = 2;

// The callback of the running thread; written by start before the thread
// exists, read only by that thread.
tevu_io_slider_callback_t running_callback;

// Reconnection timing; the slider thread's alone.
struct reconnect_timing {
    uint64_t next_search_ms;
    uint64_t next_lighting_ms;
    uint64_t lighting_deadline_ms; // 0: not looking for the lighting interface
};

void release_inputs() {
    latest_report.buttons.store(0, std::memory_order_release);
    latest_report.slider.store(report::slider_untouched, std::memory_order_release);
}

void on_lost(reconnect_timing &timing) {
    device.lost.store(true, std::memory_order_release);
    release_inputs();
    device_replace(device.input, nullptr);
    device_replace(device.lighting, nullptr);
    log_printf("Controller disconnected; inputs released. Searching for it.\r\n");
    timing.next_search_ms = plat_now_ms() + search_interval_ms;
    timing.lighting_deadline_ms = 0;
}

void search_lighting(reconnect_timing &timing, uint64_t now) {
    plat_file lighting = nullptr;
    if (hid_open_device(&lighting, TEVUIO_VENDOR_ID, lighting_interface, true) == HID_OPENED) {
        device_replace(device.lighting, lighting);
        timing.lighting_deadline_ms = 0;
    } else if (now >= timing.lighting_deadline_ms) {
        timing.lighting_deadline_ms = 0;
    } else {
        timing.next_lighting_ms = now + lighting_search_interval_ms;
    }
}

void search_controller(reconnect_timing &timing, uint64_t now) {
    timing.next_search_ms = now + search_interval_ms;
    const uint8_t interface = device.input_interface.load(std::memory_order_acquire);
    plat_file input = nullptr;
    const hid_search_result found = hid_open_device(&input, TEVUIO_VENDOR_ID, interface, true);
    if (found != HID_OPENED)
        return;
    if (!plat_hid_set_input_queue(input, input_queue_depth)) {
        plat_hid_close(input);
        return;
    }
    device_replace(device.input, input);
    device.lost.store(false, std::memory_order_release);
    log_printf("Controller connected again.\r\n");
    timing.lighting_deadline_ms = now + lighting_search_window_ms;
    search_lighting(timing, now);
}

unsigned slider_thread_proc(void *arg) {
    const tevu_io_slider_callback_t callback = *static_cast<tevu_io_slider_callback_t *>(arg);
    uint8_t pressure[report::cell_count];
    uint8_t input_report[report::input_length];
    reconnect_timing timing{};

    while (!slider_stop.load(std::memory_order_acquire)) {
        for (int k = 0; k < 8; ++k) {
            const uint8_t value = plat_key_down(config.vk_cell[k]) ? key_pressure : 0;
            for (int c = 0; c < 4; ++c)
                pressure[4 * k + c] = value;
        }

        const plat_file input = device_acquire(device.input);
        const bool have_input = device_file_open(input);
        hid_read_status status = HID_READ_GONE;
        if (have_input) {
            status =
                hid_read_input_report(input, input_report, report::input_id, report::input_length);
            device_release(device.input);
        }
        if (status == HID_READ_REPORT) {
            latest_report.buttons.store(report::input_buttons(input_report),
                                        std::memory_order_release);
            latest_report.slider.store(report::input_slider(input_report),
                                       std::memory_order_release);
        } else if (have_input && status == HID_READ_GONE &&
                   device.was_connected.load(std::memory_order_acquire)) {
            on_lost(timing);
        }

        const uint32_t touched =
            latest_report.slider.load(std::memory_order_acquire) ^ report::slider_untouched;
        for (int bit = 0; bit < report::cell_count; ++bit)
            if (touched & (1u << bit))
                pressure[report::cell_of_slider_bit(bit)] = touch_pressure;

        callback(pressure);

        if (device.lost.load(std::memory_order_acquire)) {
            const uint64_t now = plat_now_ms();
            if (now >= timing.next_search_ms)
                search_controller(timing, now);
            else
                plat_sleep_ms(lost_pause_ms);
        } else {
            if (timing.lighting_deadline_ms != 0) {
                const uint64_t now = plat_now_ms();
                if (now >= timing.next_lighting_ms)
                    search_lighting(timing, now);
            }
            if (!have_input || status == HID_READ_GONE)
                plat_sleep_ms(no_device_pause_ms);
        }
    }
    return 0;
}

} // namespace

void tevu_io_slider_start(tevu_io_slider_callback_t callback) {
    if (slider_thread == nullptr) {
        running_callback = callback;
        slider_thread = plat_thread_start(slider_thread_proc, &running_callback);
        device.input.user.store(slider_thread, std::memory_order_release);
    }
    lighting_start_step();
}

void tevu_io_slider_stop(void) {
    if (slider_thread != nullptr) {
        slider_stop.store(true, std::memory_order_release);
        // The thread may sit in a read of a silent controller, or wait for the
        // lighting thread to let go of a handle: cancel, and again should the
        // thread have entered a new read meanwhile.
        device_end_user(device.input, slider_thread);
        slider_thread = nullptr;
        slider_stop.store(false, std::memory_order_release);
    }
    lighting_stop_step();
}
