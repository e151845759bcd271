// Virtual interfaces: sockets in the folder named by TEVUIO_VIRTUAL_HID_DIR.
#include "fake_hidapi.h"
#include "test_support.h"

#include "platform/platform.h"
#include "platform/virtual_hid.h"
#include "tevuio/hid.h"
#include "tevuio/state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using linux_test::report9;
using linux_test::run_read;
using linux_test::scoped_env;
using linux_test::temp_folder;
using linux_test::threaded_read;
using linux_test::virtual_interface;

namespace {

const char *const input_name = "hid#vid_0f0d&pid_0092&mi_00#controller";
const char *const lights_name = "hid#vid_0f0d&pid_0092&mi_01#controller";

std::vector<std::string> listed_paths() {
    std::vector<std::string> paths;
    plat_list list = plat_hid_list_open();
    uint32_t size = 0;
    for (uint32_t i = 0; plat_hid_list_entry(list, i, &size); ++i) {
        char path[1024] = {};
        if (plat_hid_list_path(list, i, path, size)) {
            paths.emplace_back(path);
        }
    }
    plat_hid_list_close(list);
    return paths;
}

class VirtualBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        linux_test::release_backend_handles();
        fake_hidapi::reset();
    }

    // Serves one interface and opens it through the backend.
    plat_file open_served(const char *name) {
        server = std::make_unique<virtual_interface>(folder.file(name));
        plat_file file = plat_hid_open((std::string(VHID_PATH_PREFIX) + folder.file(name)).c_str());
        EXPECT_NE(file, PLAT_INVALID_FILE);
        EXPECT_TRUE(server->accept_connection());
        return file;
    }

    temp_folder folder;
    std::unique_ptr<virtual_interface> server;
};

} // namespace

TEST_F(VirtualBackend, SocketsAreListedOnlyWithTheVariable) {
    virtual_interface lights(folder.file(lights_name));
    virtual_interface input(folder.file(input_name));
    virtual_interface other(folder.file("hid#vid_1234&pid_0001#pad"));
    folder.write("hid#vid_0f0d&pid_0092&mi_02#plain-file", "not a socket");
    fake_hidapi::add_device(0x0F0D, 0x0092, 0, "/dev/hidraw1");
    {
        scoped_env unset(VHID_DIR_ENV, nullptr);
        EXPECT_EQ(listed_paths(),
                  (std::vector<std::string>{"hidraw:hid#vid_0f0d&pid_0092&mi_00#/dev/hidraw1"}));
    }
    scoped_env set(VHID_DIR_ENV, folder.path().c_str());
    EXPECT_EQ(listed_paths(), (std::vector<std::string>{
                                  "virtual:" + folder.file(input_name),
                                  "virtual:" + folder.file(lights_name),
                                  "virtual:" + folder.file("hid#vid_1234&pid_0001#pad"),
                                  "hidraw:hid#vid_0f0d&pid_0092&mi_00#/dev/hidraw1",
                              }));
}

TEST_F(VirtualBackend, MissingFolderListsNothingVirtual) {
    scoped_env set(VHID_DIR_ENV, (folder.path() + "/absent").c_str());
    EXPECT_TRUE(listed_paths().empty());
}

TEST_F(VirtualBackend, LibrarySearchOpensTheVirtualController) {
    state_reset_for_tests();
    virtual_interface lights(folder.file(lights_name));
    virtual_interface input(folder.file(input_name));
    scoped_env set(VHID_DIR_ENV, folder.path().c_str());
    plat_file input_file = nullptr;
    plat_file lights_file = nullptr;
    ASSERT_EQ(hid_open_device(&input_file, 0x0F0D, 0), 0);
    ASSERT_TRUE(input.accept_connection());
    ASSERT_EQ(hid_open_device(&lights_file, 0x0F0D, 1), 0);
    ASSERT_TRUE(lights.accept_connection());
    ASSERT_TRUE(input.send(VHID_INPUT, report9(0x11)));
    uint8_t report[9];
    ASSERT_EQ(hid_read_input_report(input_file, report, 0x01, 9), 0);
    EXPECT_EQ(std::vector<uint8_t>(report, report + 9), report9(0x11));
}

