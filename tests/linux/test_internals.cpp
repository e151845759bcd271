// The backend's own tables and rules, reached through its internal header.
#include "platform/linux/linux_internal.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <linux/input.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace linux_platform;

using linux_test::temp_folder;

void linux_test::release_backend_handles() {
    for (int i = 0; i < max_handles; ++i) {
        plat_hid_close(handle_at(i));
    }
}

namespace {

uint16_t first_code(int vk) {
    return linux_key_code(static_cast<uint8_t>(vk), 0);
}

} // namespace

// The default bindings (test, service, coin, the five buttons, the eight
// slider keys), then the rows of keys.
TEST(KeyTable, CodesMapToTheirKeys) {
    const struct {
        int vk;
        uint16_t key;
    } cases[] = {
        {0x31, KEY_1},         {0x32, KEY_2},         {0x33, KEY_3},         {0x27, KEY_RIGHT},
        {0x28, KEY_DOWN},      {0x25, KEY_LEFT},      {0x26, KEY_UP},        {0x20, KEY_SPACE},
        {0x51, KEY_Q},         {0x57, KEY_W},         {0x45, KEY_E},         {0x52, KEY_R},
        {0x55, KEY_U},         {0x49, KEY_I},         {0x4F, KEY_O},         {0x50, KEY_P},
        {0x30, KEY_0},         {0x39, KEY_9},         {0x41, KEY_A},         {0x5A, KEY_Z},
        {0x4D, KEY_M},         {0x60, KEY_KP0},       {0x69, KEY_KP9},       {0x70, KEY_F1},
        {0x7A, KEY_F11},       {0x7B, KEY_F12},       {0x0D, KEY_ENTER},     {0x1B, KEY_ESC},
        {0x09, KEY_TAB},       {0x08, KEY_BACKSPACE}, {0xBA, KEY_SEMICOLON}, {0xBC, KEY_COMMA},
        {0xDC, KEY_BACKSLASH},
    };
    for (const auto &c : cases)
        EXPECT_EQ(first_code(c.vk), c.key) << std::hex << c.vk;
}

TEST(KeyTable, GenericModifiersStandForBothKeys) {
    EXPECT_EQ(linux_key_code(0x10, 0), KEY_LEFTSHIFT);
    EXPECT_EQ(linux_key_code(0x10, 1), KEY_RIGHTSHIFT);
    EXPECT_EQ(linux_key_code(0x11, 1), KEY_RIGHTCTRL);
    EXPECT_EQ(linux_key_code(0x12, 0), KEY_LEFTALT);
    EXPECT_EQ(first_code(0xA0), KEY_LEFTSHIFT);
    EXPECT_EQ(first_code(0xA1), KEY_RIGHTSHIFT);
    EXPECT_EQ(first_code(0xA3), KEY_RIGHTCTRL);
    EXPECT_EQ(first_code(0xA5), KEY_RIGHTALT);
    EXPECT_EQ(linux_key_code(0xA0, 1), 0);
}

TEST(KeyTable, UnmappedCodesHaveNoKeyAndReadUp) {
    for (int vk : {0x00, 0x01, 0x07, 0x3A, 0x40, 0x5E, 0xFF}) {
        EXPECT_EQ(first_code(vk), 0) << vk;
        EXPECT_FALSE(plat_key_down(static_cast<uint8_t>(vk)));
    }
    for (int vk = 0; vk < 256; ++vk) {
        EXPECT_LE(linux_key_code(static_cast<uint8_t>(vk), 0), KEY_MAX);
        EXPECT_LE(linux_key_code(static_cast<uint8_t>(vk), 1), KEY_MAX);
    }
}

TEST(Keyboard, NoInputDevicesMeansEveryKeyIsUp) {
    temp_folder folder;
    folder.write("event0", "not a device");
    keyboard_use_folder(folder.path().c_str());
    EXPECT_FALSE(plat_key_down(0x31));
    EXPECT_FALSE(plat_key_down(0x51));
    EXPECT_EQ(keyboard_count_now(), 0);
    keyboard_use_folder("/dev/input");
}

