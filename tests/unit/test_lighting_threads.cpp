// The LED hand-off under load: a sender queues frames as fast as it can while
// the lighting thread feeds a fake controller that decodes both report forms.
// Once the sender stops and the thread has caught up, the controller must
// show the newest frame that was queued. Meant for ThreadSanitizer as well.
#include "fake_platform.h"
#include "lighting_test_support.h"

#include "tevuio/lighting.h"
#include "tevuio/state.h"
#include "tevuio/tevuio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using lighting_test::apply_report;
using lighting_test::flags_clear;
using lighting_test::lzf_expand;

typedef std::vector<uint8_t> bytes;

constexpr uint32_t max_frames = 0xFFFFFF; // sequence numbers fit three bytes

// Frame number seq (from 1) in host LED 0 and host LED 31, so that either
// half, and the whole frame, tell which frame they came from. Compressible
// frames are black otherwise; the others are noise that never fits in 62.
void make_frame(uint32_t seq, bool compressible, uint8_t frame[96]) {
    uint32_t x = seq * 2654435761u + 1;
    for (int i = 0; i < 96; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        frame[i] = compressible ? 0 : static_cast<uint8_t>(x);
    }
    for (int c = 0; c < 3; ++c) {
        frame[c] = static_cast<uint8_t>(seq >> (8 * c));
        frame[93 + c] = static_cast<uint8_t>(seq >> (8 * c));
    }
}

bool is_compressible(uint32_t seq) {
    // Both kinds mixed at random (7 in 16 compressible), so that halves are
    // pending when compressed frames come and the other way round.
    uint32_t h = seq * 0x9E3779B1u;
    return (h >> 28) < 7;
}

uint32_t seq_at(const uint8_t *led) {
    return static_cast<uint32_t>(led[0]) | static_cast<uint32_t>(led[1]) << 8 |
           static_cast<uint32_t>(led[2]) << 16;
}

// The expected content of one frame; seq 0 is the controller's dark start.
bytes frame_of(uint32_t seq) {
    bytes frame(96, 0);
    if (seq != 0)
        make_frame(seq, is_compressible(seq), frame.data());
    return frame;
}

struct controller {
    std::mutex mu;
    uint8_t leds[96] = {};
    uint32_t last_feature_seq = 0;
    long features = 0, lows = 0, highs = 0, bad = 0;
    std::atomic<long> lamp_reports{0};
    // Run once on the lighting thread, inside the first write of a report
    // with this ID: queues frames at an exact point of a pass.
    uint8_t inject_on = 0;
    std::function<void()> inject;

    void attach() {
        fake::set_write_hook([this](int device, bool, const uint8_t *report, uint32_t length) {
            on_write(report, length);
            fake::clear_sent(device); // the thread writes without pause
            if (inject && report[0] == inject_on) {
                const std::function<void()> run = std::move(inject);
                inject = nullptr;
                run();
            }
        });
    }

    void on_write(const uint8_t *report, uint32_t length) {
        if (report[0] == 0x06) {
            if (length != 49)
                bad_report();
            lamp_reports.fetch_add(1, std::memory_order_release);
            return;
        }
        std::lock_guard<std::mutex> lock(mu);
        if (report[0] == 0x0B) {
            bytes frame;
            if (length != 64 || report[1] > 62 || !lzf_expand(report + 2, report[1], &frame) ||
                frame.size() != 96 || frame != frame_of(seq_at(frame.data()))) {
                bad++;
                return;
            }
            last_feature_seq = seq_at(frame.data());
            features++;
        } else if (report[0] == 0x04 || report[0] == 0x05) {
            const bool high = report[0] == 0x05;
            // 0x04 starts with host LED 31, 0x05 ends with host LED 0.
            const uint32_t seq = seq_at(report + (high ? 46 : 1));
            const bytes frame = frame_of(seq);
            bytes half(48);
            for (int k = 0; k < 16; ++k)
                for (int c = 0; c < 3; ++c)
                    half[3 * k + c] = frame[3 * (31 - (high ? 16 : 0) - k) + c];
            if (length != 49 || !std::equal(half.begin(), half.end(), report + 1)) {
                bad++;
                return;
            }
            (high ? highs : lows)++;
        } else {
            bad++;
            return;
        }
        apply_report(report, length, leds);
    }

