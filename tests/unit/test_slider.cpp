// The slider thread: pressures from keys and reports, start and stop.
#include "fake_platform.h"
#include "report_kit.h"
#include "tevuio/reports.h"
#include "tevuio/state.h"
#include "tevuio/tevuio.h"
#include "unit_kit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using pressures = std::array<uint8_t, 32>;

using namespace unit;

std::mutex record_mu;
std::vector<pressures> records;
std::atomic<int> calls{0};
std::atomic<int> other_calls{0};

void record_callback(const uint8_t *p) {
    pressures copy;
    std::copy(p, p + 32, copy.begin());
    std::lock_guard<std::mutex> lock(record_mu);
    records.push_back(copy);
    calls.fetch_add(1);
}

void other_callback(const uint8_t *) {
    other_calls.fetch_add(1);
}

std::vector<pressures> recorded() {
    std::lock_guard<std::mutex> lock(record_mu);
    return records;
}

using kit::input_report;

pressures with(std::initializer_list<std::pair<int, uint8_t>> cells) {
    pressures p{};
    for (auto c : cells)
        p[static_cast<size_t>(c.first)] = c.second;
    return p;
}

// Stops the slider on a thread of its own: true when the stop returned within
// 5 s; else unblock() runs so that it can end.
bool stop_returns(const std::function<void()> &unblock) {
    std::promise<void> stopped;
    std::future<void> done = stopped.get_future();
    std::thread stopper([&] {
        tevu_io_slider_stop();
        stopped.set_value();
    });
    const bool returned = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!returned)
        unblock();
    stopper.join();
    return returned;
}

class SliderBase : public ::testing::Test {
  protected:
    void SetUp() override { fresh(); }
    static void fresh() {
        tevu.reset();
        fake::reset();
        std::lock_guard<std::mutex> lock(record_mu);
        records.clear();
        calls.store(0);
        other_calls.store(0);
    }
    void TearDown() override { tevu_io_slider_stop(); }

    // A controller with its input interface only (no lighting thread), whose
    // reads block once the scripted ones are used up. Device 0.
    void connect(fake::when_empty mode = fake::when_empty::block) {
        fake::add_entry(in0);
        ASSERT_EQ(0, tevu_io_jvs_init());
        fake::set_when_empty(0, mode);
    }

    // Runs the thread over these reads until it has called back once a read,
    // and gives the pressures of each call (untouched ones for missing calls).
    std::vector<pressures> passes(const std::vector<std::vector<uint8_t>> &reads) {
        connect();
        for (const std::vector<uint8_t> &read : reads)
            fake::push_read(0, read);
        tevu_io_slider_start(record_callback);
        const int n = static_cast<int>(reads.size());
        EXPECT_TRUE(fake::wait_until([n] { return calls.load() >= n; }));
        tevu_io_slider_stop();
        std::vector<pressures> r = recorded();
        r.resize(std::max(r.size(), reads.size()));
        return r;
    }
    pressures first_pass(const std::vector<uint8_t> &bytes) { return passes({bytes})[0]; }
};

class Slider : public SliderBase {};
class SliderThreads : public SliderBase {};

// --- pressures -----------------------------------------------------------------

// The slider word and the slider keys, cell by cell: a set bit i (after the
// inversion of each byte's top bit) is cell 31 - i at 200; a key covers its
// four cells at 20; a touch wins over a key.
TEST_F(Slider, WordBitsAndKeysMapToTheirCells) {
    pressures all;
    all.fill(200);
    const struct {
        uint32_t word;
        uint8_t key; // 0: none
        pressures expected;
    } cases[] = {
        {0x80808080, 0, pressures{}},
        {0x80808081, 0, with({{31, 200}})},
        {0x00808080, 0, with({{0, 200}})},
        {0x80808000, 0, with({{24, 200}})},
        {0x7F7F7F7F, 0, all},
        {0x80808080, 'Q', with({{0, 20}, {1, 20}, {2, 20}, {3, 20}})},
        {0x80808080, 'P', with({{28, 20}, {29, 20}, {30, 20}, {31, 20}})},
        {0xC0808080, 'Q', with({{0, 20}, {1, 200}, {2, 20}, {3, 20}})},
    };
    for (const auto &c : cases) {
        fresh();
        if (c.key != 0)
            fake::set_key(c.key, true);
        EXPECT_EQ(c.expected, first_pass(input_report(0, c.word)))
            << std::hex << c.word << " key " << c.key;
    }
}

