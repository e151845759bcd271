// Slider LEDs and button lamps over the fake platform: what the setter queues,
// the exact reports the lighting thread sends, the lamp sources, and the
// thread's start and stop.
#include "fake_platform.h"
#include "lighting_test_support.h"

#include "tevuio/lighting.h"
#include "tevuio/state.h"
#include "tevuio/tevuio.h"
#include "utils/lzf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace lighting_test {

bool lzf_expand(const uint8_t *block, size_t length, std::vector<uint8_t> *out) {
    out->clear();
    size_t i = 0;
    while (i < length) {
        const unsigned k = block[i++];
        if (k < 32) {
            const size_t run = k + 1;
            if (i + run > length)
                return false;
            out->insert(out->end(), block + i, block + i + run);
            i += run;
            continue;
        }
        size_t len = k >> 5;
        if (len == 7) {
            if (i >= length)
                return false;
            len += block[i++];
        }
        if (i >= length)
            return false;
        const size_t distance = ((k & 0x1Fu) << 8 | block[i++]) + 1;
        if (distance > out->size())
            return false;
        for (size_t n = 0; n < len + 2; ++n)
            out->push_back((*out)[out->size() - distance]);
    }
    return true;
}

void apply_report(const uint8_t *report, uint32_t length, uint8_t leds[96]) {
    if (report[0] == 0x0B && length == 64 && report[1] <= 62) {
        std::vector<uint8_t> frame;
        if (lzf_expand(report + 2, report[1], &frame) && frame.size() == 96)
            std::copy(frame.begin(), frame.end(), leds);
        return;
    }
    if ((report[0] == 0x04 || report[0] == 0x05) && length == 49) {
        const int first = report[0] == 0x04 ? 0 : 16;
        for (int k = 0; k < 16; ++k) {
            const int host = 31 - (first + k);
            for (int c = 0; c < 3; ++c)
                leds[3 * host + c] = report[1 + 3 * k + c];
        }
    }
}

bool flags_clear() {
    return !led_low_dirty.load(std::memory_order_acquire) &&
           !led_high_dirty.load(std::memory_order_acquire) &&
           !led_feature_pending.load(std::memory_order_acquire);
}

} // namespace lighting_test

namespace {

using namespace lighting_test;

// A fake controller behind the write hook: keeps the LEDs as the reports set
// them, the LED reports in order and the last lamp report.
struct controller {
    void attach();
    void on_write(int device, const uint8_t *report, uint32_t length);
    std::vector<std::vector<uint8_t>> take_led_reports();
    std::vector<uint8_t> lamp_report();