    void bad_report() {
        std::lock_guard<std::mutex> lock(mu);
        bad++;
    }
};

class LightingThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        state_reset_for_tests();
        const char *path = "\\\\?\\hid#vid_0f0d&pid_0001&mi_01#light";
        fake::add_entry(path);
        ::device.lighting.file.store(plat_hid_open(path), std::memory_order_release);
        led_report_low[0] = 0x04;
        led_report_high[0] = 0x05;
        led_feature_report[0] = 0x0B;
        device.attach();
    }
    void TearDown() override {
        tevu_io_slider_stop();
        fake::reset();
        state_reset_for_tests();
    }

    // Sends frames next_seq, next_seq + 1, ... from a thread of its own for
    // about the given time, calling between() on this thread meanwhile. The
    // burst ends with an uncompressible frame right before a compressible
    // one, so that halves are likely to be pending when it ends. Returns the
    // number of frames sent.
    uint32_t send_burst(std::chrono::microseconds duration, const std::function<void()> &between) {
        std::atomic<bool> done{false};
        const uint32_t first = next_seq;
        std::thread sender([&] {
            uint8_t frame[96];
            const auto end = std::chrono::steady_clock::now() + duration;
            uint32_t seq = next_seq;
            for (; seq < max_frames - 64; ++seq) {
                make_frame(seq, is_compressible(seq), frame);
                tevu_io_slider_set_leds(frame);
                if ((seq & 15) == 0 && std::chrono::steady_clock::now() > end)
                    break;
            }
            for (bool compressible : {false, true}) {
                while (is_compressible(++seq) != compressible) {
                }
                make_frame(seq, compressible, frame);
                tevu_io_slider_set_leds(frame);
            }
            next_seq = seq + 1;
            done.store(true, std::memory_order_release);
        });
        while (!done.load(std::memory_order_acquire))
            between();
        sender.join();
        return next_seq - first;
    }

    // With the thread running and the sender stopped: waits until the thread
    // has caught up and checks that each half shows the newest frame queued
    // for it.
    void expect_newest_frame_shown() {
        ASSERT_NE(lighting_thread, nullptr);
        ASSERT_TRUE(fake::wait_until(flags_clear));
        const long passes = device.lamp_reports.load(std::memory_order_acquire);
        ASSERT_TRUE(fake::wait_until(
            [&] { return device.lamp_reports.load(std::memory_order_acquire) >= passes + 2; }));

        // The halves' record holds the last uncompressed halves queued; the
        // last compressed frame queued is the last one the controller got,
        // since each is sent once, in order. Frame numbers grow in the order
        // the frames were queued.
        const uint32_t low_seq = seq_at(led_report_low + 1);
        const uint32_t high_seq = seq_at(led_report_high + 46);
        std::lock_guard<std::mutex> lock(device.mu);
        const uint32_t feature_seq = device.last_feature_seq;
        const bytes low_frame = frame_of(std::max(low_seq, feature_seq));
        const bytes high_frame = frame_of(std::max(high_seq, feature_seq));
        bytes expected(96);
        std::copy(high_frame.begin(), high_frame.begin() + 48, expected.begin());
        std::copy(low_frame.begin() + 48, low_frame.end(), expected.begin() + 48);
        EXPECT_EQ(bytes(device.leds, device.leds + 96), expected)
            << "low " << low_seq << " high " << high_seq << " compressed " << feature_seq;
        EXPECT_EQ(device.bad, 0);
    }

    // The next frame number of the given kind.
    uint32_t take(bool compressible) {
        while (is_compressible(next_seq) != compressible)
            next_seq++;
        return next_seq++;
    }

    void send(uint32_t seq) { tevu_io_slider_set_leds(frame_of(seq).data()); }

    uint32_t next_seq = 1; // touched by one sender at a time
    controller device;
};

