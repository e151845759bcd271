#include "tevuio/state.h"

#include <cstring>
#include <initializer_list>

io_config config;
uint8_t open_failure_count;
input_report_fields latest_report{{0}, {TEVUIO_SLIDER_UNTOUCHED}};
uint16_t coin_count;
bool coin_key_down;
plat_thread slider_thread;
std::atomic<plat_thread> lighting_thread{nullptr};
std::atomic<bool> slider_stop{false};
std::atomic<bool> lighting_stop{false};
led_frame_exchange led_frames{{}, {0}, 1};
led_output_state led_output{2, false, false, false, false, 0};
uint8_t led_report_low[49];
uint8_t led_report_high[49];
uint8_t led_feature_report[64];
uint8_t lamp_levels[4];

void log_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    plat_vprint(format, args);
    va_end(args);
}

void state_reset_for_tests() {
    config = io_config{};
    for (device_slot *slot : {&device.input, &device.lighting}) {
        slot->file.store(nullptr);
        slot->generation.store(0);
        slot->busy.store(false);
        slot->user.store(nullptr);
    }
    device.was_connected.store(false);
    device.lost.store(false);
    device.input_interface.store(0);
    open_failure_count = 0;
    latest_report.buttons.store(0);
    latest_report.slider.store(TEVUIO_SLIDER_UNTOUCHED);
    coin_count = 0;
    coin_key_down = false;
    slider_thread = nullptr;
    lighting_thread.store(nullptr);
    slider_stop.store(false);
    lighting_stop.store(false);
    std::memset(led_report_low, 0, sizeof led_report_low);
    std::memset(led_report_high, 0, sizeof led_report_high);
    std::memset(led_feature_report, 0, sizeof led_feature_report);
    std::memset(led_frames.frames, 0, sizeof led_frames.frames);
    led_frames.newest.store(0);
    led_frames.back = 1;
    led_output = led_output_state{2, false, false, false, false, 0};
    std::memset(lamp_levels, 0, sizeof lamp_levels);
}