TEST_F(VirtualBackend, OpenOfAnAbsentSocketFails) {
    EXPECT_EQ(plat_hid_open(("virtual:" + folder.file(input_name)).c_str()), PLAT_INVALID_FILE);
    EXPECT_EQ(plat_last_error(), static_cast<unsigned long>(ENOENT));
    std::string too_long = "virtual:/" + std::string(200, 'a');
    EXPECT_EQ(plat_hid_open(too_long.c_str()), PLAT_INVALID_FILE);
}

TEST_F(VirtualBackend, ReadStripsTheKindAndKeepsTheNewestTwo) {
    plat_file file = open_served(input_name);
    ASSERT_TRUE(plat_hid_set_input_queue(file, 2));
    server->send(VHID_INPUT, report9(1));
    server->send(VHID_ACK, {});
    server->send(VHID_INPUT, report9(2));
    server->send(VHID_INPUT, report9(3));
    uint8_t buffer[18];
    uint32_t count = 0;
    ASSERT_EQ(plat_hid_read(file, buffer, 18, &count), PLAT_READ_DATA);
    ASSERT_EQ(count, 18u);
    std::vector<uint8_t> expected = report9(2);
    std::vector<uint8_t> third = report9(3);
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 18), expected);
    server->send(VHID_INPUT, report9(4));
    ASSERT_EQ(plat_hid_read(file, buffer, 18, &count), PLAT_READ_DATA);
    ASSERT_EQ(count, 9u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 9), report9(4));
}

TEST_F(VirtualBackend, WriteSendsTheKindAndWaitsForTheAck) {
    plat_file file = open_served(lights_name);
    std::vector<uint8_t> lamps(49, 0);
    lamps[0] = 0x06;
    lamps[4] = 0xFF;
    std::atomic<bool> ok{false};
    std::thread writer([&] { ok = plat_hid_write(file, lamps.data(), 49); });
    std::vector<uint8_t> message = server->receive();
    ASSERT_EQ(message.size(), 50u);
    EXPECT_EQ(message[0], VHID_OUTPUT);
    EXPECT_EQ(std::vector<uint8_t>(message.begin() + 1, message.end()), lamps);
    server->send(VHID_INPUT, report9(1)); // input meanwhile is passed over
    server->send(VHID_ACK, {});
    writer.join();
    EXPECT_TRUE(ok);

    std::vector<uint8_t> feature(64, 0x3C);
    feature[0] = 0x0B;
    std::thread feature_writer([&] { ok = plat_hid_set_feature(file, feature.data(), 64); });
    message = server->receive();
    ASSERT_EQ(message.size(), 65u);
    EXPECT_EQ(message[0], VHID_FEATURE);
    EXPECT_EQ(std::vector<uint8_t>(message.begin() + 1, message.end()), feature);
    server->send(VHID_ACK, {});
    feature_writer.join();
    EXPECT_TRUE(ok);
}

TEST_F(VirtualBackend, WriteWithoutAckFailsAfterItsBound) {
    plat_file file = open_served(lights_name);
    uint8_t report[49] = {0x04};
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(plat_hid_write(file, report, 49));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(plat_last_error(), static_cast<unsigned long>(ETIMEDOUT));
    uint8_t too_big[80] = {0x0B};
    EXPECT_FALSE(plat_hid_set_feature(file, too_big, 80));
}

