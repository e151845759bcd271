// Slider LEDs and button lamps over the fake platform: the exact reports the
// lighting thread sends for the frames the host sets, the lamp sources, the
// thread's start and stop, and its life with a controller that refuses
// reports, goes away or comes back.
#include "lighting_test_support.h"

#include "lzf/lzf.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using namespace lighting_test;

class Lighting : public lighting_fixture {
  protected:
    // The first lamp report of a fresh thread.
    bytes lamps() {
        lighting_start_step();
        EXPECT_TRUE(leds.wait_passes(1));
        lighting_stop_step();
        return leds.lamp_report();
    }
};

// --- What goes out, and how --------------------------------------------------

TEST_F(Lighting, BlackFrameGoesAsFeatureReportWithLengthNine) {
    set(bytes(96, 0));
    bytes expected(64, 0);
    const bytes head = {0x0B, 9, 0x01, 0x00, 0x00, 0xE0, 0x53, 0x00, 0x01, 0x00, 0x00};
    std::copy(head.begin(), head.end(), expected.begin());
    EXPECT_EQ(pump(), std::vector<bytes>{expected});
}

TEST_F(Lighting, AllDifferentFrameGoesAsTwoReportsHostLed31First) {
    const bytes frame = distinct_frame();
    set(frame);
    bytes low = {0x04}, high = {0x05};
    for (int led = 31; led >= 16; --led)
        for (int c = 0; c < 3; ++c)
            low.push_back(static_cast<uint8_t>(3 * led + c));
    for (int led = 15; led >= 0; --led)
        for (int c = 0; c < 3; ++c)
            high.push_back(static_cast<uint8_t>(3 * led + c));
    EXPECT_EQ(pump(), (std::vector<bytes>{low, high}));
    EXPECT_EQ(leds.shown(), frame);
}

// Halves the controller shows already are not sent again; a feature report is.
TEST_F(Lighting, SameFrameAgainSendsOnlyAFeatureReportAgain) {
    for (const auto &[frame, reports] :
         {std::pair<bytes, size_t>{distinct_frame(), 2}, {bytes(96, 0), 1}}) {
        set(frame);
        const std::vector<bytes> first = pump();
        EXPECT_EQ(first.size(), reports);
        set(frame);
        EXPECT_EQ(pump(), reports == 1 ? first : std::vector<bytes>{});
    }
}

TEST_F(Lighting, ChangedHalfAloneSendsOneReport) {
    // Host LED 0 is device LED 31 (report 0x05, last LED); host LED 31 is
    // device LED 0 (report 0x04, first LED).
    const struct {
        size_t byte;
        uint8_t id;
        size_t at;
    } cases[] = {{0, 0x05, 46}, {95, 0x04, 3}};
    for (const auto &c : cases) {
        bytes frame = distinct_frame();
        set(frame);
        pump();
        frame[c.byte] = 0xAA;
        set(frame);
        const std::vector<bytes> sent = pump();
        ASSERT_EQ(sent.size(), 1u) << c.byte;
        EXPECT_EQ(sent[0], make_report(c.id, device_half(frame, c.id == 0x05), 49));
        EXPECT_EQ(sent[0][c.at], 0xAA);
        EXPECT_EQ(leds.shown(), frame);
    }
}

TEST_F(Lighting, FeatureWheneverTheBlockFitsElseHalves) {
    // Frames with n distinct leading bytes and zeros after: the compressed
    // size grows with n across the room of the feature report.
    bool saw_feature = false, saw_halves = false;
    for (int n = 0; n <= 96; ++n) {
        bytes frame(96, 0);
        for (int i = 0; i < n; ++i)
            frame[static_cast<size_t>(i)] = static_cast<uint8_t>(i + 1);
        uint8_t block[62];
        uint32_t size = sizeof block;
        const bool fits = lzf_block_compress(frame.data(), 96, block, &size) == 0;
        set(frame);
        const std::vector<bytes> sent = pump();
        ASSERT_FALSE(sent.empty()) << n;
        if (fits) {
            saw_feature = true;
            bytes payload(block, block + size);
            payload.insert(payload.begin(), static_cast<uint8_t>(size));
            EXPECT_EQ(sent, std::vector<bytes>{make_report(0x0B, payload, 64)}) << n;
        } else {
            saw_halves = true;
            for (const bytes &r : sent)
                EXPECT_NE(r[0], 0x0B) << n;
        }
        EXPECT_EQ(leds.shown(), frame) << n;
    }
    EXPECT_TRUE(saw_feature);
    EXPECT_TRUE(saw_halves);
}