    std::mutex mu;
    std::atomic<int> lamp_reports{0};
    std::vector<uint8_t> last_lamp;                // guarded by mu
    std::vector<std::vector<uint8_t>> led_reports; // guarded by mu
    uint8_t leds[96] = {};                         // host order, guarded by mu
    int bad_reports = 0;                           // guarded by mu
};

void controller::attach() {
    fake::set_write_hook([this](int device, bool, const uint8_t *report, uint32_t length) {
        on_write(device, report, length);
    });
}

void controller::on_write(int device, const uint8_t *report, uint32_t length) {
    if (length > 0 && report[0] == 0x06) {
        std::lock_guard<std::mutex> lock(mu);
        last_lamp.assign(report, report + length);
        lamp_reports.fetch_add(1, std::memory_order_release);
    } else {
        std::lock_guard<std::mutex> lock(mu);
        led_reports.emplace_back(report, report + length);
        if (length > 0 && report[0] == 0x0B && (length != 64 || report[1] > 62))
            bad_reports++;
        apply_report(report, length, leds);
    }
    // The fake keeps every write; the thread writes without pause.
    fake::clear_sent(device);
}

std::vector<std::vector<uint8_t>> controller::take_led_reports() {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::vector<uint8_t>> reports;
    reports.swap(led_reports);
    return reports;
}

std::vector<uint8_t> controller::lamp_report() {
    std::lock_guard<std::mutex> lock(mu);
    return last_lamp;
}

bool wait_passes(controller &c, int passes) {
    const int target = c.lamp_reports.load(std::memory_order_acquire) + passes;
    return fake::wait_until(
        [&] { return c.lamp_reports.load(std::memory_order_acquire) >= target; });
}

void open_lighting_device() {
    fake::add_entry("\\\\?\\hid#vid_0f0d&pid_0001&mi_01#light");
    ::device.lighting.file.store(plat_hid_open("\\\\?\\hid#vid_0f0d&pid_0001&mi_01#light"),
                          std::memory_order_release);
    led_report_low[0] = 0x04;
    led_report_high[0] = 0x05;
    led_feature_report[0] = 0x0B;
}

typedef std::vector<uint8_t> bytes;

// Byte i is i: no three bytes repeat, so no match and no fit in 62.
bytes distinct_frame() {
    bytes frame(96);
    for (int i = 0; i < 96; ++i)
        frame[i] = static_cast<uint8_t>(i);
    return frame;
}

bytes report(uint8_t id, const bytes &payload, size_t length) {
    bytes r(length, 0);
    r[0] = id;
    std::copy(payload.begin(), payload.end(), r.begin() + 1);
    return r;
}

// Payload of report 0x04 (device LEDs 0-15 = host LEDs 31-16) or 0x05.
bytes device_half(const bytes &frame, bool high) {
    bytes half;
    for (int k = high ? 16 : 0; k < (high ? 32 : 16); ++k)
        for (int c = 0; c < 3; ++c)
            half.push_back(frame[3 * (31 - k) + c]);
    return half;
}

class Lighting : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        state_reset_for_tests();
        open_lighting_device();
        device.attach();
    }
    void TearDown() override {
        lighting_stop_step();
        EXPECT_EQ(device.bad_reports, 0);
        fake::reset();
        state_reset_for_tests();
    }

    // Runs the lighting thread until every flag is clear and two more passes
    // went, then stops it. Returns the LED reports sent meanwhile.
    std::vector<bytes> pump() {
        lighting_start_step();
        EXPECT_NE(lighting_thread, nullptr);
        EXPECT_TRUE(fake::wait_until(flags_clear));
        EXPECT_TRUE(wait_passes(device, 2));
        lighting_stop_step();
        return device.take_led_reports();
    }

    // The first lamp report of a fresh thread.
    bytes lamps() {
        lighting_start_step();
        EXPECT_TRUE(wait_passes(device, 1));
        lighting_stop_step();
        return device.lamp_report();
    }

    void set(const bytes &frame) { tevu_io_slider_set_leds(frame.data()); }

    controller device;
};

// --- What goes out, and how --------------------------------------------------

TEST_F(Lighting, BlackFrameGoesAsFeatureReportWithLengthNine) {
    set(bytes(96, 0));
    EXPECT_TRUE(led_feature_pending.load());
    EXPECT_FALSE(led_low_dirty.load());
    EXPECT_FALSE(led_high_dirty.load());

    bytes expected(64, 0);
    const bytes head = {0x0B, 9, 0x01, 0x00, 0x00, 0xE0, 0x53, 0x00, 0x01, 0x00, 0x00};
    std::copy(head.begin(), head.end(), expected.begin());
    const std::vector<bytes> sent = pump();
    ASSERT_EQ(sent.size(), 1u);
    // Bytes after the block carry no meaning; the buffer starts zeroed.
    EXPECT_EQ(sent[0], expected);
}

TEST_F(Lighting, AllDifferentFrameGoesAsTwoReportsHostLed31First) {
    const bytes frame = distinct_frame();
    set(frame);
    EXPECT_FALSE(led_feature_pending.load());

    bytes low = {0x04};
    for (int led = 31; led >= 16; --led)
        for (int c = 0; c < 3; ++c)
            low.push_back(static_cast<uint8_t>(3 * led + c));
    bytes high = {0x05};
    for (int led = 15; led >= 0; --led)
        for (int c = 0; c < 3; ++c)
            high.push_back(static_cast<uint8_t>(3 * led + c));
    ASSERT_EQ(low.size(), 49u);
    ASSERT_EQ(high.size(), 49u);
    EXPECT_EQ(low[1], 93);
    EXPECT_EQ(high[48], 2);

    const std::vector<bytes> sent = pump();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], low);
    EXPECT_EQ(sent[1], high);
    EXPECT_EQ(bytes(device.leds, device.leds + 96), frame);
}

