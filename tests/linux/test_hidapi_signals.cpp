// The hidraw backend over the real hidapi library, reading a pseudo-terminal
// in place of a hidraw node: signals that land on the reading thread are not
// an unplug, and a node that really goes is.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <linux/hidraw.h>
#include <pthread.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<dev_t> stand_in_node{0};
std::atomic<int> signals_handled{0};

} // namespace

// hidapi opens only a node that answers HIDIOCGRDESCSIZE, which a
// pseudo-terminal does not: for the stand-in node alone this executable
// answers it (a descriptor of 0 bytes); every other call goes to the kernel.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    struct stat node {};
    if (request == HIDIOCGRDESCSIZE && fstat(fd, &node) == 0 && S_ISCHR(node.st_mode) &&
        node.st_rdev == stand_in_node.load()) {
        *static_cast<int *>(argument) = 0;
        return 0;
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}

namespace {

constexpr int out_of_order = -2;

struct report_reader {
    plat_file file;
    pthread_t thread{}; // set before started
    std::atomic<bool> started{false};
    std::atomic<uint32_t> reports{0};
    std::atomic<int> ended_with{-1}; // the read's result, or out_of_order
};

// Reads 9-byte reports numbered 0, 1, 2... (bytes 1-4) until a read gives
// something else or a report is missing.
unsigned read_reports(void *raw) {
    auto *reader = static_cast<report_reader *>(raw);
    reader->thread = pthread_self();
    reader->started = true;
    uint8_t buffer[18];
    uint32_t count = 0;
    plat_io_result result;
    while ((result = plat_hid_read(reader->file, buffer, sizeof buffer, &count)) == PLAT_IO_DONE) {
        uint32_t number = 0;
        memcpy(&number, buffer + 1, sizeof number);
        if (count != 9 || number != reader->reports.load()) {
            reader->ended_with = out_of_order;
            return 0;
        }
        ++reader->reports;
    }
    reader->ended_with = result;
    return 0;
}

template <typename Condition> bool wait_until(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return condition();
}

} // namespace

TEST(RealHidapi, SignalsOnTheReadingThreadAreNotAnUnplug) {
    for (int flags : {0, SA_RESTART}) {
        SCOPED_TRACE(flags);
        struct sigaction action {};
        action.sa_handler = [](int) { ++signals_handled; };
        action.sa_flags = flags;
        ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
        signals_handled = 0;

        // A raw pseudo-terminal: each report written to the master arrives
        // whole at the node; closing the master hangs the node up.
        int master = -1;
        int node = -1;
        char name[4096] = {};
        termios raw{};
        cfmakeraw(&raw);
        ASSERT_EQ(openpty(&master, &node, name, &raw, nullptr), 0);
        struct stat info {};
        ASSERT_EQ(fstat(node, &info), 0);
        stand_in_node = info.st_rdev;
        plat_file file = plat_hid_open((std::string("hidraw:") + name).c_str());
        ASSERT_NE(file, PLAT_INVALID_FILE) << plat_last_error();
        report_reader reader{file};
        plat_thread thread = plat_thread_start(read_reports, &reader);
        ASSERT_NE(thread, nullptr);
        ASSERT_TRUE(wait_until([&] { return reader.started.load(); }));
        std::atomic<bool> signalling{true};
        std::thread signaller([&] {
            while (signalling) {
                pthread_kill(reader.thread, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });

        // Reports in lockstep: each is written once the one before it was read.
        uint8_t report[9] = {0x01};
        uint32_t sent = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        while (std::chrono::steady_clock::now() < end && reader.ended_with < 0 &&
               reader.reports == sent) {
            memcpy(report + 1, &sent, sizeof sent);
            ASSERT_EQ(write(master, report, sizeof report), 9);
            ++sent;
            wait_until([&] { return reader.reports == sent || reader.ended_with != -1; });
        }
        EXPECT_EQ(reader.ended_with.load(), -1);
        EXPECT_EQ(reader.reports.load(), sent);
        EXPECT_GT(signals_handled.load(), 0);

        // The node really goes: the read says so.
        close(master);
        EXPECT_TRUE(wait_until([&] { return reader.ended_with != -1; }));
        signalling = false;
        signaller.join();
        ASSERT_TRUE(plat_thread_wait(thread, 5000));
        plat_thread_close(thread);
        EXPECT_EQ(reader.ended_with.load(), PLAT_IO_GONE);
        plat_hid_close(file);
        close(node);
    }
}