TEST_F(Lighting, UncompressedFrameAfterCompressedGoesOutInFull) {
    const bytes frame = distinct_frame();
    set(frame);
    EXPECT_EQ(pump().size(), 2u);
    set(bytes(96, 0));
    EXPECT_EQ(pump().size(), 1u);
    set(frame); // equal to the halves last sent, but the controller shows black
    EXPECT_EQ(pump(), (std::vector<bytes>{make_report(0x04, device_half(frame, false), 49),
                                          make_report(0x05, device_half(frame, true), 49)}));
    EXPECT_EQ(leds.shown(), frame);
}

TEST_F(Lighting, TwoFramesWhileAWriteBlocksEndOnTheSecond) {
    // Every pair across the compressed/halves boundary, in both orders.
    const bytes halves_a = distinct_frame(), halves_b = distinct_frame(100);
    const bytes feature_a(96, 0x11), feature_b(96, 0x22);
    const struct {
        bytes first, second;
        size_t reports;
    } cases[] = {{halves_a, halves_b, 2},
                 {halves_a, feature_b, 1},
                 {feature_a, halves_b, 2},
                 {feature_a, feature_b, 1}};
    for (const auto &c : cases) {
        SetUp();
        fake::set_write_blocks(0, true);
        lighting_start_step();
        set(c.first);
        set(c.second); // replaces the first, which never goes out
        fake::set_write_blocks(0, false);
        catch_up();
        lighting_stop_step();
        EXPECT_EQ(leds.take_led_reports().size(), c.reports);
        EXPECT_EQ(leds.shown(), c.second);
    }
}

TEST_F(Lighting, SetLedsNeverTouchesTheDevice) {
    set(distinct_frame());
    set(bytes(96, 0));
    EXPECT_TRUE(leds.take_led_reports().empty());
    EXPECT_EQ(fake::threads_started(), 0);
}

TEST_F(Lighting, NoControllerAtInitKeepsNoFrameAndStartsNoThread) {
    tevu.device.lighting.file.store(nullptr);
    set(bytes(96, 0));
    EXPECT_TRUE(frame_taken()); // nothing waits
    lighting_start_step();
    EXPECT_EQ(tevu.device.lighting.user.load(), nullptr);
    EXPECT_EQ(fake::threads_started(), 0);
    lighting_stop_step(); // nothing to stop
}

// --- Thread start and stop ----------------------------------------------------

TEST_F(Lighting, StartTwiceStartsOneThreadAndStopClearsEverything) {
    lighting_start_step();
    plat_thread first = tevu.device.lighting.user.load();
    ASSERT_NE(first, nullptr);
    lighting_start_step();
    EXPECT_EQ(tevu.device.lighting.user.load(), first);
    EXPECT_EQ(fake::threads_started(), 1);
    EXPECT_TRUE(leds.wait_passes(3));

    lighting_stop_step();
    EXPECT_EQ(tevu.device.lighting.user.load(), nullptr);
    EXPECT_FALSE(tevu.lighting.stop.load());
    const int passes = leds.lamp_reports.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(leds.lamp_reports.load(), passes); // nothing writes after stop

    lighting_start_step();
    EXPECT_NE(tevu.device.lighting.user.load(), nullptr);
    EXPECT_EQ(fake::threads_started(), 2);
    EXPECT_TRUE(leds.wait_passes(1));
}

TEST_F(Lighting, FailedThreadStartLeavesHandleNullAndLaterStartRetries) {
    fake::set_thread_start_fails(true);
    lighting_start_step();
    EXPECT_EQ(tevu.device.lighting.user.load(), nullptr);
    lighting_stop_step();
    fake::set_thread_start_fails(false);
    lighting_start_step();
    EXPECT_NE(tevu.device.lighting.user.load(), nullptr);
}

