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

using linux_test::listed;
using linux_test::report9;
using linux_test::scoped_env;
using linux_test::start_blocked_read;
using linux_test::temp_folder;
using linux_test::threaded_read;
using linux_test::virtual_interface;

namespace {

const char *const input_name = "0f0d-0092-00.controller";
const char *const lights_name = "0f0d-0092-01.controller";

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

TEST_F(VirtualBackend, SocketsWithReadableNamesAreListedOnlyWithTheVariable) {
    virtual_interface lights(folder.file(lights_name));
    virtual_interface input(folder.file(input_name));
    virtual_interface other(folder.file("1234-0001.pad"));
    virtual_interface unnamed(folder.file("controller.sock"));
    folder.write("0f0d-0092-02.plain-file", "not a socket");
    fake_hidapi::add_device(0x0F0D, 0x0092, 0, "/dev/hidraw1");
    {
        scoped_env unset(VHID_DIR_ENV, nullptr);
        EXPECT_EQ(listed(), (std::vector<std::string>{"0f0d 0 hidraw:/dev/hidraw1"}));
    }
    scoped_env set(VHID_DIR_ENV, folder.path().c_str());
    EXPECT_EQ(listed(), (std::vector<std::string>{
                            "0f0d 0 virtual:" + folder.file(input_name),
                            "0f0d 1 virtual:" + folder.file(lights_name),
                            "1234 -1 virtual:" + folder.file("1234-0001.pad"),
                            "0f0d 0 hidraw:/dev/hidraw1",
                        }));
}

TEST_F(VirtualBackend, MissingFolderListsNothingVirtual) {
    scoped_env set(VHID_DIR_ENV, (folder.path() + "/absent").c_str());
    EXPECT_TRUE(listed().empty());
}

TEST_F(VirtualBackend, LibrarySearchOpensTheVirtualController) {
    tevu.reset();
    virtual_interface lights(folder.file(lights_name));
    virtual_interface input(folder.file(input_name));
    scoped_env set(VHID_DIR_ENV, folder.path().c_str());
    plat_file input_file = nullptr;
    plat_file lights_file = nullptr;
    ASSERT_EQ(hid_open_device(tevu.device.search_turn, &input_file, 0x0F0D, 0), HID_OPENED);
    ASSERT_TRUE(input.accept_connection());
    ASSERT_EQ(hid_open_device(tevu.device.search_turn, &lights_file, 0x0F0D, 1), HID_OPENED);
    ASSERT_TRUE(lights.accept_connection());
    ASSERT_TRUE(input.send(VHID_INPUT, report9(0x11)));
    uint8_t report[9];
    ASSERT_EQ(hid_read_input_report(input_file, report, 0x01, 9), HID_READ_REPORT);
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
    server->send(VHID_ACK, {7});
    server->send(VHID_INPUT, report9(2));
    server->send(VHID_INPUT, report9(3));
    uint8_t buffer[18];
    uint32_t count = 0;
    ASSERT_EQ(plat_hid_read(file, buffer, 18, &count), PLAT_IO_DONE);
    ASSERT_EQ(count, 18u);
    std::vector<uint8_t> expected = report9(2);
    std::vector<uint8_t> third = report9(3);
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 18), expected);
    server->send(VHID_INPUT, report9(4));
    ASSERT_EQ(plat_hid_read(file, buffer, 18, &count), PLAT_IO_DONE);
    ASSERT_EQ(count, 9u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 9), report9(4));
}

TEST_F(VirtualBackend, WritesAreNumberedAndWaitForTheirAck) {
    plat_file file = open_served(lights_name);
    std::vector<uint8_t> lamps(49, 0);
    lamps[0] = 0x06;
    lamps[4] = 0xFF;
    std::vector<uint8_t> feature(64, 0x3C);
    feature[0] = 0x0B;
    const struct {
        plat_report_kind kind;
        uint8_t message_kind;
        const std::vector<uint8_t> &report;
    } writes[] = {{PLAT_REPORT_OUTPUT, VHID_OUTPUT, lamps},
                  {PLAT_REPORT_FEATURE, VHID_FEATURE, feature}};
    uint8_t sequence = 0;
    for (const auto &w : writes) {
        std::atomic<int> result{-1};
        std::thread writer([&] {
            result = plat_hid_send(file, w.kind, w.report.data(),
                                   static_cast<uint32_t>(w.report.size()));
        });
        std::vector<uint8_t> message = server->receive();
        ASSERT_EQ(message.size(), w.report.size() + 2);
        EXPECT_EQ(message[0], w.message_kind);
        EXPECT_EQ(message[1], sequence);
        EXPECT_EQ(std::vector<uint8_t>(message.begin() + 2, message.end()), w.report);
        server->send(VHID_INPUT, report9(1)); // input meanwhile is passed over
        server->send(VHID_ACK, {sequence++});
        writer.join();
        EXPECT_EQ(result.load(), PLAT_IO_DONE);
    }
}

TEST_F(VirtualBackend, WriteWithoutAckFailsAfterItsBound) {
    plat_file file = open_served(lights_name);
    uint8_t report[49] = {0x04};
    EXPECT_EQ(plat_hid_send(file, PLAT_REPORT_OUTPUT, report, 49), PLAT_IO_FAILED);
    EXPECT_EQ(plat_last_error(), static_cast<unsigned long>(ETIMEDOUT));
    uint8_t too_big[80] = {0x0B};
    EXPECT_EQ(plat_hid_send(file, PLAT_REPORT_FEATURE, too_big, 80), PLAT_IO_FAILED);
}