TEST_F(Lighting, SameUncompressibleFrameTwiceQueuesOnce) {
    set(distinct_frame());
    EXPECT_EQ(pump().size(), 2u);
    set(distinct_frame());
    EXPECT_FALSE(led_low_dirty.load());
    EXPECT_FALSE(led_high_dirty.load());
    EXPECT_TRUE(pump().empty());
}

TEST_F(Lighting, SameCompressibleFrameTwiceQueuesFeatureTwice) {
    set(bytes(96, 0));
    const std::vector<bytes> first = pump();
    set(bytes(96, 0));
    EXPECT_TRUE(led_feature_pending.load());
    const std::vector<bytes> second = pump();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0], first[0]);
}

TEST_F(Lighting, OnlyHostLed0ChangedQueuesOnlyReport05) {
    bytes frame = distinct_frame();
    set(frame);
    pump();
    frame[0] = 0xAA;
    set(frame);
    EXPECT_FALSE(led_low_dirty.load());
    EXPECT_TRUE(led_high_dirty.load());
    const std::vector<bytes> sent = pump();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], report(0x05, device_half(frame, true), 49));
    EXPECT_EQ(sent[0][46], 0xAA); // device LED 31 is host LED 0
}

TEST_F(Lighting, OnlyHostLed31ChangedQueuesOnlyReport04) {
    bytes frame = distinct_frame();
    set(frame);
    pump();
    frame[95] = 0xBB;
    set(frame);
    EXPECT_TRUE(led_low_dirty.load());
    EXPECT_FALSE(led_high_dirty.load());
    const std::vector<bytes> sent = pump();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], report(0x04, device_half(frame, false), 49));
    EXPECT_EQ(sent[0][3], 0xBB); // device LED 0 is host LED 31
}

TEST_F(Lighting, NoLengthByteAbove62) {
    // Frames with n distinct leading bytes and zeros after: the compressed
    // size grows with n across the limit of the feature report.
    bool saw_feature = false, saw_halves = false;
    for (int n = 0; n <= 96; ++n) {
        bytes frame(96, 0);
        for (int i = 0; i < n; ++i)
            frame[i] = static_cast<uint8_t>(i + 1);
        uint8_t roomy[256];
        uint32_t size = sizeof roomy;
        ASSERT_EQ(lzf_block_compress(frame.data(), 96, roomy, &size), 0);

        set(frame);
        if (led_feature_pending.load()) {
            saw_feature = true;
            EXPECT_LE(led_feature_report[1], 62) << n;
            EXPECT_LE(size, 62u) << n;
            EXPECT_EQ(led_feature_report[1], size) << n;
            bytes expanded;
            EXPECT_TRUE(lzf_expand(led_feature_report + 2, led_feature_report[1], &expanded));
            EXPECT_EQ(expanded, frame) << n;
            EXPECT_FALSE(led_low_dirty.load());
            EXPECT_FALSE(led_high_dirty.load());
        } else {
            saw_halves = true;
            EXPECT_GE(size, 60u) << n; // only frames near or past the limit
            EXPECT_TRUE(led_low_dirty.load()) << n;
            EXPECT_TRUE(led_high_dirty.load()) << n;
            EXPECT_EQ(bytes(led_report_low + 1, led_report_low + 49), device_half(frame, false));
            EXPECT_EQ(bytes(led_report_high + 1, led_report_high + 49), device_half(frame, true));
        }
        if (size > 62) {
            EXPECT_FALSE(led_feature_pending.load()) << n;
        }
        // Play the lighting thread's part, and forget what was queued so
        // that every frame of this walk is new to the halves' record.
        std::memset(led_report_low + 1, 0, 48);
        std::memset(led_report_high + 1, 0, 48);
        led_feature_pending.store(false);
        led_low_dirty.store(false);
        led_high_dirty.store(false);
    }
    EXPECT_TRUE(saw_feature);
    EXPECT_TRUE(saw_halves);
}

