// The slider thread: reads the newest input report, merges the slider keys
// and the controller's slider word into 32 pressures, and calls the host.
//
// It also owns the controller's life after init: a read that says the device
// is gone releases every input at once, closes both interfaces and starts a
// search every search_interval_ms until the controller is back; the lighting
// thread then looks for the lighting interface.
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

// The callback of the running thread; written by start before the thread
// exists, read only by that thread.
tevu_io_slider_callback_t running_callback;

void release_inputs() {
    latest_report.buttons.store(0, std::memory_order_release);
    latest_report.slider.store(report::slider_untouched, std::memory_order_release);
}

void on_lost(uint64_t &next_search_ms) {
    device.lost.store(true, std::memory_order_release);
    device.lighting_search_until.store(0, std::memory_order_release);
    release_inputs();
    device_replace(device.input, nullptr);
    device_replace(device.lighting, nullptr);
    log_printf("Controller disconnected; inputs released. Searching for it.\r\n");
    next_search_ms = plat_now_ms() + search_interval_ms;
}

void search_controller(uint64_t &next_search_ms, uint64_t now) {
    next_search_ms = now + search_interval_ms;
    const uint8_t interface = device.input_interface.load(std::memory_order_acquire);
    plat_file input = nullptr;
    const hid_search_result found = hid_open_device(&input, TEVUIO_VENDOR_ID, interface, true);
    if (found != HID_OPENED)
        return;
    if (!plat_hid_set_input_queue(input, device_input_queue_depth)) {
        plat_hid_close(input);
        return;
    }
    device_replace(device.input, input);
    // The lighting thread looks for the lighting interface from now on,
    // whether or not the controller sends input.
    device.lighting_search_until.store(now + device_lighting_search_ms, std::memory_order_release);
    device.lost.store(false, std::memory_order_release);
    log_printf("Controller connected again.\r\n");
    lighting_wake();
}

unsigned slider_thread_proc(void *arg) {
    const tevu_io_slider_callback_t callback = *static_cast<tevu_io_slider_callback_t *>(arg);
    uint8_t pressure[report::cell_count];
    uint8_t input_report[report::input_length];
    uint64_t next_search_ms = 0;
    // Short pauses last what they say only with a fine timer; the pacer holds
    // one from start to stop.
    plat_pacer pacer;
    plat_pacer_open(&pacer);

    while (!slider_stop.load(std::memory_order_acquire)) {
        for (int k = 0; k < 8; ++k) {
            const uint8_t value = plat_key_down(key_of(config.vk_cell[k])) ? key_pressure : 0;
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
            on_lost(next_search_ms);
        }

        const uint32_t touched =
            latest_report.slider.load(std::memory_order_acquire) ^ report::slider_untouched;
        for (int bit = 0; bit < report::cell_count; ++bit)
            if (touched & (1u << bit))
                pressure[report::cell_of_slider_bit(bit)] = touch_pressure;

        callback(pressure);

        if (device.lost.load(std::memory_order_acquire)) {
            const uint64_t now = plat_now_ms();
            if (now >= next_search_ms)
                search_controller(next_search_ms, now);
            else
                plat_wait(&pacer, lost_pause_ms);
        } else if (!have_input || status == HID_READ_GONE) {
            plat_wait(&pacer, no_device_pause_ms);
        }
    }
    plat_pacer_close(&pacer);
    return 0;
}

} // namespace

void tevu_io_slider_start(tevu_io_slider_callback_t callback) {
    if (slider_thread == nullptr) {
        running_callback = callback;
        slider_thread = plat_thread_start(slider_thread_proc, &running_callback);
    }
    lighting_start_step();
}

void tevu_io_slider_stop(void) {
    if (slider_thread != nullptr) {
        slider_stop.store(true, std::memory_order_release);
        // The thread may sit in a read of a silent controller, in a pause, or
        // wait for the lighting thread to let go of a handle: cancel and wake,
        // and again should the thread have entered a new read meanwhile.
        device_end_user(device.input, slider_thread);
        slider_thread = nullptr;
        slider_stop.store(false, std::memory_order_release);
    }
    lighting_stop_step();
}