TEST_F(Lighting, FramesSetWhileStoppedGoOutOnStart) {
    set(distinct_frame());
    EXPECT_TRUE(leds.take_led_reports().empty());
    EXPECT_EQ(pump().size(), 2u);
}

TEST_F(Lighting, StopReturnsWhileAWriteBlocks) {
    fake::set_write_blocks(0, true);
    lighting_start_step();
    std::this_thread::sleep_for(std::chrono::milliseconds(5)); // into the lamp write
    lighting_stop_step();
    EXPECT_EQ(tevu.device.lighting.user.load(), nullptr);
}

// --- A controller that refuses reports, goes away, comes back ---------------

TEST_F(Lighting, RefusedWritesPauseAndLoseNothing) {
    fake::set_write_fails(0, true);
    set(distinct_frame());
    lighting_start_step();
    EXPECT_TRUE(fake::wait_until([] { return fake::sleeps() >= 3; }));
    EXPECT_EQ(leds.lamp_reports.load(), 0);
    fake::set_write_fails(0, false);
    EXPECT_TRUE(fake::wait_until([&] { return leds.shown() == distinct_frame(); }));
}

// A controller that takes reports at once gets one pass per millisecond: a
// pass that ends within the tick it began in waits, with the pacer, for the next.
TEST_F(Lighting, WorkingWritesPacePassesToOnePerMillisecond) {
    set(distinct_frame());
    lighting_start_step();
    EXPECT_TRUE(leds.wait_passes(200));
    EXPECT_EQ(fake::pacers_open(), 1);
    lighting_stop_step();
    EXPECT_EQ(fake::pacers_open(), 0);
    // Nearly every pass of the fake ends within its tick; no other pause.
    EXPECT_GT(fake::paced_waits(), 20);
    EXPECT_EQ(fake::sleeps(), fake::paced_waits());
}

TEST_F(Lighting, NewHandleGetsTheNewestFrameInFull) {
    const bytes before = distinct_frame(), lost = distinct_frame(50);
    bytes newest = before; // the same high half (host LEDs 0-15): sent all the same
    for (size_t i = 48; i < 96; ++i)
        newest[i] = static_cast<uint8_t>(newest[i] + 9);
    tevu.device.state.store(link::connected); // init found the controller
    set(before);
    lighting_start_step();
    catch_up();
    device_replace(tevu.device.lighting, nullptr); // the controller goes away
    EXPECT_EQ(fake::close_count(0), 1);
    set(lost);
    set(newest);
    leds.take_led_reports();
    device_replace(tevu.device.lighting, plat_hid_open(light_path()));
    device_wake_user(tevu.device.lighting); // as init does when it opens an interface
    catch_up();
    const std::vector<bytes> full = {make_report(0x04, device_half(newest, false), 49),
                                     make_report(0x05, device_half(newest, true), 49)};
    EXPECT_EQ(leds.take_led_reports(), full);
    device_replace(tevu.device.lighting, plat_hid_open(light_path())); // no new frame
    device_wake_user(tevu.device.lighting);
    EXPECT_TRUE(leds.wait_passes(2));
    EXPECT_EQ(leds.take_led_reports(), full);
    EXPECT_EQ(fake::close_count(1), 1);
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
        tevu.config.lamp_state_address = reinterpret_cast<uintptr_t>(host_image) + 40;
    }
};