TEST_F(Lighting, FrameWhileCompressedPendingIsDroppedWhole) {
    set(bytes(96, 0));
    const bytes feature(led_feature_report, led_feature_report + 64);
    bytes other(96, 0x11);
    set(other);            // compressible: dropped
    set(distinct_frame()); // uncompressible: dropped too
    EXPECT_EQ(bytes(led_feature_report, led_feature_report + 64), feature);
    EXPECT_FALSE(led_low_dirty.load());
    EXPECT_FALSE(led_high_dirty.load());
    EXPECT_EQ(bytes(led_report_low + 1, led_report_low + 49), bytes(48, 0));

    const std::vector<bytes> sent = pump();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], feature);
}

TEST_F(Lighting, HalfArrivingWhilePendingIsDropped) {
    const bytes first = distinct_frame();
    set(first);
    bytes second = first;
    for (auto &b : second)
        b = static_cast<uint8_t>(b + 100);
    set(second);
    EXPECT_EQ(bytes(led_report_low + 1, led_report_low + 49), device_half(first, false));
    EXPECT_EQ(bytes(led_report_high + 1, led_report_high + 49), device_half(first, true));

    const std::vector<bytes> sent = pump();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], report(0x04, device_half(first, false), 49));
    EXPECT_EQ(sent[1], report(0x05, device_half(first, true), 49));
}

TEST_F(Lighting, SetLedsNeverTouchesTheDevice) {
    set(distinct_frame());
    set(bytes(96, 0));
    EXPECT_TRUE(fake::sent(0).empty());
    EXPECT_TRUE(device.take_led_reports().empty());
    EXPECT_EQ(fake::threads_started(), 0);
}

TEST_F(Lighting, NoLightingDeviceDropsFramesAndStartsNoThread) {
    ::device.lighting.file.store(nullptr);
    const bytes feature(led_feature_report, led_feature_report + 64);
    set(bytes(96, 0));
    set(distinct_frame());
    EXPECT_FALSE(led_feature_pending.load());
    EXPECT_FALSE(led_low_dirty.load());
    EXPECT_FALSE(led_high_dirty.load());
    EXPECT_EQ(bytes(led_feature_report, led_feature_report + 64), feature);
    EXPECT_EQ(bytes(led_report_low + 1, led_report_low + 49), bytes(48, 0));

    lighting_start_step();
    EXPECT_EQ(lighting_thread, nullptr);
    EXPECT_EQ(fake::threads_started(), 0);
    lighting_stop_step(); // nothing to stop
    EXPECT_EQ(lighting_thread, nullptr);
}

// --- Thread start and stop ----------------------------------------------------

TEST_F(Lighting, StartTwiceStartsOneThreadAndStopClearsEverything) {
    lighting_start_step();
    plat_thread first = lighting_thread;
    ASSERT_NE(first, nullptr);
    lighting_start_step();
    EXPECT_EQ(lighting_thread, first);
    EXPECT_EQ(fake::threads_started(), 1);
    EXPECT_TRUE(wait_passes(device, 3));

    lighting_stop_step();
    EXPECT_EQ(lighting_thread, nullptr);
    EXPECT_FALSE(lighting_stop.load());
    const int passes = device.lamp_reports.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(device.lamp_reports.load(), passes); // nothing writes after stop

    lighting_start_step();
    EXPECT_NE(lighting_thread, nullptr);
    EXPECT_EQ(fake::threads_started(), 2);
    EXPECT_TRUE(wait_passes(device, 1));
}

TEST_F(Lighting, FailedThreadStartLeavesHandleNullAndLaterStartRetries) {
    fake::set_thread_start_fails(true);
    lighting_start_step();
    EXPECT_EQ(lighting_thread, nullptr);
    lighting_stop_step();
    fake::set_thread_start_fails(false);
    lighting_start_step();
    EXPECT_NE(lighting_thread, nullptr);
}

TEST_F(Lighting, FramesQueuedWhileStoppedGoOutOnStart) {
    set(distinct_frame());
    EXPECT_TRUE(device.take_led_reports().empty());
    EXPECT_EQ(pump().size(), 2u);
}

// --- Lamps ----------------------------------------------------------------------

