// The backend over the hidapi stand-in: the listing, the library's search,
// newest-report reads, cancel, write results, feature reports and unplugging.
#include "fake_hidapi.h"
#include "test_support.h"

#include "platform/platform.h"
#include "tevuio.h"
#include "tevuio/hid.h"
#include "tevuio/state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using linux_test::listed;
using linux_test::report9;
using linux_test::run_read;
using linux_test::threaded_read;
using linux_test::wait_until;

namespace {

class HidrawBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        linux_test::release_backend_handles();
        fake_hidapi::reset();
        unsetenv("TEVUIO_VIRTUAL_HID_DIR");
    }
    void TearDown() override {
        linux_test::release_backend_handles();
        fake_hidapi::reset();
    }

    plat_file open(const std::string &device_path) {
        fake_hidapi::add_device(0x0F0D, 0x0092, 0, device_path);
        plat_file file = plat_hid_open(("hidraw:" + device_path).c_str());
        EXPECT_NE(file, PLAT_INVALID_FILE);
        EXPECT_NE(file, nullptr);
        return file;
    }
};

std::vector<uint8_t> read_once(plat_file file, uint32_t room) {
    std::vector<uint8_t> buffer(room + 16, 0xEE);
    uint32_t got = 0;
    EXPECT_EQ(plat_hid_read(file, buffer.data(), room, &got), PLAT_IO_DONE);
    buffer.resize(got);
    return buffer;
}

std::vector<uint8_t> concat(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    std::vector<uint8_t> both = a;
    both.insert(both.end(), b.begin(), b.end());
    return both;
}

} // namespace

TEST_F(HidrawBackend, ListsNodesWithTheirVendorAndInterface) {
    fake_hidapi::add_device(0x0F0D, 0x00AB, 0, "/dev/hidraw3");
    fake_hidapi::add_device(0xBEEF, 0xCAFE, -1, "/dev/hidraw0");
    fake_hidapi::add_device(0x0001, 0x0002, 12, "/dev/" + std::string(plat_path_room, 'x'));
    fake_hidapi::add_device(0x0F0D, 0x00AB, 1, "/dev/hidraw4");
    EXPECT_EQ(listed(), (std::vector<std::string>{
                            "0f0d 0 hidraw:/dev/hidraw3",
                            "beef -1 hidraw:/dev/hidraw0",
                            "skipped", // its path does not fit
                            "0f0d 1 hidraw:/dev/hidraw4",
                        }));
    EXPECT_EQ(fake_hidapi::live_enumerations(), 0);
    fake_hidapi::reset();
    EXPECT_TRUE(listed().empty());
}

TEST_F(HidrawBackend, LibrarySearchFindsBothInterfacesOfTheController) {
    tevu.reset();
    fake_hidapi::add_device(0x1234, 0x0001, 0, "/dev/hidraw0");
    fake_hidapi::add_device(0x0F0D, 0x0092, 1, "/dev/hidraw2");
    fake_hidapi::add_device(0x0F0D, 0x0092, 0, "/dev/hidraw1");
    plat_file input = nullptr;
    plat_file lights = nullptr;
    ASSERT_EQ(hid_open_device(tevu.device.search_turn, &input, 0x0F0D, 0), HID_OPENED);
    ASSERT_EQ(hid_open_device(tevu.device.search_turn, &lights, 0x0F0D, 1), HID_OPENED);
    EXPECT_NE(input, lights);
    EXPECT_EQ(fake_hidapi::opened_paths(),
              (std::vector<std::string>{"/dev/hidraw1", "/dev/hidraw2"}));
    fake_hidapi::push_input("/dev/hidraw1", report9(0x42));
    uint8_t report[9] = {};
    ASSERT_EQ(hid_read_input_report(input, report, 0x01, 9), HID_READ_REPORT);
    EXPECT_EQ(std::vector<uint8_t>(report, report + 9), report9(0x42));
    EXPECT_EQ(tevu.device.open_failure_count, 0);
}

