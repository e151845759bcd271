// Device search, the newest-report read and the report writes.
#include "fake_platform.h"
#include "tevuio/hid.h"
#include "tevuio/state.h"
#include "unit_kit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace unit;

plat_file sentinel() {
    return reinterpret_cast<plat_file>(static_cast<intptr_t>(0x5A5A));
}

class Hid : public ::testing::Test {
  protected:
    void SetUp() override {
        tevu.reset();
        fake::reset();
    }

    // Opens the n-th listed entry that matches and returns its device index.
    int open_any() {
        plat_file h = nullptr;
        EXPECT_EQ(0, hid_open_device(tevu.device.search_turn, &h, TEVUIO_VENDOR_ID,
                                     TEVUIO_ANY_INTERFACE));
        handle = h;
        return fake::open_count() - 1;
    }

    plat_file handle = nullptr;
};

std::vector<uint8_t> iota(uint8_t first, size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(first + i);
    return v;
}

// --- search ------------------------------------------------------------------

// With skip the search takes the match that many places after the first,
// counting round the matches; other entries do not count.
TEST_F(Hid, SkipPassesOverMatchesCountingRound) {
    const std::string second = "\\\\?\\hid#vid_0f0d&pid_0092&mi_01#7&1a2b&0&0002#{4d1e55b2}";
    fake::add_entry(in1);
    fake::add_entry(other);
    fake::add_entry(in0);
    fake::add_entry(second);
    const struct {
        uint32_t skip;
        std::string path;
    } table[] = {{0, in1}, {1, second}, {2, in1}, {5, second}};
    for (const auto &row : table) {
        plat_file h = nullptr;
        EXPECT_EQ(HID_OPENED,
                  hid_open_device(tevu.device.search_turn, &h, 0x0F0D, 1, false, row.skip));
        EXPECT_EQ(row.path, fake::opened_paths().back()) << row.skip;
    }
}

// Which listed interface a search opens: the first of the vendor with the
// interface number asked for (or any), as Windows writes paths; entries the
// walk skips are passed over, and the walk ends at the first END.
TEST_F(Hid, SearchOpensTheFirstMatchingEntry) {
    const std::string long_path = in0 + std::string(1023 - in0.size(), 'x');
    const fake::entry skipped{in0 + "#skipped", PLAT_ENTRY_SKIP};
    const fake::entry end{in0 + "#end", PLAT_ENTRY_END};
    const struct {
        std::vector<fake::entry> listed;
        uint16_t vendor;
        uint8_t interface;
        std::string opened; // "": none found
    } table[] = {
        {{{in1}}, 0x0F0D, 0, ""},
        {{{in1}}, 0x0F0D, 1, in1},
        {{{"\\\\?\\HID#VID_0F0D&PID_0092&MI_00#7&1A2B&0&0000#{4d1e55b2}"},
          {"\\\\?\\hid#vid_0F0D&pid_0092&mi_00#x"}},
         0x0F0D,
         TEVUIO_ANY_INTERFACE,
         ""},
        // "vid_0f0d1" shares the first four digits but is another identifier.
        {{{"\\\\?\\hid#vid_0f0d1&pid_0092&mi_00#x"}}, 0x0F0D, TEVUIO_ANY_INTERFACE, ""},
        {{{other}, {in0}}, 0x0F0D, 0, in0},
        {{{other}, {in1}, {in0}}, 0x0F0D, TEVUIO_ANY_INTERFACE, in1},
        {{{single}}, 0x0F0D, 0, ""},
        {{{single}}, 0x0F0D, TEVUIO_ANY_INTERFACE, single},
        {{{in0}, {in0 + "#second"}}, 0x0F0D, 0, in0},
        {{{"\\\\?\\hid#vid_1234&pid_0001&mi_0a#x"}},
         0x1234,
         0x0A,
         "\\\\?\\hid#vid_1234&pid_0001&mi_0a#x"},
        {{{"\\\\?\\hid#vid_abcd&pid_0001&mi_0A#y"}}, 0xABCD, 0x0A, ""},
        {{skipped, {in0}}, 0x0F0D, 0, in0},
        {{{other}, end, {in0}}, 0x0F0D, 0, ""},
        {{{long_path}}, 0x0F0D, 0, long_path},
        {{{long_path + "x"}, {in0}}, 0x0F0D, 0, in0},
    };
    for (const auto &row : table) {
        fake::reset();
        for (const fake::entry &e : row.listed)
            fake::add_entry(e);
        plat_file h = sentinel();
        const hid_search_result found =
            hid_open_device(tevu.device.search_turn, &h, row.vendor, row.interface);
        const std::string where = row.listed[0].path + " #" + std::to_string(row.interface);
        if (row.opened.empty()) {
            EXPECT_EQ(HID_NOT_FOUND, found) << where;
            EXPECT_EQ(sentinel(), h) << where;
            EXPECT_EQ(0, fake::open_count()) << where;
        } else {
            EXPECT_EQ(HID_OPENED, found) << where;
            EXPECT_NE(sentinel(), h) << where;
            EXPECT_EQ(std::vector<std::string>{row.opened}, fake::opened_paths()) << where;
        }
    }
}