TEST_F(VirtualBackend, HangUpFailsReadsAndWritesAtOnce) {
    plat_file file = open_served(input_name);
    threaded_read read{file, 18};
    plat_thread thread = start_blocked_read(read);
    ASSERT_NE(thread, nullptr);
    server->hang_up();
    ASSERT_TRUE(plat_thread_wait(thread, 5000));
    plat_thread_close(thread);
    EXPECT_EQ(read.status.load(), PLAT_IO_GONE);
    uint8_t buffer[18];
    uint32_t count = 0;
    // Each read returns at once (a wait would run into the test's time-out).
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(plat_hid_read(file, buffer, 18, &count), PLAT_IO_GONE);
    }
    uint8_t report[49] = {0x06};
    EXPECT_EQ(plat_hid_send(file, PLAT_REPORT_OUTPUT, report, 49), PLAT_IO_GONE);
}

TEST_F(VirtualBackend, CancelWakesABlockedReadAndSparesALaterOne) {
    plat_file file = open_served(input_name);
    threaded_read first{file, 18};
    plat_thread thread = start_blocked_read(first);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(plat_thread_wait(thread, 10));
    plat_hid_cancel(file);
    ASSERT_TRUE(plat_thread_wait(thread, 5000));
    plat_thread_close(thread);
    EXPECT_EQ(first.status.load(), PLAT_IO_CANCELLED);

    // A cancel that lands before a read begins leaves that read alone, even
    // though it left a wake-up pending.
    plat_hid_cancel(file);
    plat_hid_cancel(file);
    threaded_read second{file, 18};
    thread = start_blocked_read(second);
    ASSERT_NE(thread, nullptr);
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
    ASSERT_EQ(plat_hid_read(file, buffer, 18, &count), PLAT_IO_DONE);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + count), report9(6));
}

namespace {

struct threaded_write {
    explicit threaded_write(plat_file file)
        : thread([this, file] {
              uint8_t report[49] = {0x06};
              result = plat_hid_send(file, PLAT_REPORT_OUTPUT, report, 49);
              error = plat_last_error();
          }) {}
    std::atomic<int> result{-1};
    std::atomic<unsigned long> error{0};
    std::thread thread; // last: starts once the results are there
};

} // namespace

// A write waiting for its ACK ends on a cancel or a hang-up, not at the
// ACK's time bound.
TEST_F(VirtualBackend, WriteWaitingForTheAckEndsOnCancelAndOnHangUp) {
    for (bool cancel : {true, false}) {
        plat_file file = open_served(cancel ? lights_name : input_name);
        threaded_write write{file};
        ASSERT_EQ(server->receive().size(), 51u);
        if (cancel) {
            plat_hid_cancel(file);
        } else {
            server->hang_up();
        }
        write.thread.join();
        EXPECT_EQ(write.result.load(), cancel ? PLAT_IO_CANCELLED : PLAT_IO_GONE);
        EXPECT_EQ(write.error.load(), static_cast<unsigned long>(cancel ? ECANCELED : ENODEV));
        plat_hid_close(file);
    }
}

// The late ACK of a cancelled write stays in the socket; the next write waits
// for its own.
TEST_F(VirtualBackend, AWriteDoesNotTakeTheLateAckOfAnEarlierOne) {
    plat_file file = open_served(lights_name);
    threaded_write cancelled{file};
    std::vector<uint8_t> first = server->receive();
    ASSERT_EQ(first.size(), 51u);
    plat_hid_cancel(file);
    cancelled.thread.join();
    ASSERT_EQ(cancelled.result.load(), PLAT_IO_CANCELLED);
    server->send(VHID_ACK, {first[1]});

    threaded_write next{file};
    std::vector<uint8_t> second = server->receive();
    ASSERT_EQ(second.size(), 51u);
    EXPECT_NE(second[1], first[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(next.result.load(), -1); // still waiting
    server->send(VHID_ACK, {second[1]});
    next.thread.join();
    EXPECT_EQ(next.result.load(), PLAT_IO_DONE);
}

// A cancel ends every call blocked on its file, whichever thread is in it,
// and no call on another file.
TEST_F(VirtualBackend, CancelEndsTheCallsOnItsFileOnly) {
    plat_file lights = open_served(lights_name);
    std::unique_ptr<virtual_interface> lights_server = std::move(server);
    plat_file input = open_served(input_name);
    threaded_read read{lights, 18};
    threaded_read other{input, 18};
    plat_thread reader = start_blocked_read(read);
    plat_thread other_reader = start_blocked_read(other);
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(other_reader, nullptr);
    threaded_write write{lights};
    ASSERT_EQ(lights_server->receive().size(), 51u);
    plat_hid_cancel(lights);
    write.thread.join();
    ASSERT_TRUE(plat_thread_wait(reader, 5000));
    plat_thread_close(reader);
    EXPECT_EQ(write.result.load(), PLAT_IO_CANCELLED);
    EXPECT_EQ(read.status.load(), PLAT_IO_CANCELLED);
    EXPECT_FALSE(plat_thread_wait(other_reader, 20));
    server->send(VHID_INPUT, report9(3));
    ASSERT_TRUE(plat_thread_wait(other_reader, 5000));
    plat_thread_close(other_reader);
    EXPECT_EQ(other.status.load(), PLAT_IO_DONE);
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