TEST_F(HidrawBackend, InitOpensTheControllerFoundThroughTheBackend) {
    tevu.reset();
    linux_test::temp_folder folder;
    folder.write("morvantel.ini", "[io3]\r\ntest=0x41\r\n");
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    fake_hidapi::add_device(0x0F0D, 0x0092, 0, "/dev/hidraw7");
    fake_hidapi::add_device(0x0F0D, 0x0092, 1, "/dev/hidraw8");
    int32_t result = tevu_io_jvs_init();
    ASSERT_EQ(chdir(old_cwd), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(key_of(tevu.config.vk_test), 0x41);
    EXPECT_EQ(fake_hidapi::opened_paths(),
              (std::vector<std::string>{"/dev/hidraw7", "/dev/hidraw8"}));
    EXPECT_NE(tevu.device.lighting.file.load(), nullptr);
}

TEST_F(HidrawBackend, ANodeWithoutInterfaceNumberIsFoundOnlyForAnyInterface) {
    tevu.reset();
    fake_hidapi::add_device(0x0F0D, 0x0092, -1, "/dev/hidraw1");
    plat_file file = nullptr;
    EXPECT_EQ(hid_open_device(tevu.device.search_turn, &file, 0x0F0D, 0), HID_NOT_FOUND);
    EXPECT_EQ(hid_open_device(tevu.device.search_turn, &file, 0x0F0D, 0xFF), HID_OPENED);
    EXPECT_EQ(fake_hidapi::opened_paths(), (std::vector<std::string>{"/dev/hidraw1"}));
}

TEST_F(HidrawBackend, FailedOpenGivesInvalidHandleAndErrno) {
    fake_hidapi::add_device(0x0F0D, 0x0092, 0, "/dev/hidraw1");
    fake_hidapi::set_open_fails("/dev/hidraw1", true);
    EXPECT_EQ(plat_hid_open("hidraw:/dev/hidraw1"), PLAT_INVALID_FILE);
    EXPECT_EQ(plat_last_error(), static_cast<unsigned long>(ENOENT));
    EXPECT_EQ(plat_hid_open("nothing:/dev/hidraw1"), PLAT_INVALID_FILE);
    EXPECT_EQ(plat_hid_open(nullptr), PLAT_INVALID_FILE);
}

TEST_F(HidrawBackend, MissingPermissionIsReportedOncePerNode) {
    const char *const paths[] = {"/dev/hidraw3", "/dev/hidraw4", "/dev/hidraw5"};
    const int errors[] = {EACCES, EPERM, ENOENT};
    for (int i = 0; i < 3; ++i) {
        fake_hidapi::add_device(0x0F0D, 0x0092, 0, paths[i]);
        fake_hidapi::set_open_fails(paths[i], true, errors[i]);
    }
    testing::internal::CaptureStdout();
    for (int round = 0; round < 3; ++round) { // searches every 500 ms
        for (int i = 0; i < 3; ++i) {
            std::string path = std::string("hidraw:") + paths[i];
            EXPECT_EQ(plat_hid_open(path.c_str()), PLAT_INVALID_FILE);
            EXPECT_EQ(plat_last_error(), static_cast<unsigned long>(errors[i]));
        }
    }
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Permission denied opening /dev/hidraw3; install packaging/linux/70-tevuio.rules "
              "(see README, Linux device access).\r\n"
              "Permission denied opening /dev/hidraw4; install packaging/linux/70-tevuio.rules "
              "(see README, Linux device access).\r\n");
}

// Reports 1 to n queued at the given depth (0: never set): what one read of
// the given room yields.
TEST_F(HidrawBackend, AReadYieldsTheNewestReportsOfTheDepthThatFit) {
    const struct {
        uint32_t depth;
        uint8_t queued;
        uint32_t room;
        std::vector<uint8_t> yields;
    } cases[] = {
        {2, 3, 18, concat(report9(2), report9(3))},
        {2, 1, 18, report9(1)},
        {0, 4, 18, concat(report9(3), report9(4))}, // two by default
        {1, 2, 18, report9(2)},
        {2, 2, 9, report9(2)}, // two do not fit in 9 bytes
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.depth << " " << int{c.queued} << " " << c.room);
        plat_file file = open("/dev/hidraw1");
        ASSERT_TRUE(c.depth == 0 || plat_hid_set_input_queue(file, c.depth));
        for (uint8_t i = 1; i <= c.queued; ++i) {
            fake_hidapi::push_input("/dev/hidraw1", report9(i));
        }
        EXPECT_EQ(read_once(file, c.room), c.yields);
        plat_hid_close(file);
    }
    EXPECT_FALSE(plat_hid_set_input_queue(open("/dev/hidraw1"), 0));
    EXPECT_FALSE(plat_hid_set_input_queue(nullptr, 2));
}

TEST_F(HidrawBackend, ReportsAreDeliveredWholeAndJoinedOnlyWithTheirLength) {
    plat_file file = open("/dev/hidraw1");
    const std::vector<uint8_t> short4 = {0x01, 4, 4, 4};
    const std::vector<uint8_t> long20(20, 0x20);
    struct {
        std::vector<std::vector<uint8_t>> queued;
        std::vector<uint8_t> read;
    } cases[] = {
        {{report9(1), short4}, short4},             // the newest, alone
        {{short4, report9(2)}, report9(2)},         // never joined with a shorter one
        {{short4, short4}, concat(short4, short4)}, // same length, both fit
        {{report9(3), long20}, report9(3)},         // too long for room: dropped
        {{report9(4), report9(5), long20}, concat(report9(4), report9(5))},
    };
    for (const auto &c : cases) {
        for (const auto &report : c.queued) {
            fake_hidapi::push_input("/dev/hidraw1", report);
        }
        EXPECT_EQ(read_once(file, 18), c.read);
    }
}