// Stands in for the host's program image; the lamp-state byte lies inside it.
uint8_t host_image[64];

bytes lamp_report(uint8_t l0, uint8_t l1, uint8_t l2, uint8_t l3) {
    bytes r(49, 0);
    r[0] = 0x06;
    r[1] = l0;
    r[2] = l1;
    r[3] = l2;
    r[4] = l3;
    return r;
}

class LightingLamps : public Lighting {
  protected:
    void use_lamp_byte(uint8_t value) {
        host_image[40] = value;
        fake::set_image(reinterpret_cast<uintptr_t>(host_image), sizeof host_image);
        config.lamp_state_address = reinterpret_cast<uintptr_t>(host_image) + 40;
    }
};

TEST_F(LightingLamps, HostByte0x48LightsLamps0And1) {
    use_lamp_byte(0x48);
    const bytes expected = {0x06, 0xFF, 0xFF, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(expected.size(), 49u);
    EXPECT_EQ(lamps(), expected);
}

TEST_F(LightingLamps, HostByteBitsMapToLamps) {
    use_lamp_byte(0x90); // bits 4 and 7: lamps 2 and 3
    EXPECT_EQ(lamps(), lamp_report(0, 0, 0xFF, 0xFF));
    use_lamp_byte(0x08); // bit 3: lamp 0
    EXPECT_EQ(lamps(), lamp_report(0xFF, 0, 0, 0));
    use_lamp_byte(0x40); // bit 6: lamp 1
    EXPECT_EQ(lamps(), lamp_report(0, 0xFF, 0, 0));
    use_lamp_byte(0x27); // no lamp bit
    EXPECT_EQ(lamps(), lamp_report(0, 0, 0, 0));
    use_lamp_byte(0xFF);
    EXPECT_EQ(lamps(), lamp_report(0xFF, 0xFF, 0xFF, 0xFF));
}

TEST_F(LightingLamps, HostByteWinsOverButtons) {
    use_lamp_byte(0x00);
    latest_report.buttons.store(0x0000); // all released: would light all four
    EXPECT_EQ(lamps(), lamp_report(0, 0, 0, 0));
}

TEST_F(LightingLamps, NoButtonPressedLightsAllLamps) {
    EXPECT_EQ(lamps(), lamp_report(0xFF, 0xFF, 0xFF, 0xFF));
}

TEST_F(LightingLamps, ButtonWordBit0TurnsLamp1Off) {
    latest_report.buttons.store(0x0001);
    EXPECT_EQ(lamps(), lamp_report(0xFF, 0x00, 0xFF, 0xFF));
}

TEST_F(LightingLamps, ButtonWordBitsMapToLamps) {
    latest_report.buttons.store(0x0008);
    EXPECT_EQ(lamps(), lamp_report(0x00, 0xFF, 0xFF, 0xFF));
    latest_report.buttons.store(0x0002);
    EXPECT_EQ(lamps(), lamp_report(0xFF, 0xFF, 0x00, 0xFF));
    latest_report.buttons.store(0x0004);
    EXPECT_EQ(lamps(), lamp_report(0xFF, 0xFF, 0xFF, 0x00));
    latest_report.buttons.store(0xFFF0); // other bits do not matter
    EXPECT_EQ(lamps(), lamp_report(0xFF, 0xFF, 0xFF, 0xFF));
}

TEST_F(LightingLamps, LampsFollowButtonsWhileRunning) {
    lighting_start_step();
    EXPECT_TRUE(fake::wait_until(
        [&] { return device.lamp_report() == lamp_report(0xFF, 0xFF, 0xFF, 0xFF); }));
    latest_report.buttons.store(0x0001);
    EXPECT_TRUE(
        fake::wait_until([&] { return device.lamp_report() == lamp_report(0xFF, 0, 0xFF, 0xFF); }));
    latest_report.buttons.store(0x0000);
    EXPECT_TRUE(fake::wait_until(
        [&] { return device.lamp_report() == lamp_report(0xFF, 0xFF, 0xFF, 0xFF); }));
    lighting_stop_step();
}

// --- Pending halves go out before a pending compressed frame -------------------

TEST_F(Lighting, PendingHalvesGoOutBeforePendingCompressedFrame) {
    const bytes older = distinct_frame();
    set(older);
    set(bytes(96, 0)); // compressed while both halves of the older frame wait
    EXPECT_TRUE(led_low_dirty.load());
    EXPECT_TRUE(led_high_dirty.load());
    EXPECT_TRUE(led_feature_pending.load());

    const std::vector<bytes> sent = pump();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0][0], 0x04);
    EXPECT_EQ(sent[1][0], 0x05);
    EXPECT_EQ(sent[2][0], 0x0B);
    EXPECT_EQ(bytes(device.leds, device.leds + 96), bytes(96, 0));
}

