// Shared by the lighting tests: a fake controller behind the fake platform's
// write hook that applies the LED reports as a controller does, and a fixture
// with a lighting interface open and the thread's helpers.
#ifndef TEVUIO_LIGHTING_TEST_SUPPORT_H
#define TEVUIO_LIGHTING_TEST_SUPPORT_H

#include "fake_platform.h"
#include "report_kit.h"

#include "tevuio/lighting.h"
#include "tevuio/reports.h"
#include "tevuio/state.h"
#include "tevuio/tevuio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace lighting_test {

typedef std::vector<uint8_t> bytes;

inline const char *light_path() {
    return "\\\\?\\hid#vid_0f0d&pid_0001&mi_01#light";
}

// A report of this ID with the payload after it, padded with zeros.
inline bytes make_report(uint8_t id, const bytes &payload, size_t length) {
    bytes r(length, 0);
    r[0] = id;
    std::copy(payload.begin(), payload.end(), r.begin() + 1);
    return r;
}

// Payload of report 0x04 (device LEDs 0-15) or 0x05 (device LEDs 16-31).
inline bytes device_half(const bytes &frame, bool high) {
    return kit::device_half(frame.data(), high);
}

// Byte i is i: no three bytes repeat, so it never fits the feature report.
inline bytes distinct_frame(uint8_t offset = 0) {
    bytes frame(report::frame_bytes);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i + offset);
    return frame;
}

// Keeps the LEDs (host order) as the reports set them, the LED reports in
// order, and the last lamp report. A malformed LED report counts as bad.
struct led_controller {
    void attach() {
        fake::set_write_hook(
            [this](int device, plat_report_kind, const uint8_t *report, uint32_t length) {
                on_write(device, report, length);
                fake::clear_sent(device); // the thread writes without pause
            });
    }

    void on_write(int device, const uint8_t *r, uint32_t length) {
        std::lock_guard<std::mutex> lock(mu);
        if (r[0] == report::lamp_id) {
            if (on_pass)
                on_pass(leds);
            last_lamp.assign(r, r + length);
            lamp_reports.fetch_add(1, std::memory_order_release);
            return;
        }
        led_reports.emplace_back(r, r + length);
        led_devices.push_back(device);
        if (!kit::apply_led_report(leds, r, length))
            bad_reports++;
    }

    std::vector<bytes> take_led_reports() {
        std::lock_guard<std::mutex> lock(mu);
        std::vector<bytes> reports;
        reports.swap(led_reports);
        led_devices.clear();
        return reports;
    }
    bytes shown() {
        std::lock_guard<std::mutex> lock(mu);
        return bytes(leds, leds + report::frame_bytes);
    }
    bytes lamp_report() {
        std::lock_guard<std::mutex> lock(mu);
        return last_lamp;
    }
    bool wait_passes(int passes) {
        const int target = lamp_reports.load(std::memory_order_acquire) + passes;
        return fake::wait_until(
            [&] { return lamp_reports.load(std::memory_order_acquire) >= target; });
    }

    std::mutex mu;
    std::atomic<int> lamp_reports{0};
    bytes last_lamp;                        // guarded by mu
    std::vector<bytes> led_reports;         // guarded by mu
    std::vector<int> led_devices;           // guarded by mu: the device of each LED report
    uint8_t leds[report::frame_bytes] = {}; // guarded by mu
    int bad_reports = 0;                    // guarded by mu
    // Called under mu at every lamp report, that is at the start of a pass,
    // with the LEDs as the passes before it left them.
    std::function<void(const uint8_t *leds)> on_pass;
};

// The lighting thread has taken the newest frame the host set.
inline bool frame_taken() {
    return (tevu.lighting.frames.newest.load(std::memory_order_acquire) &
            led_frame_exchange::fresh) == 0;
}

class lighting_fixture : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        tevu.reset();
        fake::add_entry(light_path());
        tevu.device.lighting.file.store(plat_hid_open(light_path()), std::memory_order_release);
        leds.attach();
    }
    void TearDown() override {
        tevu_io_slider_stop();
        EXPECT_EQ(leds.bad_reports, 0);
        EXPECT_EQ(fake::uses_after_close_count(), 0);
        fake::reset();
        tevu.reset();
    }

    // With the thread running: waits until it has taken the newest frame and
    // finished the pass that sent it.
    void catch_up() {
        ASSERT_NE(tevu.device.lighting.user.load(), nullptr);
        EXPECT_TRUE(fake::wait_until(frame_taken));
        EXPECT_TRUE(leds.wait_passes(2));
    }
    // Runs the thread until it has caught up, stops it, and returns the LED
    // reports sent meanwhile.
    std::vector<bytes> pump() {
        lighting_start_step();
        catch_up();
        lighting_stop_step();
        return leds.take_led_reports();
    }
    void set(const bytes &frame) { tevu_io_slider_set_leds(frame.data()); }

    led_controller leds;
};

} // namespace lighting_test

#endif