// From the host's lamp-state byte when one is configured, whatever the
// buttons: bits 3, 6, 4, 7 light lamps 0-3. Else from the button word: lamps
// 0-3 belong to game buttons 4, 3, 2, 1 (bits 3, 0, 1, 2), lit while released.
TEST_F(LightingLamps, FromTheHostByteElseFromTheButtons) {
    const int none = -1;
    const struct {
        int host_byte;
        uint16_t buttons;
        bytes expected;
    } cases[] = {
        {0x48, 0, lamp_report(0xFF, 0xFF, 0, 0)},
        {0x90, 0, lamp_report(0, 0, 0xFF, 0xFF)},
        {0x08, 0, lamp_report(0xFF, 0, 0, 0)},
        {0x40, 0, lamp_report(0, 0xFF, 0, 0)},
        {0x27, 0, lamp_report(0, 0, 0, 0)},
        {0xFF, 0, lamp_report(0xFF, 0xFF, 0xFF, 0xFF)},
        {0x00, 0, lamp_report(0, 0, 0, 0)},
        {none, 0, lamp_report(0xFF, 0xFF, 0xFF, 0xFF)},
        {none, 0x0001, lamp_report(0xFF, 0, 0xFF, 0xFF)},
        {none, 0x0008, lamp_report(0, 0xFF, 0xFF, 0xFF)},
        {none, 0x0002, lamp_report(0xFF, 0xFF, 0, 0xFF)},
        {none, 0x0004, lamp_report(0xFF, 0xFF, 0xFF, 0)},
        {none, 0xFFF0, lamp_report(0xFF, 0xFF, 0xFF, 0xFF)}, // other bits do not matter
        {none, 0x020F, lamp_report(0, 0, 0, 0)},             // all game buttons held
    };
    for (const auto &c : cases) {
        if (c.host_byte == none)
            tevu.config.lamp_state_address = 0;
        else
            use_lamp_byte(static_cast<uint8_t>(c.host_byte));
        tevu.input.buttons.store(c.buttons);
        EXPECT_EQ(lamps(), c.expected) << c.host_byte << " " << c.buttons;
    }
}

TEST_F(LightingLamps, LampsFollowButtonsWhileRunning) {
    lighting_start_step();
    EXPECT_TRUE(fake::wait_until(
        [&] { return leds.lamp_report() == lamp_report(0xFF, 0xFF, 0xFF, 0xFF); }));
    tevu.input.buttons.store(0x0001);
    EXPECT_TRUE(
        fake::wait_until([&] { return leds.lamp_report() == lamp_report(0xFF, 0, 0xFF, 0xFF); }));
    tevu.input.buttons.store(0x0000);
    EXPECT_TRUE(fake::wait_until(
        [&] { return leds.lamp_report() == lamp_report(0xFF, 0xFF, 0xFF, 0xFF); }));
    lighting_stop_step();
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

// Image 0x400000-0x400FFF: an address in it is kept without a word; one
// outside it is dropped with one line giving its offset and the image size.
TEST_F(Lighting, LampAddressOutsideTheImageIsDroppedWithOneLine) {
    const struct {
        uint64_t address;
        bool kept;
        std::string line;
    } cases[] = {
        {0x400000, true, ""},
        {0x400FFF, true, ""},
        {0, true, ""}, // none configured
        {0x401000, false,
         "hid_offset 0x1000 lies outside the host image (0x1000 bytes); lamps follow the "
         "controller's buttons.\r\n"},
        {0x3FFFFF, false, outside_message(static_cast<uint64_t>(0) - 1, 0x1000)},
    };
    fake::set_image(0x400000, 0x1000);
    for (const auto &c : cases) {
        fake::clear_output();
        io_config loaded{};
        loaded.lamp_state_address = c.address;
        lighting_check_lamp_address(loaded);
        EXPECT_EQ(fake::output(), c.line) << std::hex << c.address;
        EXPECT_EQ(loaded.lamp_state_address, c.kept ? c.address : 0u) << std::hex << c.address;
    }
}

TEST_F(Lighting, DroppedLampAddressMakesLampsFollowButtons) {
    io_config loaded{};
    fake::set_image(0x400000, 0x10);
    loaded.lamp_state_address = 0x400000u + 0x7FFF0000u; // would fault if read
    lighting_check_lamp_address(loaded);
    tevu.config.publish(loaded);
    EXPECT_EQ(fake::output(), outside_message(0x7FFF0000, 0x10));
    tevu.input.buttons.store(0x0004);
    EXPECT_EQ(lamps(), lamp_report(0xFF, 0xFF, 0xFF, 0x00));
}

} // namespace