TEST_F(Slider, SliderWordIsLittleEndianInBytesFourToSeven) {
    // Bytes 3 and 8 are not read.
    pressures p = first_pass({0x01, 0x00, 0x00, 0xFF, 0x81, 0x80, 0x80, 0x80, 0xFF});
    EXPECT_EQ(with({{31, 200}}), p);
}

TEST_F(Slider, ConfiguredSliderKeys) {
    fake::set_ini("slider", "cell5", 'Z');
    fake::set_key('U', true); // the default of cell5, now unbound
    fake::set_key('Z', true);
    EXPECT_EQ(with({{16, 20}, {17, 20}, {18, 20}, {19, 20}}),
              first_pass(input_report(0, 0x80808080)));
}

TEST_F(Slider, NewerOfTwoQueuedReportsIsTaken) {
    std::vector<uint8_t> both = input_report(0x0001, 0x80808081);
    std::vector<uint8_t> newer = input_report(0x1000, 0x00808080);
    both.insert(both.end(), newer.begin(), newer.end());
    EXPECT_EQ(with({{0, 200}}), first_pass(both));
    EXPECT_EQ(0x1000, tevu.input.buttons.load());
}

TEST_F(Slider, NoPhantomTouchesBeforeTheFirstReport) {
    // The first read fails.
    const std::vector<pressures> r = passes({{}, input_report(0, 0x80808080)});
    EXPECT_EQ(pressures{}, r[0]);
    EXPECT_EQ(pressures{}, r[1]);
}

TEST_F(Slider, IgnoredReportsKeepThePreviousReport) {
    std::vector<uint8_t> other_id = input_report(0x0010, 0x80808080);
    other_id[0] = 0x02;
    const std::vector<pressures> r =
        passes({input_report(0x0008, 0x80808000), std::vector<uint8_t>(5, 1), other_id});
    // A report of another length or another ID leaves the previous one.
    EXPECT_EQ(with({{24, 200}}), r[0]);
    EXPECT_EQ(with({{24, 200}}), r[1]);
    EXPECT_EQ(with({{24, 200}}), r[2]);
    EXPECT_EQ(0x0008, tevu.input.buttons.load());
}

// One callback a read, even without a change, each read with room for two
// reports; successful reads never pause the thread.
TEST_F(Slider, CallbackOncePerPassEvenWithoutChangeAndNoPause) {
    connect();
    for (int i = 0; i < 5; ++i)
        fake::push_read(0, input_report(0, 0x80808080));
    tevu_io_slider_start(record_callback);
    ASSERT_TRUE(fake::wait_until([] { return fake::read_blocked(0); }));
    EXPECT_EQ(5, calls.load());
    EXPECT_EQ(6, fake::read_calls(0));
    for (uint32_t room : fake::read_rooms(0))
        EXPECT_EQ(18u, room);
    EXPECT_EQ(0, fake::thread_sleeps(tevu.device.input.user.load()));
}

// --- start and stop ------------------------------------------------------------

TEST_F(SliderThreads, TwoStartsMakeOneThread) {
    connect();
    fake::push_read(0, input_report(0, 0x80808080));
    tevu_io_slider_start(record_callback);
    plat_thread first = tevu.device.input.user.load();
    tevu_io_slider_start(other_callback);
    EXPECT_EQ(first, tevu.device.input.user.load());
    // The slider thread, and the lighting thread that waits for an interface.
    EXPECT_EQ(2, fake::threads_started());
    ASSERT_TRUE(fake::wait_until([] { return calls.load() >= 1; }));
    fake::push_read(0, input_report(0, 0x80808080));
    ASSERT_TRUE(fake::wait_until([] { return calls.load() >= 2; }));
    EXPECT_EQ(0, other_calls.load()); // the running thread keeps its callback
}