TEST_F(VirtualBackend, HangUpFailsReadsAndWritesAtOnce) {
    plat_file file = open_served(input_name);
    threaded_read read{file, 18};
    plat_thread thread = plat_thread_start(run_read, &read);
    ASSERT_NE(thread, nullptr);
    while (!read.started.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server->hang_up();
    ASSERT_TRUE(plat_thread_wait(thread, 5000));
    plat_thread_close(thread);
    EXPECT_EQ(read.status.load(), PLAT_READ_GONE);
    uint8_t buffer[18];
    uint32_t count = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(plat_hid_read(file, buffer, 18, &count), PLAT_READ_GONE);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    uint8_t report[49] = {0x06};
    EXPECT_FALSE(plat_hid_write(file, report, 49));
}

TEST_F(VirtualBackend, CancelWakesABlockedReadAndSparesALaterOne) {
    plat_file file = open_served(input_name);
    threaded_read first{file, 18};
    plat_thread thread = plat_thread_start(run_read, &first);
    ASSERT_NE(thread, nullptr);
    while (!first.started.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(plat_thread_wait(thread, 10));
    // The library's stop repeats the cancel until the thread has ended.
    auto start = std::chrono::steady_clock::now();
    while (!plat_thread_wait(thread, 10)) {
        plat_thread_cancel_io(thread);
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    plat_thread_close(thread);
    EXPECT_EQ(first.status.load(), PLAT_READ_CANCELLED);

    // A cancel that lands before a read begins leaves that read alone, even
    // though it left a wake-up pending.
    threaded_read second{file, 18};
    second.go = false;
    thread = plat_thread_start(run_read, &second);
    ASSERT_NE(thread, nullptr);
    plat_thread_cancel_io(thread);
    plat_thread_cancel_io(thread);
    second.go.store(true);
    while (!second.started.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(plat_thread_wait(thread, 10));
    server->send(VHID_INPUT, report9(8));
    ASSERT_TRUE(plat_thread_wait(thread, 5000));
    plat_thread_close(thread);
    ASSERT_EQ(second.result.load(), 9u);
    EXPECT_EQ(std::vector<uint8_t>(second.buffer, second.buffer + 9), report9(8));
}

TEST_F(VirtualBackend, AnEmptyMessageIsNotAHangUp) {
    plat_file file = open_served(input_name);
    server->send_raw({});
    server->send(VHID_INPUT, report9(6));
    uint8_t buffer[18];
    uint32_t count = 0;
    ASSERT_EQ(plat_hid_read(file, buffer, 18, &count), PLAT_READ_DATA);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + count), report9(6));
}

namespace {

struct threaded_write {
    plat_file file;
    std::atomic<bool> ok{true};
    std::atomic<unsigned long> error{0};
};

unsigned run_write(void *raw) {
    auto *write = static_cast<threaded_write *>(raw);
    uint8_t report[49] = {0x06};
    write->ok = plat_hid_write(write->file, report, 49);
    write->error = plat_last_error();
    return 0;
}

} // namespace

// A write waiting for its ACK ends on a cancel or a hang-up, not at the
// ACK's time bound.
TEST_F(VirtualBackend, WriteWaitingForTheAckEndsOnCancelAndOnHangUp) {
    for (bool cancel : {true, false}) {
        plat_file file = open_served(cancel ? lights_name : input_name);
        threaded_write write{file};
        plat_thread thread = plat_thread_start(run_write, &write);
        ASSERT_NE(thread, nullptr);
        ASSERT_EQ(server->receive().size(), 50u);
        if (cancel) {
            plat_thread_cancel_io(thread);
        } else {
            server->hang_up();
        }
        ASSERT_TRUE(plat_thread_wait(thread, 5000));
        plat_thread_close(thread);
        EXPECT_FALSE(write.ok.load());
        EXPECT_EQ(write.error.load(), static_cast<unsigned long>(cancel ? ECANCELED : ENODEV));
        plat_hid_close(file);
    }
}

TEST_F(VirtualBackend, CloseReleasesTheSlotAndTheSocket) {
    virtual_interface served(folder.file(input_name));
    std::string path = std::string(VHID_PATH_PREFIX) + folder.file(input_name);
    for (int i = 0; i < 1000; ++i) {
        plat_file file = plat_hid_open(path.c_str());
        ASSERT_NE(file, PLAT_INVALID_FILE) << i;
        ASSERT_TRUE(served.accept_connection());
        served.hang_up();
        plat_hid_close(file);
    }
}