TEST(WindowsInteger, Rules) {
    EXPECT_EQ(windows_integer("65"), 65u);
    EXPECT_EQ(windows_integer("0x41"), 0x41u);
    EXPECT_EQ(windows_integer("0X41"), 0u);
    EXPECT_EQ(windows_integer("0xfF"), 255u);
    EXPECT_EQ(windows_integer("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(windows_integer("+5"), 5u);
    EXPECT_EQ(windows_integer("12abc"), 12u);
    EXPECT_EQ(windows_integer(" \t7"), 7u);
    EXPECT_EQ(windows_integer("abc"), 0u);
    EXPECT_EQ(windows_integer(""), 0u);
    EXPECT_EQ(windows_integer("4294967295"), 4294967295u);
    EXPECT_EQ(windows_integer("4294967296"), 0u);
    EXPECT_EQ(windows_integer("4294967301"), 5u);
    EXPECT_EQ(windows_integer("0x"), 0u);
    EXPECT_EQ(windows_integer("010"), 10u);
    EXPECT_EQ(windows_integer("0b101"), 5u);
    EXPECT_EQ(windows_integer("0o17"), 15u);
    EXPECT_EQ(windows_integer("- 5"), 0u);
    EXPECT_EQ(windows_integer("-0x10"), 0xFFFFFFF0u);
    EXPECT_EQ(windows_integer("+-5"), 0u);
    EXPECT_EQ(windows_integer("5 ; note"), 5u);
}

class IniReader : public ::testing::Test {
  protected:
    uint32_t read(const std::string &text, const char *section, const char *key,
                  int32_t def = 1234) {
        folder.write("t.ini", text);
        return plat_ini_uint(section, key, def, folder.file("t.ini").c_str());
    }
    temp_folder folder;
};

TEST_F(IniReader, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(plat_ini_uint("io3", "test", 0x31, folder.file("absent.ini").c_str()), 0x31u);
    EXPECT_EQ(read("[io3]\ntest=5\n", "slider", "test"), 1234u);
    EXPECT_EQ(read("[io3]\ntest=5\n", "io3", "coin"), 1234u);
    EXPECT_EQ(read("[io3]\ntest=5\n", "io3", "coin", -7), static_cast<uint32_t>(-7));
    EXPECT_EQ(read("", "io3", "test", 0), 0u);
}

// The value of k in section s by the Windows number rule, with quotes and a
// comment; an empty one gives the default (1234).
TEST_F(IniReader, ValuesFollowTheWindowsNumberRule) {
    const struct {
        const char *value;
        uint32_t expected;
    } cases[] = {
        {"12abc", 12u},   {"abc", 0u},     {"", 1234u},   {"   ", 1234u},
        {"-1", ~0u},      {"\"66\"", 66u}, {"'67'", 67u}, {"\"\"", 1234u},
        {"5 ; five", 5u}, {";5", 0u},      {"321", 321u},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read(std::string("[s]\nk=") + c.value + "\n", "s", "k"), c.expected) << c.value;
    EXPECT_EQ(read("[s]\nk=" + std::string(300, '9') + "\n", "s", "k"),
              windows_integer(std::string(29, '9').c_str()));
}

// The line k of section s is read from: the first match wins, only the first
// section of a name is searched, a key without '=' is a match with an empty
// value; comments, keys outside sections and odd lines.
TEST_F(IniReader, TheFirstMatchInTheFirstSectionOfTheName) {
    const struct {
        const char *text;
        uint32_t expected;
    } cases[] = {
        {"[s]\nk=1\nK=2\n", 1u},    {"[s]\nk=1\n[S]\nk=2\n", 1u}, {"[s]\nj=1\n[s]\nk=2\n", 1234u},
        {"[s]\n[s]\nk=2\n", 1234u}, {"[t]\nk=1\n[s]\nk=2\n", 2u}, {"[s]\nk\nk=2\n", 1234u},
        {"[s]\n;k=1\nk=2\n", 2u},   {"k=3\n[s]\nk=4\n", 4u},      {"[s]\nk:5\nk=6\n", 6u},
        {"[s]\n  k=7\n", 7u},       {"[s]\nj=1\n  k=8\n", 8u},    {"\xEF\xBB\xBF[s]\nk=5\n", 5u},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read(c.text, "s", "k"), c.expected) << c.text;
}

// Names match without case and trimmed; what a section header is.
TEST_F(IniReader, NamesAndSectionHeaders) {
    EXPECT_EQ(read("[IO3]\nTeSt = 0x41\n", "io3", "test"), 0x41u);
    EXPECT_EQ(read("  [io3]\r\n  test\t=  9  \r\n", "io3", "test"), 9u);
    EXPECT_EQ(read("[ io3 ]\ntest=9\n", "io3", "test"), 9u);
    EXPECT_EQ(read("[io3]]\ntest=9\n", "io3", "test"), 1234u);
    EXPECT_EQ(read("[io3]]\ntest=9\n", "io3]", "test"), 9u);
    EXPECT_EQ(read("[io3] x\ntest=9\n", "io3", "test"), 9u);
    EXPECT_EQ(read("[io3\ntest=9\n", "io3", "test"), 1234u);
    EXPECT_EQ(read("[]\nk=4\n", "", "k"), 1234u);
    EXPECT_EQ(read("[s:x]\nk=4\n", "s:x", "k"), 4u);
    EXPECT_EQ(read("k=3\n[s]\nk=4\n", "", "k"), 3u);
}

TEST_F(IniReader, OnlyRegularFilesAreRead) {
    std::string fifo = folder.file("fifo.ini"); // opened without waiting for a writer
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {fifo, std::string("/dev/zero"), folder.path()}) {
        EXPECT_EQ(plat_ini_uint("s", "k", 77, path.c_str()), 77u) << path;
    }
}

TEST_F(IniReader, BackslashesInTheFileNameAreFolderSeparators) {
    folder.write("morvantel.ini", "[tevuio]\nhid_offset=0x10\n");
    std::string windows_style = folder.path() + "\\morvantel.ini";
    EXPECT_EQ(plat_ini_uint("tevuio", "hid_offset", 0, windows_style.c_str()), 0x10u);
    EXPECT_EQ(plat_ini_uint(nullptr, "k", 3, windows_style.c_str()), 3u);
}

TEST(HostImage, CoversTheMainProgram) {
    uint64_t base = plat_host_image_base();
    uint64_t size = 0;
    EXPECT_TRUE(plat_host_byte_readable(0, &size));
    ASSERT_NE(base, 0u);
    ASSERT_GT(size, 0u);
    uint64_t code = reinterpret_cast<uint64_t>(&windows_integer);
    EXPECT_GE(code, base);
    EXPECT_LT(code, base + size);
    static const char marker = 1;
    uint64_t data = reinterpret_cast<uint64_t>(&marker);
    EXPECT_GE(data, base);
    EXPECT_LT(data, base + size);
    EXPECT_EQ(base % 4096, 0u);
    // The host's hid_offset counts from where the loader put the program.
    Dl_info info{};
    ASSERT_NE(dladdr(&marker, &info), 0);
    EXPECT_EQ(base, reinterpret_cast<uint64_t>(info.dli_fbase));
}

namespace {

std::atomic<int> thread_runs{0};

unsigned count_run(void *arg) {
    thread_runs.fetch_add(*static_cast<int *>(arg));
    return 0;
}

unsigned sleep_a_while(void *) {
    plat_sleep_ms(200);
    return 0;
}

} // namespace

TEST(Threads, StartWaitClose) {
    int step = 3;
    thread_runs = 0;
    plat_thread thread = plat_thread_start(count_run, &step);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(plat_thread_wait(thread, 5000));
    EXPECT_TRUE(plat_thread_wait(thread, 0)); // waiting again is harmless
    plat_thread_close(thread);
    EXPECT_EQ(thread_runs.load(), 3);
    EXPECT_EQ(plat_thread_start(nullptr, nullptr), nullptr);
}

TEST(Threads, WaitTimesOutWhileTheThreadRuns) {
    plat_thread thread = plat_thread_start(sleep_a_while, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(plat_thread_wait(thread, 10));
    EXPECT_TRUE(plat_thread_wait(thread, 5000));
    plat_thread_close(thread);
}

TEST(Threads, SlotsAreReusedAfterClose) {
    int step = 1;
    for (int i = 0; i < 3 * max_threads; ++i) {
        plat_thread thread = plat_thread_start(count_run, &step);
        ASSERT_NE(thread, nullptr) << i;
        ASSERT_TRUE(plat_thread_wait(thread, 5000));
        plat_thread_close(thread);
    }
}

namespace {

struct wake_check {
    std::atomic<bool> woken_early{false};
    std::atomic<bool> first_wait_over{false};
};

unsigned wait_thrice(void *raw) {
    auto *check = static_cast<wake_check *>(raw);
    while (!check->woken_early) {
        plat_sleep_ms(1);
    }
    plat_wait(nullptr, plat_wait_forever); // ended by the wake-up sent before it
    check->first_wait_over = true;
    plat_wait(nullptr, plat_wait_forever); // that wake-up is used up
    plat_wait(nullptr, 1);                 // ends at its time
    return 0;
}

} // namespace

TEST(Threads, AWakeUpEndsTheWaitItFindsOrTheNextAndNoOther) {
    plat_pacer pacer;
    plat_pacer_open(&pacer);
    EXPECT_EQ(pacer.pacing, PLAT_PACING_PLAIN);
    plat_wait(&pacer, 1); // not a thread of the platform's: a plain sleep
    plat_pacer_close(&pacer);
    wake_check check;
    plat_thread thread = plat_thread_start(wait_thrice, &check);
    ASSERT_NE(thread, nullptr);
    plat_thread_wake(thread);
    check.woken_early = true;
    ASSERT_TRUE(linux_test::wait_until([&check] { return check.first_wait_over.load(); }));
    EXPECT_FALSE(plat_thread_wait(thread, 30));
    plat_thread_wake(thread);
    ASSERT_TRUE(plat_thread_wait(thread, 5000));
    plat_thread_close(thread);
}