TEST_F(SliderThreads, StopThenStartMakesAFreshThread) {
    connect();
    tevu_io_slider_start(record_callback);
    EXPECT_NE(nullptr, tevu.device.input.user.load());
    EXPECT_TRUE(fake::wait_until([] { return fake::pacers_open() >= 1; }));
    tevu_io_slider_stop();
    EXPECT_EQ(nullptr, tevu.device.input.user.load());
    EXPECT_FALSE(tevu.slider.stop.load());
    EXPECT_EQ(0, fake::pacers_open()); // the fine timer is given back at stop
    tevu_io_slider_start(other_callback);
    EXPECT_NE(nullptr, tevu.device.input.user.load());
    EXPECT_EQ(4, fake::threads_started());
    fake::push_read(0, input_report(0, 0x80808080));
    ASSERT_TRUE(fake::wait_until([] { return other_calls.load() >= 1; }));
}

TEST_F(SliderThreads, StopWithoutThreadDoesNothing) {
    tevu_io_slider_stop();
    EXPECT_EQ(nullptr, tevu.device.input.user.load());
    EXPECT_FALSE(tevu.slider.stop.load());
    EXPECT_EQ(0, fake::threads_started());
}

TEST_F(SliderThreads, FailedThreadStartIsRetriedByTheNextStart) {
    fake::set_thread_start_fails(true);
    tevu_io_slider_start(record_callback);
    EXPECT_EQ(nullptr, tevu.device.input.user.load());
    tevu_io_slider_stop(); // nothing to stop
    fake::set_thread_start_fails(false);
    tevu_io_slider_start(record_callback);
    EXPECT_NE(nullptr, tevu.device.input.user.load());
    ASSERT_TRUE(fake::wait_until([] { return calls.load() >= 1; }));
}

TEST_F(SliderThreads, StopReturnsWhileTheControllerIsSilent) {
    connect(fake::when_empty::block);
    tevu_io_slider_start(record_callback);
    ASSERT_TRUE(fake::wait_until([] { return fake::read_blocked(0); }));
    EXPECT_TRUE(stop_returns([] {
        fake::push_read(0, input_report(0, 0x80808080)); // unblock it so the test can end
    })) << "stop hung on a blocked read";
    EXPECT_EQ(nullptr, tevu.device.input.user.load());
    EXPECT_FALSE(tevu.slider.stop.load());
}

TEST_F(SliderThreads, CancelledReadKeepsTheReportAndDoesNotPause) {
    connect(fake::when_empty::block);
    fake::push_read(0, input_report(0, 0x80808081));
    tevu_io_slider_start(record_callback);
    ASSERT_TRUE(fake::wait_until([] { return fake::read_blocked(0) && calls.load() == 1; }));
    const plat_thread thread = tevu.device.input.user.load();
    device_cancel(tevu.device.input);
    ASSERT_TRUE(fake::wait_until([] { return calls.load() >= 2 && fake::read_blocked(0); }));
    EXPECT_EQ(with({{31, 200}}), recorded()[1]);
    EXPECT_EQ(0, fake::thread_sleeps(thread));
    EXPECT_EQ("", fake::output());
}

// One thread polls while reports stream in on the slider thread; each poll
// must see one whole button word. Meant to run under ThreadSanitizer too.
std::atomic<int> callback_polls_bad{0};

bool valid_pair(uint8_t op, uint8_t game) {
    return (op == 0x00 && game == 0x00) || (op == 0x01 && game == 0x00) ||
           (op == 0x00 && game == 0x1F);
}

void polling_callback(const uint8_t *p) {
    uint8_t op = 0, game = 0;
    tevu_io_jvs_poll(&op, &game);
    if (!valid_pair(op, game))
        callback_polls_bad.fetch_add(1);
    // The slider word alternates with the button word: all touched or none.
    int touched = 0;
    for (int i = 0; i < 32; ++i)
        touched += p[i] == 200;
    if (touched != 0 && touched != 32)
        callback_polls_bad.fetch_add(1);
    calls.fetch_add(1);
}