TEST_F(HidrawBackend, CloseReleasesTheSlot) {
    fake_hidapi::add_device(0x0F0D, 0x0092, 0, "/dev/hidraw1");
    for (int i = 0; i < 1000; ++i) {
        plat_file file = plat_hid_open("hidraw:/dev/hidraw1");
        ASSERT_NE(file, PLAT_INVALID_FILE) << i;
        plat_hid_close(file);
    }
}

TEST_F(HidrawBackend, ReadBlocksUntilAReportComes) {
    plat_file file = open("/dev/hidraw1");
    threaded_read read{file, 18};
    plat_thread thread = plat_thread_start(run_read, &read);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(wait_until([] { return fake_hidapi::waiting_reads("/dev/hidraw1") > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(read.done.load());
    fake_hidapi::push_input("/dev/hidraw1", report9(9));
    ASSERT_TRUE(plat_thread_wait(thread, 5000));
    plat_thread_close(thread);
    ASSERT_EQ(read.result.load(), 9u);
    EXPECT_EQ(std::vector<uint8_t>(read.buffer, read.buffer + 9), report9(9));
}

TEST_F(HidrawBackend, CancelWakesABlockedRead) {
    plat_file file = open("/dev/hidraw1");
    threaded_read read{file, 18};
    plat_thread thread = plat_thread_start(run_read, &read);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(wait_until([] { return fake_hidapi::waiting_reads("/dev/hidraw1") > 0; }));
    EXPECT_FALSE(plat_thread_wait(thread, 20));
    plat_hid_cancel(file);
    ASSERT_TRUE(plat_thread_wait(thread, 5000));
    plat_thread_close(thread);
    EXPECT_EQ(read.status.load(), PLAT_IO_CANCELLED);
    EXPECT_EQ(read.result.load(), 0u);
}

TEST_F(HidrawBackend, CancelBeforeTheReadDoesNotAffectIt) {
    plat_file file = open("/dev/hidraw1");
    threaded_read read{file, 18};
    plat_hid_cancel(file);
    plat_thread thread = plat_thread_start(run_read, &read);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(wait_until([] { return fake_hidapi::waiting_reads("/dev/hidraw1") > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    fake_hidapi::push_input("/dev/hidraw1", report9(5));
    ASSERT_TRUE(plat_thread_wait(thread, 5000));
    plat_thread_close(thread);
    EXPECT_EQ(read.result.load(), 9u);
}

TEST_F(HidrawBackend, UnplugFailsABlockedReadAndEveryLaterOneAtOnce) {
    plat_file file = open("/dev/hidraw1");
    threaded_read read{file, 18};
    plat_thread thread = plat_thread_start(run_read, &read);
    ASSERT_TRUE(wait_until([] { return fake_hidapi::waiting_reads("/dev/hidraw1") > 0; }));
    fake_hidapi::unplug("/dev/hidraw1");
    ASSERT_TRUE(plat_thread_wait(thread, 5000));
    plat_thread_close(thread);
    EXPECT_EQ(read.status.load(), PLAT_IO_GONE);
    int calls = fake_hidapi::read_calls("/dev/hidraw1");
    uint8_t buffer[18];
    uint32_t count = 7;
    EXPECT_EQ(plat_hid_read(file, buffer, 18, &count), PLAT_IO_GONE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(plat_last_error(), static_cast<unsigned long>(ENODEV));
    EXPECT_EQ(fake_hidapi::read_calls("/dev/hidraw1"), calls);
}

TEST_F(HidrawBackend, WritesAndFeatureReportsAreSentByteForByte) {
    plat_file file = open("/dev/hidraw1");
    std::vector<uint8_t> lamps(49, 0);
    lamps[0] = 0x06;
    lamps[1] = lamps[2] = 0xFF;
    std::vector<uint8_t> feature(64, 0xA5);
    feature[0] = 0x0B;
    feature[1] = 9;
    ASSERT_EQ(plat_hid_send(file, PLAT_REPORT_OUTPUT, lamps.data(), 49), PLAT_IO_DONE);
    ASSERT_EQ(plat_hid_send(file, PLAT_REPORT_FEATURE, feature.data(), 64), PLAT_IO_DONE);
    EXPECT_EQ(fake_hidapi::writes("/dev/hidraw1"), (std::vector<std::vector<uint8_t>>{lamps}));
    EXPECT_EQ(fake_hidapi::features("/dev/hidraw1"), (std::vector<std::vector<uint8_t>>{feature}));
}

TEST_F(HidrawBackend, WriteResultsFollowTheError) {
    const struct {
        int error;
        int times;
        plat_io_result result;
    } cases[] = {
        {EINTR, 2, PLAT_IO_DONE}, // a signal: sent again
        {EIO, -1, PLAT_IO_FAILED},     {EAGAIN, -1, PLAT_IO_FAILED}, {ENODEV, -1, PLAT_IO_GONE},
        {ESHUTDOWN, -1, PLAT_IO_GONE}, {EPIPE, -1, PLAT_IO_GONE},
    };
    uint8_t report[49] = {0x04};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        plat_file file = open("/dev/hidraw1");
        fake_hidapi::fail_writes("/dev/hidraw1", c.error, c.times);
        EXPECT_EQ(plat_hid_send(file, PLAT_REPORT_OUTPUT, report, 49), c.result);
        fake_hidapi::fail_writes("/dev/hidraw1", c.error, c.times);
        EXPECT_EQ(plat_hid_send(file, PLAT_REPORT_FEATURE, report, 49), c.result);
        // A gone interface stays gone; the others take the next report.
        fake_hidapi::fail_writes("/dev/hidraw1", 0, 0);
        EXPECT_EQ(plat_hid_send(file, PLAT_REPORT_OUTPUT, report, 49),
                  c.result == PLAT_IO_GONE ? PLAT_IO_GONE : PLAT_IO_DONE);
        plat_hid_close(file);
    }
    EXPECT_EQ(plat_hid_send(nullptr, PLAT_REPORT_OUTPUT, report, 49), PLAT_IO_GONE);
    EXPECT_EQ(plat_hid_send(PLAT_INVALID_FILE, PLAT_REPORT_OUTPUT, report, 49), PLAT_IO_GONE);
    uint8_t buffer[18];
    uint32_t count = 0;
    EXPECT_EQ(plat_hid_read(PLAT_INVALID_FILE, buffer, 18, &count), PLAT_IO_GONE);
    EXPECT_EQ(plat_hid_read(nullptr, buffer, 18, &count), PLAT_IO_GONE);
}

namespace {

std::atomic<int> callbacks{0};
std::atomic<uint8_t> cell31{0};

void count_callback(const uint8_t *pressure) {
    cell31.store(pressure[31]);
    callbacks.fetch_add(1);
}

} // namespace

// The library's own threads over the backend: reports in, lamps and a
// compressed frame out, and a stop that wakes the slider thread's read of a
// controller that has gone quiet.
TEST_F(HidrawBackend, SliderAndLightsRunAndStopOverTheBackend) {
    tevu.reset();
    linux_test::temp_folder folder;
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    fake_hidapi::add_device(0x0F0D, 0x0092, 0, "/dev/hidraw1");
    fake_hidapi::add_device(0x0F0D, 0x0092, 1, "/dev/hidraw2");
    fake_hidapi::set_write_delay_ms("/dev/hidraw2", 1);
    int32_t result = tevu_io_jvs_init();
    ASSERT_EQ(chdir(old_cwd), 0);
    ASSERT_EQ(result, 0);

    callbacks = 0;
    tevu_io_slider_start(count_callback);
    std::vector<uint8_t> touched = report9(0);
    touched[4] = 0x81; // slider word bit 0: cell 31
    fake_hidapi::push_input("/dev/hidraw1", touched);
    ASSERT_TRUE(wait_until([] { return cell31.load() == 200; }));
    uint8_t black[96] = {};
    tevu_io_slider_set_leds(black);
    ASSERT_TRUE(wait_until([] { return !fake_hidapi::features("/dev/hidraw2").empty(); }));
    ASSERT_TRUE(wait_until([] { return fake_hidapi::write_count("/dev/hidraw2") >= 3; }));

    // No more reports: the slider thread sits in its read until stop cancels it.
    ASSERT_TRUE(wait_until([] { return fake_hidapi::waiting_reads("/dev/hidraw1") > 0; }));
    int calls = callbacks.load();
    tevu_io_slider_stop(); // returns: the cancel reached the blocked read
    // The cancelled read ends the pass that was waiting; no other pass follows.
    EXPECT_LE(callbacks.load(), calls + 1);

    std::vector<uint8_t> feature = fake_hidapi::features("/dev/hidraw2").front();
    ASSERT_EQ(feature.size(), 64u);
    EXPECT_EQ(
        std::vector<uint8_t>(feature.begin(), feature.begin() + 11),
        (std::vector<uint8_t>{0x0B, 9, 0x01, 0x00, 0x00, 0xE0, 0x53, 0x00, 0x01, 0x00, 0x00}));
    std::vector<uint8_t> lamps = fake_hidapi::writes("/dev/hidraw2").front();
    ASSERT_EQ(lamps.size(), 49u);
    EXPECT_EQ(lamps[0], 0x06);
    EXPECT_EQ(std::vector<uint8_t>(lamps.begin() + 5, lamps.end()), std::vector<uint8_t>(44, 0));
}