TEST_F(Lighting, PendingHalfGoesOutBeforePendingCompressedFrame) {
    bytes frame = distinct_frame();
    set(frame);
    pump();
    frame[0] = 0x55; // only the high half changes
    set(frame);
    set(bytes(96, 0x22));
    const std::vector<bytes> sent = pump();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][0], 0x05);
    EXPECT_EQ(sent[1][0], 0x0B);
    EXPECT_EQ(bytes(device.leds, device.leds + 96), bytes(96, 0x22));
}

// --- After a compressed frame, the next uncompressed one goes out in full -----

TEST_F(Lighting, UncompressedFrameAfterCompressedGoesOutInFull) {
    const bytes frame = distinct_frame();
    set(frame);
    EXPECT_EQ(pump().size(), 2u);
    set(bytes(96, 0));
    EXPECT_EQ(pump().size(), 1u);
    EXPECT_EQ(bytes(device.leds, device.leds + 96), bytes(96, 0));

    set(frame); // equal to the halves' record, but the controller shows black
    EXPECT_TRUE(led_low_dirty.load());
    EXPECT_TRUE(led_high_dirty.load());
    const std::vector<bytes> sent = pump();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], report(0x04, device_half(frame, false), 49));
    EXPECT_EQ(sent[1], report(0x05, device_half(frame, true), 49));
    EXPECT_EQ(bytes(device.leds, device.leds + 96), frame);

    set(frame); // the record is true again: nothing to send
    EXPECT_TRUE(pump().empty());
}

TEST_F(Lighting, FullResendAfterCompressedFrameThatFollowedPendingHalves) {
    const bytes frame = distinct_frame();
    set(frame);
    set(bytes(96, 0));
    EXPECT_EQ(pump().size(), 3u); // 0x04, 0x05, then 0x0B
    set(frame);
    EXPECT_EQ(pump().size(), 2u);
    EXPECT_EQ(bytes(device.leds, device.leds + 96), frame);
}

TEST_F(Lighting, FullResendMarkStaysWhileAHalfIsPending) {
    const bytes frame = distinct_frame();
    set(frame);
    pump();
    set(bytes(96, 0));
    pump();
    // A half still waits when the next uncompressed frame comes: that half
    // is dropped, and the frame after it must still go out in full.
    led_low_dirty.store(true);
    set(frame);
    EXPECT_TRUE(led_high_dirty.load());
    led_low_dirty.store(false);
    led_high_dirty.store(false);
    set(frame);
    EXPECT_TRUE(led_low_dirty.load());
    EXPECT_TRUE(led_high_dirty.load());
    led_low_dirty.store(false);
    led_high_dirty.store(false);
    set(frame); // both halves went in full once: the mark is gone
    EXPECT_FALSE(led_low_dirty.load());
    EXPECT_FALSE(led_high_dirty.load());
}

// --- The lamp-state address is checked once ------------------------------------

std::string outside_message(uint64_t offset, uint64_t size) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "hid_offset 0x%lx lies outside the host image (0x%lx bytes); lamps follow "
                  "the controller's buttons.\r\n",
                  static_cast<unsigned long>(offset), static_cast<unsigned long>(size));
    return line;
}

TEST_F(Lighting, LampAddressOutsideImageIsDroppedWithOneLine) {
    fake::set_image(0x400000, 0x1000);
    config.lamp_state_address = 0x401000;
    lighting_check_lamp_address();
    EXPECT_EQ(fake::output(), "hid_offset 0x1000 lies outside the host image (0x1000 bytes); "
                              "lamps follow the controller's buttons.\r\n");
    EXPECT_EQ(config.lamp_state_address, 0u);
}

