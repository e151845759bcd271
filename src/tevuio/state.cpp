#include "tevuio/state.h"

#include <cstring>
#include <initializer_list>

live_config config;
uint8_t open_failure_count;
input_report_fields latest_report{{0}, {TEVUIO_SLIDER_UNTOUCHED}};
std::atomic<uint32_t> coin_state{0};
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

void live_config::publish(const io_config &loaded) {
    for (int i = 0; i < 5; ++i)
        vk_button[i].store(loaded.vk_button[i], std::memory_order_relaxed);
    for (int i = 0; i < 8; ++i)
        vk_cell[i].store(loaded.vk_cell[i], std::memory_order_relaxed);
    vk_test.store(loaded.vk_test, std::memory_order_relaxed);
    vk_service.store(loaded.vk_service, std::memory_order_relaxed);
    vk_coin.store(loaded.vk_coin, std::memory_order_relaxed);
    lamp_state_address.store(loaded.lamp_state_address, std::memory_order_release);
}

void log_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    plat_vprint(format, args);
    va_end(args);
}

void state_reset_for_tests() {
    config.publish(io_config{});
    for (device_slot *slot : {&device.input, &device.lighting}) {
        slot->file.store(nullptr);
        slot->generation.store(0);
        slot->in_use.store(nullptr);
        slot->cancellers.store(0);
    }
    device.was_connected.store(false);
    device.lost.store(false);
    device.input_interface.store(0);
    device.lighting_search_until.store(0);
    device.searching.store(false);
    open_failure_count = 0;
    latest_report.buttons.store(0);
    latest_report.slider.store(TEVUIO_SLIDER_UNTOUCHED);
    coin_state.store(0);
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