TEST_F(Hid, NoListFindsNothing) {
    fake::add_entry(in0);
    fake::set_list_unavailable(true);
    plat_file h = sentinel();
    EXPECT_EQ(HID_NOT_FOUND, hid_open_device(tevu.device.search_turn, &h, 0x0F0D, 0));
    EXPECT_EQ(sentinel(), h);
    EXPECT_EQ("", fake::output());
}

TEST_F(Hid, FailedOpenPrintsTheErrorInHexUnlessQuiet) {
    fake::entry e;
    e.path = in0;
    e.open_fails = true;
    e.open_error = 0x1F;
    fake::add_entry(e);
    plat_file h = nullptr;
    EXPECT_EQ(-1, hid_open_device(tevu.device.search_turn, &h, 0x0F0D, 0));
    EXPECT_EQ(PLAT_INVALID_FILE, h);
    EXPECT_EQ("Could not open detected device (err = 1f).\r\n", fake::output());
    fake::clear_output();
    EXPECT_EQ(HID_OPEN_FAILED, hid_open_device(tevu.device.search_turn, &h, 0x0F0D, 0, true));
    EXPECT_EQ("", fake::output());
}

TEST_F(Hid, FailedOpenOfTheFirstMatchDoesNotTryTheNext) {
    fake::entry e;
    e.path = in0;
    e.open_fails = true;
    fake::add_entry(e);
    fake::add_entry(in0 + "#next");
    plat_file h = nullptr;
    EXPECT_EQ(-1, hid_open_device(tevu.device.search_turn, &h, 0x0F0D, 0));
    EXPECT_EQ(0, fake::open_count());
    EXPECT_EQ("Could not open detected device (err = 5).\r\n", fake::output());
}

// --- read --------------------------------------------------------------------

TEST_F(Hid, ReadOfTwoReportsYieldsTheNewer) {
    fake::add_entry(in0);
    int dev = open_any();
    std::vector<uint8_t> two = iota(0, 18);
    two[0] = two[9] = 0x01;
    fake::push_read(dev, two);
    uint8_t dest[9] = {};
    EXPECT_EQ(HID_READ_REPORT, hid_read_input_report(handle, dest, 0x01, 9));
    EXPECT_EQ(std::vector<uint8_t>(two.begin() + 9, two.end()),
              std::vector<uint8_t>(dest, dest + 9));
    EXPECT_EQ(std::vector<uint32_t>{18}, fake::read_rooms(dev));
}

TEST_F(Hid, ReadOfOneReportYieldsIt) {
    fake::add_entry(in0);
    int dev = open_any();
    fake::push_read(dev, iota(0x01, 9));
    uint8_t dest[9] = {};
    EXPECT_EQ(HID_READ_REPORT, hid_read_input_report(handle, dest, 0x01, 9));
    EXPECT_EQ(iota(0x01, 9), std::vector<uint8_t>(dest, dest + 9));
}

TEST_F(Hid, ReadOfAnotherLengthOrIdIsIgnoredAndGoneIsTold) {
    fake::add_entry(in0);
    int dev = open_any();
    const std::vector<size_t> counts = {1, 8, 10, 17};
    for (size_t n : counts)
        fake::push_read(dev, iota(0x01, n));
    fake::push_read(dev, iota(0x02, 9));  // another report ID
    fake::push_read(dev, iota(0x00, 18)); // the newer of two has ID 0x09
    fake::push_read(dev, {});             // unplugged
    const size_t reads = counts.size() + 3;
    for (size_t i = 0; i < reads; ++i) {
        uint8_t dest[9];
        std::fill(dest, dest + 9, 0xEE);
        EXPECT_EQ(i + 1 < reads ? HID_READ_IGNORED : HID_READ_GONE,
                  hid_read_input_report(handle, dest, 0x01, 9))
            << "read " << i;
        EXPECT_EQ(std::vector<uint8_t>(9, 0xEE), std::vector<uint8_t>(dest, dest + 9));
    }
}