TEST_F(Lighting, LampAddressAtLastImageByteIsKept) {
    fake::set_image(0x400000, 0x1000);
    config.lamp_state_address = 0x400FFF;
    lighting_check_lamp_address();
    EXPECT_EQ(fake::output(), "");
    EXPECT_EQ(config.lamp_state_address, 0x400FFFu);
    config.lamp_state_address = 0x400000;
    lighting_check_lamp_address();
    EXPECT_EQ(fake::output(), "");
    EXPECT_EQ(config.lamp_state_address, 0x400000u);
}

TEST_F(Lighting, LampAddressBelowImageIsDropped) {
    fake::set_image(0x400000, 0x1000);
    config.lamp_state_address = 0x3FFFFF;
    lighting_check_lamp_address();
    EXPECT_EQ(fake::output(), outside_message(static_cast<uint64_t>(0) - 1, 0x1000));
    EXPECT_EQ(config.lamp_state_address, 0u);
}

TEST_F(Lighting, NoLampAddressPrintsNothing) {
    fake::set_image(0x400000, 0x1000);
    config.lamp_state_address = 0;
    lighting_check_lamp_address();
    EXPECT_EQ(fake::output(), "");
    EXPECT_EQ(config.lamp_state_address, 0u);
}

TEST_F(Lighting, DroppedLampAddressMakesLampsFollowButtons) {
    fake::set_image(0x400000, 0x10);
    config.lamp_state_address = 0x400000u + 0x7FFF0000u; // would fault if read
    lighting_check_lamp_address();
    EXPECT_EQ(fake::output(), outside_message(0x7FFF0000, 0x10));
    latest_report.buttons.store(0x0004);
    EXPECT_EQ(lamps(), lamp_report(0xFF, 0xFF, 0xFF, 0x00));
}

TEST_F(Lighting, InitChecksTheLampAddress) {
    fake::reset();
    state_reset_for_tests();
    device.attach();
    fake::add_entry("\\\\?\\hid#vid_0f0d&pid_0001&mi_00#input");
    fake::add_entry("\\\\?\\hid#vid_0f0d&pid_0001&mi_01#light");
    fake::set_image(0x400000, 0x2000);
    fake::set_ini("tevuio", "hid_offset", 0x2345);
    ASSERT_EQ(tevu_io_jvs_init(), 0);
    EXPECT_EQ(fake::output(), "hid_offset 0x2345 lies outside the host image (0x2000 bytes); "
                              "lamps follow the controller's buttons.\r\n");
    EXPECT_EQ(config.lamp_state_address, 0u);

    fake::clear_output();
    fake::set_ini("tevuio", "hid_offset", 0x1FFF);
    ASSERT_EQ(tevu_io_jvs_init(), 0);
    EXPECT_EQ(fake::output(), "");
    EXPECT_EQ(config.lamp_state_address, 0x401FFFu);
}

// --- A failing lamp write paces the thread ------------------------------------

TEST_F(Lighting, FailedLampWritePausesThePass) {
    fake::set_write_fails(0, true);
    lighting_start_step();
    EXPECT_TRUE(fake::wait_until([] { return fake::sleeps() >= 3; }));
    lighting_stop_step();
    EXPECT_EQ(device.lamp_reports.load(), 0);
}

TEST_F(Lighting, WorkingLampWriteDoesNotPause) {
    lighting_start_step();
    EXPECT_TRUE(wait_passes(device, 200));
    lighting_stop_step();
    EXPECT_EQ(fake::sleeps(), 0);
}

TEST_F(Lighting, FailedWritesStillClearTheFlags) {
    fake::set_write_fails(0, true);
    set(distinct_frame());
    lighting_start_step();
    EXPECT_TRUE(fake::wait_until(flags_clear));
    lighting_stop_step();
    EXPECT_TRUE(device.take_led_reports().empty());
    fake::set_write_fails(0, false);
    set(distinct_frame()); // the record says it went: not queued again
    EXPECT_FALSE(led_low_dirty.load());
}

} // namespace