TEST_F(SliderThreads, PollingWhileReportsStream) {
    connect();
    std::atomic<uint32_t> sent{0};
    fake::set_reader(0, [&sent](uint8_t *buffer, uint32_t room) -> uint32_t {
        const uint32_t n = sent.fetch_add(1);
        // Two reports queued now and then, one otherwise.
        const bool two = n % 3 == 0 && room >= 18;
        std::vector<uint8_t> r =
            n % 2 ? input_report(0x1000, 0x7F7F7F7F) : input_report(0x020F, 0x80808080);
        std::copy(r.begin(), r.end(), buffer);
        if (two) {
            std::copy(r.begin(), r.end(), buffer + 9);
            return 18;
        }
        std::this_thread::yield();
        return 9;
    });
    callback_polls_bad.store(0);
    tevu_io_slider_start(polling_callback);
    int bad = 0;
    for (int i = 0; i < 20000; ++i) {
        uint8_t op = 0xAA, game = 0xAA;
        tevu_io_jvs_poll(&op, &game);
        if (!valid_pair(op, game))
            ++bad;
    }
    ASSERT_TRUE(fake::wait_until([] { return calls.load() >= 100; }));
    tevu_io_slider_stop();
    EXPECT_EQ(0, bad);
    EXPECT_EQ(0, callback_polls_bad.load());
    EXPECT_GE(sent.load(), 100u);
}

} // namespace

// --- a controller's life: loss, searching, reconnection ------------------------

