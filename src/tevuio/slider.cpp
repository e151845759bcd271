// The slider thread: reads the newest input report, merges the slider keys
// and the controller's slider word into 32 pressures, and calls the host.
#include "tevuio.h"

#include "tevuio/hid.h"
#include "tevuio/lighting.h"
#include "tevuio/state.h"

namespace {

constexpr uint8_t input_report_id = 0x01;
constexpr uint8_t input_report_length = 9;
constexpr uint8_t key_pressure = 20;
constexpr uint8_t touch_pressure = 200;
// A failed read (no device, unplugged, cancelled) returns at once: pause
// before the next pass instead of spinning.
constexpr uint32_t failed_read_pause_ms = 1;
// How long stop waits between cancelling the thread's read and trying again.
constexpr uint32_t stop_poll_ms = 10;

// The callback of the running thread; written by start before the thread
// exists, read only by that thread.
tevu_io_slider_callback_t running_callback;

unsigned slider_thread_proc(void *arg) {
    const tevu_io_slider_callback_t callback = *static_cast<tevu_io_slider_callback_t *>(arg);
    uint8_t pressure[32];
    uint8_t report[input_report_length];

    while (!slider_stop.load(std::memory_order_acquire)) {
        for (int k = 0; k < 8; ++k) {
            const uint8_t value = plat_key_down(config.vk_cell[k]) ? key_pressure : 0;
            for (int c = 0; c < 4; ++c)
                pressure[4 * k + c] = value;
        }

        const plat_file device = input_device.load(std::memory_order_acquire);
        const bool read_ok =
            hid_read_input_report(device, report, input_report_id, input_report_length) == 0;
        if (read_ok) {
            latest_report.buttons.store(static_cast<uint16_t>(report[1] | report[2] << 8),
                                        std::memory_order_release);
            latest_report.slider.store(
                static_cast<uint32_t>(report[4]) | static_cast<uint32_t>(report[5]) << 8 |
                    static_cast<uint32_t>(report[6]) << 16 | static_cast<uint32_t>(report[7]) << 24,
                std::memory_order_release);
        }

        const uint32_t touched =
            latest_report.slider.load(std::memory_order_acquire) ^ TEVUIO_SLIDER_UNTOUCHED;
        for (int i = 0; i < 32; ++i)
            if (touched & (1u << i))
                pressure[31 - i] = touch_pressure;

        callback(pressure);

        if (!read_ok)
            plat_sleep_ms(failed_read_pause_ms);
    }
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
        // The thread may sit in a read of a silent controller: cancel it, and
        // again should the thread have entered a new read meanwhile.
        for (;;) {
            plat_thread_cancel_io(slider_thread);
            if (plat_thread_wait(slider_thread, stop_poll_ms))
                break;
        }
        plat_thread_close(slider_thread);
        slider_thread = nullptr;
        slider_stop.store(false, std::memory_order_release);
    }
    lighting_stop_step();
}