TEST_F(LightingThreads, ControllerEndsOnNewestFrameUnderLoad) {
    // Bursts of frames as fast as the sender can go; after each, once the
    // thread has caught up, the controller must show the newest frame.
    lighting_start_step();
    uint32_t frames = 0;
    int bursts = 0;
    std::chrono::duration<double> sending{0};
    while (sending < std::chrono::milliseconds(1500) && !HasFailure()) {
        const auto start = std::chrono::steady_clock::now();
        frames += send_burst(std::chrono::milliseconds(5),
                             [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
        sending += std::chrono::steady_clock::now() - start;
        bursts++;
        expect_newest_frame_shown();
    }
    lighting_stop_step();

    std::lock_guard<std::mutex> lock(device.mu);
    EXPECT_GT(device.features, 0);
    EXPECT_GT(device.lows, 0);
    EXPECT_GT(device.highs, 0);
    const double seconds = sending.count();
    std::printf("[ lighting ] %d bursts, %u frames in %.2f s of sending: %.0f frames/s offered; "
                "sent %ld 0x0B + %ld 0x04 + %ld 0x05 (%.0f frames/s delivered)\n",
                bursts, frames, seconds, frames / seconds, device.features, device.lows,
                device.highs, (device.features + std::max(device.lows, device.highs)) / seconds);
}

TEST_F(LightingThreads, FramesQueuedDuringAPassEndOnTheNewest) {
    // Both halves of an older frame wait; during the lamp write, the low
    // half's write or the high half's write of the next pass, the host sends
    // another uncompressed frame and then a compressed one. Whichever point,
    // the controller must end on the compressed frame.
    for (uint8_t point : {0x06, 0x04, 0x05}) {
        SCOPED_TRACE(point);
        send(take(false));
        ASSERT_TRUE(led_low_dirty.load() && led_high_dirty.load());
        const uint32_t newer = take(false);
        const uint32_t newest = take(true);
        device.inject_on = point;
        device.inject = [this, newer, newest] {
            send(newer);
            send(newest);
        };
        lighting_start_step();
        expect_newest_frame_shown();
        lighting_stop_step();
        EXPECT_FALSE(device.inject);
        std::lock_guard<std::mutex> lock(device.mu);
        EXPECT_EQ(bytes(device.leds, device.leds + 96), frame_of(newest));
    }
}

TEST_F(LightingThreads, ControllerEndsOnNewestFrameAcrossStopAndStart) {
    for (int round = 0; round < 20 && !HasFailure(); ++round) {
        int cycles = 0;
        send_burst(std::chrono::milliseconds(25), [&] {
            lighting_start_step();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            lighting_stop_step();
            cycles++;
        });
        EXPECT_GT(cycles, 0);
        lighting_start_step();
        expect_newest_frame_shown();
        lighting_stop_step();
    }
}

// The test tool's way: frames sent from the slider callback, on the slider
// thread, while the lighting thread runs beside it.
std::atomic<uint32_t> callback_frames{0};

void send_from_callback(const uint8_t *) {
    const uint32_t seq = callback_frames.fetch_add(1, std::memory_order_relaxed) + 1;
    uint8_t frame[96];
    make_frame(seq, is_compressible(seq), frame);
    tevu_io_slider_set_leds(frame);
}

TEST_F(LightingThreads, FramesFromTheSliderCallbackReachTheController) {
    callback_frames.store(0);
    tevu_io_slider_start(send_from_callback); // no input device: reads fail at once
    EXPECT_NE(slider_thread, nullptr);
    EXPECT_NE(lighting_thread, nullptr);
    EXPECT_EQ(fake::threads_started(), 2);
    ASSERT_TRUE(fake::wait_until([&] {
        std::lock_guard<std::mutex> lock(device.mu);
        return device.features > 3 && device.lows > 0 && device.highs > 0;
    }));
    tevu_io_slider_stop();
    EXPECT_EQ(slider_thread, nullptr);
    EXPECT_EQ(lighting_thread, nullptr);
    EXPECT_FALSE(lighting_stop.load());

    // Whatever was still pending goes out with the next start.
    lighting_start_step();
    expect_newest_frame_shown();
}

} // namespace