namespace {

const std::string lost_line = "Controller disconnected; inputs released. Searching for it.\r\n";
const std::string back_line = "Controller connected again.\r\n";

class Lifecycle : public SliderBase {
  protected:
    // Both interfaces: input is device 0, lighting device 1.
    void connect_both() {
        fake::set_default_when_empty(fake::when_empty::block);
        fake::add_entry(in0);
        fake::add_entry(in1);
        ASSERT_EQ(0, tevu_io_jvs_init());
    }
    // The controller leaves the list and its open interfaces fail.
    static void unplug() {
        fake::remove_entries("vid_0f0d");
        for (int n = 0; n < fake::open_count(); ++n)
            fake::set_gone(n);
    }
    static bool printed(const std::string &text) { return fake::output() == text; }
    // Connected, the slider running, then unplugged until the loss is told.
    void lose_running_controller() {
        ASSERT_NO_FATAL_FAILURE(connect_both());
        tevu_io_slider_start(record_callback);
        unplug();
        ASSERT_TRUE(fake::wait_until([] { return printed(lost_line); }));
    }
};

bool all_zero(const pressures &p) {
    return std::all_of(p.begin(), p.end(), [](uint8_t v) { return v == 0; });
}

TEST_F(Lifecycle, LossReleasesEverythingClosesEachHandleOnceAndNeverCountsSearches) {
    connect_both();
    fake::push_read(0, input_report(0x0204, 0x7F808080)); // button 1 and 5, cell 0
    tevu_io_slider_start(record_callback);
    ASSERT_TRUE(fake::wait_until([] { return calls.load() >= 1; }));
    uint8_t op = 0, game = 0;
    tevu_io_jvs_poll(&op, &game);
    ASSERT_EQ(0x11, game);

    unplug();
    ASSERT_TRUE(fake::wait_until([] { return printed(lost_line); }));
    tevu_io_jvs_poll(&op, &game);
    EXPECT_EQ(0, op | game);
    EXPECT_EQ(report::slider_untouched, tevu.input.slider.load());
    const int seen = calls.load();
    ASSERT_TRUE(fake::wait_until([&] { return calls.load() > seen + 2; }));
    EXPECT_TRUE(all_zero(recorded().back()));
    EXPECT_EQ(1, fake::close_count(0));
    EXPECT_EQ(1, fake::close_count(1));

    // Searches go on, quietly, without counting towards init's limit.
    const int searches = fake::list_opens();
    ASSERT_TRUE(fake::wait_until([&] { return fake::list_opens() >= searches + 3; }));
    EXPECT_EQ(0, tevu.device.open_failure_count);
    EXPECT_EQ(lost_line, fake::output());
    tevu_io_slider_stop();
    EXPECT_EQ(1, fake::close_count(0));
    EXPECT_EQ(1, fake::close_count(1));
    EXPECT_EQ(0, fake::uses_after_close_count());
}

TEST_F(Lifecycle, ReconnectsWithoutInitAndPicksUpALateLightingInterface) {
    ASSERT_NO_FATAL_FAILURE(lose_running_controller());

    fake::add_entry(in0); // the input interface comes back first
    ASSERT_TRUE(fake::wait_until([] { return printed(lost_line + back_line); }));
    const int input = fake::open_count() - 1;
    EXPECT_EQ(in0, fake::opened_paths().back());
    EXPECT_EQ(2u, fake::input_queue_depth(input));
    // A controller sends a report every millisecond.
    fake::set_reader(input, [](uint8_t *buffer, uint32_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        report::make_input(buffer, 0, 0x80808081);
        return uint32_t{report::input_length};
    });
    fake::push_read(input, input_report(0, 0x80808081)); // ends the read blocked now
    ASSERT_TRUE(fake::wait_until([] { return recorded().back() == with({{31, 200}}); }));

    fake::add_entry(in1);
    ASSERT_TRUE(fake::wait_until([] { return fake::opened_paths().back() == in1; }));
    const int lighting = fake::open_count() - 1;
    ASSERT_TRUE(fake::wait_until([&] { return !fake::sent(lighting).empty(); }));
    EXPECT_EQ(report::lamp_id, fake::sent(lighting)[0].bytes[0]);
    EXPECT_EQ(lost_line + back_line, fake::output());
}

TEST_F(Lifecycle, StopReturnsWhileLostAndSearching) {
    ASSERT_NO_FATAL_FAILURE(lose_running_controller());
    EXPECT_TRUE(stop_returns([] {}));
}

TEST_F(Lifecycle, InitClosesTheHandlesItReplaces) {
    connect_both();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ(2, fake::open_handles());
    EXPECT_EQ(2002, fake::open_count());
}

TEST_F(Lifecycle, NoControllerAtInitMeansKeyboardOnlyAndNoSearching) {
    EXPECT_EQ(-1, tevu_io_jvs_init());
    const int searches = fake::list_opens();
    fake::set_key(tevu.config.vk_cell[0], true);
    tevu_io_slider_start(record_callback);
    ASSERT_TRUE(fake::wait_until([] { return calls.load() >= 20; }));
    tevu_io_slider_stop();
    EXPECT_EQ(searches, fake::list_opens());
    EXPECT_EQ(1, fake::threads_started()); // no lighting thread
    EXPECT_EQ("", fake::output());
    for (const pressures &p : recorded()) // the key in every pass, no touch
        EXPECT_EQ(with({{0, 20}, {1, 20}, {2, 20}, {3, 20}}), p);
}

// Unplug and plug while the host sets LEDs and restarts the threads; meant for
// ThreadSanitizer: no handle may be used after its close.
TEST_F(Lifecycle, UnplugPlugCyclesDuringLedBurstsAndRestarts) {
    connect_both();
    std::atomic<bool> done{false};
    std::thread host([&] {
        uint8_t frame[report::frame_bytes] = {};
        for (uint8_t n = 0; !done.load(); ++n) {
            frame[n % report::frame_bytes] = n;
            tevu_io_slider_set_leds(frame);
            std::this_thread::yield();
        }
    });
    std::string expected;
    for (int cycle = 0; cycle < 3; ++cycle) {
        tevu_io_slider_start(record_callback);
        unplug();
        expected += lost_line;
        ASSERT_TRUE(fake::wait_until([&] { return printed(expected); }));
        fake::add_entry(in0);
        fake::add_entry(in1);
        expected += back_line;
        ASSERT_TRUE(fake::wait_until([&] { return printed(expected); }));
        ASSERT_TRUE(fake::wait_until([] { return fake::open_handles() == 2; }));
        tevu_io_slider_stop();
    }
    done.store(true);
    host.join();
    EXPECT_EQ(0, fake::uses_after_close_count());
    EXPECT_EQ(2, fake::open_handles());
}

// After a return the lighting interface is looked for by the lighting thread:
// with an input interface that stays silent, and across a stop and start.
TEST_F(Lifecycle, LateLightingInterfaceIsFoundWithoutInputAndAcrossARestart) {
    ASSERT_NO_FATAL_FAILURE(lose_running_controller());
    fake::add_entry(in0);
    ASSERT_TRUE(fake::wait_until([] { return printed(lost_line + back_line); }));
    tevu_io_slider_stop();
    tevu_io_slider_start(record_callback);
    fake::add_entry(in1);
    ASSERT_TRUE(fake::wait_until([] { return fake::opened_paths().back() == in1; }));
    const int lighting = fake::open_count() - 1;
    ASSERT_TRUE(fake::wait_until([&] { return !fake::sent(lighting).empty(); }));
    EXPECT_EQ(lost_line + back_line, fake::output());
}

// A lighting interface that goes away on its own is closed, looked for and
// opened again; the input goes on, and nothing is printed. Meanwhile the
// lighting thread does not wake up on its own.
TEST_F(Lifecycle, LightingInterfaceLostAloneIsOpenedAgain) {
    connect_both();
    tevu_io_slider_start(record_callback);
    ASSERT_TRUE(fake::wait_until([] { return !fake::sent(1).empty(); }));
    fake::remove_entries("mi_01");
    fake::set_gone(1);
    ASSERT_TRUE(fake::wait_until([] { return fake::close_count(1) == 1; }));
    fake::add_entry(in1);
    ASSERT_TRUE(fake::wait_until([] { return fake::open_count() == 3; }));
    EXPECT_EQ(in1, fake::opened_paths().back());
    ASSERT_TRUE(fake::wait_until([] { return !fake::sent(2).empty(); }));
    EXPECT_EQ(0, fake::close_count(0));
    EXPECT_EQ("", fake::output());
}

TEST_F(Lifecycle, LightingThreadSleepsUntilWokenWhileLost) {
    ASSERT_NO_FATAL_FAILURE(lose_running_controller());
    const plat_thread lighting = tevu.device.lighting.user.load();
    const int sleeps = fake::thread_sleeps(lighting);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(fake::thread_sleeps(lighting), sleeps + 1);
    fake::add_entry(in0);
    fake::add_entry(in1);
    ASSERT_TRUE(fake::wait_until([] { return fake::open_count() == 4; }));
    ASSERT_TRUE(fake::wait_until([] { return !fake::sent(3).empty(); }));
}

// Init while the slider runs returns, with and without a lighting interface,
// and the slider goes on with the new handles.
TEST_F(Lifecycle, InitWhileRunningReturnsAndTheSliderGoesOn) {
    connect_both();
    const auto stream = [](int input) {
        fake::set_reader(input, [](uint8_t *buffer, uint32_t) {
            report::make_input(buffer, 0, 0x80808081);
            return uint32_t{report::input_length};
        });
        fake::push_read(input, input_report(0, 0x80808081)); // ends a read blocked now
    };
    stream(0);
    tevu_io_slider_start(record_callback);
    for (int i = 0; i < 102; ++i) {
        if (i == 100)
            fake::remove_entries("mi_01");
        ASSERT_EQ(0, tevu_io_jvs_init()) << "init " << i;
        stream(fake::open_count() - (i < 100 ? 2 : 1));
        const int seen = calls.load();
        ASSERT_TRUE(fake::wait_until([&] { return calls.load() > seen + 1; })) << "init " << i;
    }
    tevu_io_slider_stop();
    EXPECT_EQ(1, fake::open_handles()); // the input interface of the last init
    EXPECT_EQ("", fake::output());
}

} // namespace
