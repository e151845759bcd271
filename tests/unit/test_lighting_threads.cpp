// The LED hand-off under load, meant for ThreadSanitizer as well: random
// bursts of frames of both kinds, then silence. At the start of every pass the
// controller must show one whole frame that was set, never an older one than
// before; after each burst it must show the burst's last frame.
#include "lighting_test_support.h"

#include <random>
#include <thread>

namespace {

using namespace lighting_test;

// Frame number seq in host LED 0 and host LED 31, so that each half tells
// which frame it came from. Compressible frames are black otherwise; the
// others are noise that never fits the feature report.
bytes frame_of(uint32_t seq) {
    bytes frame(report::frame_bytes, 0);
    const bool compressible = seq % 3 == 0;
    uint32_t x = seq * 2654435761u + 1;
    for (size_t i = 0; seq != 0 && !compressible && i < frame.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        frame[i] = static_cast<uint8_t>(x);
    }
    for (size_t c = 0; c < 3; ++c)
        frame[c] = frame[93 + c] = static_cast<uint8_t>(seq >> (8 * c));
    return frame;
}

uint32_t seq_at(const uint8_t *led) {
    return static_cast<uint32_t>(led[0] | led[1] << 8 | led[2] << 16);
}

class LightingThreads : public lighting_fixture {
  protected:
    void SetUp() override {
        lighting_fixture::SetUp();
        leds.on_pass = [this](const uint8_t *shown) {
            const uint32_t seq = seq_at(shown);
            if (seq < last_seq || bytes(shown, shown + report::frame_bytes) != frame_of(seq))
                bad_passes++;
            delivered += seq != last_seq ? 1 : 0;
            last_seq = seq;
        };
    }
    long bad_passes = 0, delivered = 0; // guarded by leds.mu
    uint32_t last_seq = 0;              // guarded by leds.mu
};

TEST_F(LightingThreads, EveryPassShowsASetFrameAndEachBurstEndsOnItsLast) {
    std::mt19937 random(20261208);
    uint32_t seq = 0;
    lighting_start_step();
    for (int burst = 0; burst < 300 && !HasFailure(); ++burst) {
        const int frames = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < frames; ++i) {
            set(frame_of(++seq));
            switch (random() % 4) {
            case 0:
                std::this_thread::yield();
                break;
            case 1:
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
                break;
            default:
                break;
            }
            if (burst % 16 == 15 && i == 0) {
                lighting_stop_step();
                lighting_start_step();
            }
        }
        catch_up();
        EXPECT_EQ(leds.shown(), frame_of(seq)) << "burst " << burst;
    }
    std::lock_guard<std::mutex> lock(leds.mu);
    EXPECT_EQ(bad_passes, 0);
    EXPECT_GT(delivered, 300);
}

// The test tool's way: frames set from the slider callback, on the slider
// thread, while the lighting thread runs beside it.
std::atomic<uint32_t> callback_frames{0};

void send_from_callback(const uint8_t *) {
    const uint32_t seq = callback_frames.fetch_add(1, std::memory_order_relaxed) + 1;
    tevu_io_slider_set_leds(frame_of(seq).data());
}

TEST_F(LightingThreads, FramesFromTheSliderCallbackReachTheController) {
    callback_frames.store(0);
    tevu_io_slider_start(send_from_callback); // no input device: a pass every millisecond
    EXPECT_EQ(fake::threads_started(), 2);
    ASSERT_TRUE(fake::wait_until([&] {
        std::lock_guard<std::mutex> lock(leds.mu);
        return delivered > 20;
    }));
    tevu_io_slider_stop();
    lighting_start_step();
    catch_up();
    EXPECT_EQ(leds.shown(), frame_of(callback_frames.load()));
    std::lock_guard<std::mutex> lock(leds.mu);
    EXPECT_EQ(bad_passes, 0);
}

} // namespace
