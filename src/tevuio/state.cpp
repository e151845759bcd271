#include "tevuio/state.h"

#include <cstring>

io_config config;
std::atomic<plat_file> input_device{nullptr};
std::atomic<plat_file> lighting_device{nullptr};
uint8_t open_failure_count;
input_report_fields latest_report{{0}, {TEVUIO_SLIDER_UNTOUCHED}};
uint16_t coin_count;
bool coin_key_down;
plat_thread slider_thread;
plat_thread lighting_thread;
std::atomic<bool> slider_stop{false};
std::atomic<bool> lighting_stop{false};
uint8_t led_report_low[49];
uint8_t led_report_high[49];
uint8_t led_feature_report[64];
uint8_t led_staging[96];
std::atomic<bool> led_low_dirty{false};
std::atomic<bool> led_high_dirty{false};
std::atomic<bool> led_feature_pending{false};
uint8_t lamp_levels[4];
bool led_halves_stale;

void log_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    plat_vprint(format, args);
    va_end(args);
}

void state_reset_for_tests() {
    config = io_config{};
    input_device.store(nullptr);
    lighting_device.store(nullptr);
    open_failure_count = 0;
    latest_report.buttons.store(0);
    latest_report.slider.store(TEVUIO_SLIDER_UNTOUCHED);
    coin_count = 0;
    coin_key_down = false;
    slider_thread = nullptr;
    lighting_thread = nullptr;
    slider_stop.store(false);
    lighting_stop.store(false);
    std::memset(led_report_low, 0, sizeof led_report_low);
    std::memset(led_report_high, 0, sizeof led_report_high);
    std::memset(led_feature_report, 0, sizeof led_feature_report);
    std::memset(led_staging, 0, sizeof led_staging);
    led_low_dirty.store(false);
    led_high_dirty.store(false);
    led_feature_pending.store(false);
    std::memset(lamp_levels, 0, sizeof lamp_levels);
    led_halves_stale = false;
}