TEST_F(Hid, ReadPutsTheReportIdInByteZeroOfTheBuffer) {
    fake::add_entry(in0);
    int dev = open_any();
    uint8_t seen_id = 0;
    uint32_t seen_room = 0;
    fake::set_reader(dev, [&](uint8_t *buffer, uint32_t room) {
        seen_id = buffer[0];
        seen_room = room;
        for (uint32_t i = 1; i < 9; ++i)
            buffer[i] = static_cast<uint8_t>(i);
        return 9u; // byte 0 stays as the library put it
    });
    uint8_t dest[9] = {};
    EXPECT_EQ(HID_READ_REPORT, hid_read_input_report(handle, dest, 0x01, 9));
    EXPECT_EQ(0x01, seen_id);
    EXPECT_EQ(18u, seen_room);
    EXPECT_EQ((std::vector<uint8_t>{1, 1, 2, 3, 4, 5, 6, 7, 8}),
              std::vector<uint8_t>(dest, dest + 9));
}

TEST_F(Hid, ReadOnNullOrInvalidHandleSaysGone) {
    uint8_t dest[9] = {7, 7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_EQ(HID_READ_GONE, hid_read_input_report(nullptr, dest, 0x01, 9));
    EXPECT_EQ(HID_READ_GONE, hid_read_input_report(PLAT_INVALID_FILE, dest, 0x01, 9));
    EXPECT_EQ(std::vector<uint8_t>(9, 7), std::vector<uint8_t>(dest, dest + 9));
}

TEST_F(Hid, LongestReportLengthFitsTheReceiveBuffer) {
    fake::add_entry(in0);
    int dev = open_any();
    std::vector<uint8_t> two(510);
    for (size_t i = 0; i < two.size(); ++i)
        two[i] = static_cast<uint8_t>(i * 7);
    two[255] = 0x01;
    fake::push_read(dev, two);
    std::vector<uint8_t> dest(255);
    EXPECT_EQ(HID_READ_REPORT, hid_read_input_report(handle, dest.data(), 0x01, 255));
    EXPECT_EQ(std::vector<uint8_t>(two.begin() + 255, two.end()), dest);
    EXPECT_EQ(std::vector<uint32_t>{510}, fake::read_rooms(dev));
}

// --- writes ------------------------------------------------------------------

// Each builder lays out its report whole and chooses how it goes; the send
// hands both to the platform unchanged.
TEST_F(Hid, BuiltReportsGoWithTheirKindAndBytes) {
    const uint8_t levels[4] = {0xFF, 0x00, 0xFF, 0x12};
    const std::vector<uint8_t> half = iota(1, 48);
    const uint8_t dark[report::frame_bytes] = {};
    std::vector<uint8_t> lamps(49, 0);
    lamps[0] = 0x06, lamps[1] = 0xFF, lamps[3] = 0xFF, lamps[4] = 0x12;
    std::vector<uint8_t> low(49, 0x04), high(49, 0x05);
    std::copy(half.begin(), half.end(), low.begin() + 1);
    std::copy(half.begin(), half.end(), high.begin() + 1);
    std::vector<uint8_t> feature(64, 0);
    const uint8_t dark_block[] = {0x01, 0x00, 0x00, 0xE0, 0x53, 0x00, 0x01, 0x00, 0x00};
    feature[0] = 0x0B, feature[1] = sizeof dark_block;
    std::copy(std::begin(dark_block), std::end(dark_block), feature.begin() + 2);

    report::outgoing built[4];
    std::memset(built, 0xEE, sizeof built);
    report::build_lamp_report(built[0], levels);
    report::build_led_half(built[1], false, half.data());
    report::build_led_half(built[2], true, half.data());
    ASSERT_TRUE(report::build_led_feature(built[3], dark));
    const fake::sent_report expected[4] = {{PLAT_REPORT_OUTPUT, lamps},
                                           {PLAT_REPORT_OUTPUT, low},
                                           {PLAT_REPORT_OUTPUT, high},
                                           {PLAT_REPORT_FEATURE, feature}};
    fake::add_entry(in1);
    const int dev = open_any();
    for (const report::outgoing &r : built)
        EXPECT_EQ(PLAT_IO_DONE, hid_send_report(handle, r));
    const std::vector<fake::sent_report> sent = fake::sent(dev);
    ASSERT_EQ(4u, sent.size());
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(expected[i].kind, sent[i].kind) << i;
        EXPECT_EQ(expected[i].bytes, sent[i].bytes) << i;
    }
}

TEST_F(Hid, SendTellsAFailedWriteAndAMissingDevice) {
    fake::add_entry(in1);
    int dev = open_any();
    fake::set_write_fails(dev, true);
    report::outgoing lamps;
    const uint8_t levels[4] = {};
    report::build_lamp_report(lamps, levels);
    EXPECT_EQ(PLAT_IO_FAILED, hid_send_report(handle, lamps));
    EXPECT_EQ(PLAT_IO_GONE, hid_send_report(nullptr, lamps));
    EXPECT_TRUE(fake::sent(dev).empty());
}

} // namespace
