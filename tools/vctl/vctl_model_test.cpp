#include "vctl_interfaces.h"
#include "vctl_model.h"
#include "vctl_script_language.h"
#include "vctl_terminal_view.h"
#include "vctl_text.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

using namespace vctl;

namespace {

std::vector<uint8_t> feature_report(const std::vector<uint8_t> &block) {
    std::vector<uint8_t> report(feature_report_length, 0xEE); // stale bytes after the block
    report[0] = report_leds_packed;
    report[1] = static_cast<uint8_t>(block.size());
    std::copy(block.begin(), block.end(), report.begin() + 2);
    return report;
}

command parse_ok(const std::string &line) {
    command cmd;
    bool blank = true;
    std::string error;
    EXPECT_TRUE(parse_line(line, 1, &cmd, &blank, &error)) << error;
    EXPECT_FALSE(blank);
    return cmd;
}

std::string parse_error(const std::string &line) {
    command cmd;
    bool blank = false;
    std::string error;
    EXPECT_FALSE(parse_line(line, 7, &cmd, &blank, &error)) << line;
    return error;
}

} // namespace

// Untouched, the top bit of every byte is set; cell c flips bit 31 - c.
TEST(SliderWord, CellCFlipsBit31MinusC) {
    const struct {
        uint32_t cells, word;
    } cases[] = {{0, 0x80808080u},
                 {1u << 0, 0x00808080u},
                 {1u << 31, 0x80808081u},
                 {1u << 24, 0x80808000u},
                 {1u << 5, 0x84808080u}};
    for (const auto &k : cases) {
        EXPECT_EQ(slider_word(k.cells), k.word) << k.cells;
        EXPECT_EQ(touched_cells(k.word), k.cells) << k.cells;
    }
    for (int c = 0; c < 32; c++) {
        EXPECT_EQ(touched_cells(slider_word(1u << c)), 1u << c) << c;
    }
    EXPECT_EQ(touched_cells(slider_word(0xDEADBEEFu)), 0xDEADBEEFu);
}

TEST(InputReport, LaysOutIdButtonsAndSliderLittleEndian) {
    controller c;
    c.buttons = 0x1204;
    c.touched = 1u << 5; // word 0x84808080
    uint8_t report[input_report_length];
    memset(report, 0xAA, sizeof report);
    encode_input_report(c, report);
    const uint8_t expected[] = {0x01, 0x04, 0x12, 0x00, 0x80, 0x80, 0x80, 0x84, 0x00};
    EXPECT_EQ(0, memcmp(report, expected, sizeof expected));
}

TEST(Buttons, NamesMatchTheButtonWordBits) {
    const struct {
        const char *name;
        uint8_t bit;
    } cases[] = {{"test", 12}, {"service", 8}, {"1", 2}, {"2", 1}, {"3", 0}, {"4", 3}, {"5", 9}};
    uint8_t bit = 0xFF;
    for (const auto &k : cases) {
        ASSERT_TRUE(button_bit(k.name, &bit)) << k.name;
        EXPECT_EQ(bit, k.bit) << k.name;
        EXPECT_STREQ(button_name(k.bit), k.name);
    }
    EXPECT_FALSE(button_bit("6", &bit));
    EXPECT_FALSE(button_bit("Test", &bit));
    EXPECT_EQ(button_name(4), nullptr);
}

// The decoder's rules are the tests' LZF decoder's (tests/lzf); here only the
// room the controller gives it.
TEST(LzfExpand, ExpandsIntoTheRoomOrRefuses) {
    const uint8_t black[] = {0x01, 0x00, 0x00, 0xE0, 0x53, 0x00, 0x01, 0x00, 0x00};
    uint8_t out[96];
    memset(out, 0x55, sizeof out);
    ASSERT_EQ(lzf_expand(black, sizeof black, out, sizeof out), 96);
    EXPECT_EQ(std::count(out, out + 96, 0), 96);
    EXPECT_EQ(lzf_expand(black, sizeof black, out, 95), -1);
    const uint8_t reference_first[] = {0x20, 0x00};
    EXPECT_EQ(lzf_expand(reference_first, sizeof reference_first, out, sizeof out), -1);
}

TEST(TakeReport, FeatureFrameGoesInHostOrder) {
    controller c;
    const std::vector<uint8_t> report =
        feature_report({0x03, 0x7F, 0x23, 0x00, 0x7F, 0xE0, 0x51, 0x02, 0x01, 0x23, 0x00});
    EXPECT_EQ(take_report(c, PLAT_REPORT_FEATURE, report.data(), report.size()), "");
    EXPECT_EQ(c.leds[0], 0x7F);
    EXPECT_EQ(c.leds[95 - 1], 0x23);
}

TEST(TakeReport, OutputHalvesAreInDeviceOrder) {
    controller c;
    uint8_t low[output_report_length] = {report_leds_low};
    uint8_t high[output_report_length] = {report_leds_high};
    for (int i = 0; i < 48; i++) {
        low[1 + i] = static_cast<uint8_t>(i);
        high[1 + i] = static_cast<uint8_t>(100 + i);
    }
    EXPECT_EQ(take_report(c, PLAT_REPORT_OUTPUT, low, sizeof low), "");
    EXPECT_EQ(take_report(c, PLAT_REPORT_OUTPUT, high, sizeof high), "");
    // Device LED 0 (first of 0x04) is host LED 31; device LED 31 (last of 0x05) is host LED 0.
    EXPECT_EQ(c.leds[size_t{3} * 31], 0);
    EXPECT_EQ(c.leds[size_t{3} * 31 + 2], 2);
    EXPECT_EQ(c.leds[size_t{3} * 16], 45);
    EXPECT_EQ(c.leds[size_t{3} * 15], 100);
    EXPECT_EQ(c.leds[0], 145);
    EXPECT_EQ(c.leds[2], 147);
}

TEST(TakeReport, LampsGoInOrder) {
    controller c;
    const uint8_t lamps[output_report_length] = {report_lamps, 0xFF, 0x00, 0xFF, 0x00};
    EXPECT_EQ(take_report(c, PLAT_REPORT_OUTPUT, lamps, sizeof lamps), "");
    EXPECT_EQ(0, memcmp(c.lamps, lamps + 1, sizeof c.lamps));
}

TEST(TakeReport, RefusalsSayWhyAndLeaveTheControllerAsItWas) {
    const auto with = [](std::vector<uint8_t> r, size_t at, uint8_t value) {
        r[at] = value;
        return r;
    };
    const std::vector<uint8_t> black =
        feature_report({0x01, 0x00, 0x00, 0xE0, 0x53, 0x00, 0x01, 0x00, 0x00});
    const std::vector<uint8_t> lamps =
        with(std::vector<uint8_t>(output_report_length, 0xFF), 0, report_lamps);
    const struct {
        plat_report_kind kind;
        std::vector<uint8_t> report;
        size_t length;
        const char *why;
    } cases[] = {
        {PLAT_REPORT_FEATURE, feature_report({0x00, 0x05}), 64,
         "feature report 0x0b: block expands to 1 bytes, not 96"},
        {PLAT_REPORT_FEATURE, with(black, 1, 63), 64,
         "feature report 0x0b: block length 63 above 62"},
        {PLAT_REPORT_FEATURE, black, 63, "feature report 0x0b of 63 bytes, expected 64"},
        {PLAT_REPORT_FEATURE, with(black, 0, 0x0C), 64, "unknown feature report 0x0c"},
        {PLAT_REPORT_OUTPUT, lamps, 9, "output report 0x06 of 9 bytes, expected 49"},
        {PLAT_REPORT_OUTPUT, with(lamps, 0, 0x07), 49, "unknown output report 0x07"},
        {PLAT_REPORT_OUTPUT, lamps, 0, "empty report"},
    };
    for (const auto &k : cases) {
        controller c;
        memset(c.leds, 0x11, sizeof c.leds);
        EXPECT_EQ(take_report(c, k.kind, k.report.data(), k.length), k.why);
        EXPECT_EQ(std::count(c.leds, c.leds + frame_length, 0x11), 96) << k.why;
        EXPECT_EQ(std::count(c.lamps, c.lamps + 4, 0), 4) << k.why;
    }
}

TEST(HostMessage, ReportIsTakenAndAckedWithItsSequenceNumber) {
    std::vector<uint8_t> message(2 + output_report_length, 0);
    message[0] = 'O';
    message[1] = 0xA7;
    message[2] = report_lamps;
    message[3] = 0xFF;
    host_message m;
    ASSERT_EQ(read_host_message(message.data(), message.size(), &m), message_check::report);
    controller c;
    EXPECT_EQ(take_report(c, m.kind, m.report, m.length), "");
    EXPECT_EQ(c.lamps[0], 0xFF);
    uint8_t ack[ack_length] = {};
    make_ack(m.sequence, ack);
    EXPECT_TRUE(ack[0] == 'A' && ack[1] == 0xA7);
    // Kind and sequence byte but no report: ignored.
    EXPECT_EQ(read_host_message(message.data(), 2, &m), message_check::too_short);
}

TEST(HexBytes, LowerCaseSpaceSeparated) {
    const uint8_t data[] = {0x0B, 0xFF, 0x00, 0x7F};
    EXPECT_EQ(hex_bytes(data, sizeof data), "0b ff 00 7f");
    EXPECT_EQ(hex_bytes(data, 0), "");
}

TEST(Script, ParsesEveryCommand) {
    const struct {
        const char *line;
        op what;
        uint32_t mask, value;
        bool flag;
        const char *text;
    } cases[] = {
        {"touch 5", op::touch, 1u << 5, 0, false, ""},
        {"  touch 0 4-7 31   # comment", op::touch, 0x800000F1u, 0, false, ""},
        {"release all", op::release, 0xFFFFFFFFu, 0, false, ""},
        {"button test down", op::button, 0, 12, true, ""},
        {"button 5 up", op::button, 0, 9, false, ""},
        {"buttons 0x1000", op::buttons, 0, 0x1000, false, ""},
        {"wait 200", op::wait_ms, 0, 200, false, ""},
        {"wait host", op::wait_host, 0, 0, false, ""},
        {"rate 0", op::rate, 0, 0, false, ""},
        {"rate 100000", op::rate, 0, 100000, false, ""},
        {"silent on", op::silent, 0, 0, true, ""},
        {"unplug", op::unplug, 0, 0, false, ""},
        {"plug", op::plug, 0, 0, false, ""},
        {"quit", op::quit, 0, 0, false, ""},
        {"echo  touching cell 5  ", op::echo, 0, 0, false, "touching cell 5"},
    };
    for (const auto &k : cases) {
        const command cmd = parse_ok(k.line);
        EXPECT_EQ(cmd.what, k.what) << k.line;
        EXPECT_EQ(cmd.mask, k.mask) << k.line;
        EXPECT_EQ(cmd.value, k.value) << k.line;
        EXPECT_EQ(cmd.flag, k.flag) << k.line;
        EXPECT_EQ(cmd.text, k.text) << k.line;
        EXPECT_EQ(cmd.line, 1) << k.line;
    }
}

TEST(Script, BlankAndCommentLines) {
    for (const char *line : {"", "   ", "# only a comment", "\t\r"}) {
        command cmd;
        bool blank = false;
        std::string error;
        EXPECT_TRUE(parse_line(line, 1, &cmd, &blank, &error));
        EXPECT_TRUE(blank) << line;
    }
}

TEST(Script, ClearMessagesForBadLines) {
    const char *const wait_usage = "usage: wait MS (0 to 3600000) or wait host";
    const struct {
        const char *line;
        const char *why;
    } cases[] = {
        {"tuch 5", "unknown command 'tuch'"},
        {"touch 32", "bad cell '32' (0-31, a range like 4-7, or all)"},
        {"touch -1", "bad cell '-1' (0-31, a range like 4-7, or all)"},
        {"touch +1", "bad cell '+1' (0-31, a range like 4-7, or all)"},
        {"touch 7-4", "bad cell '7-4' (0-31, a range like 4-7, or all)"},
        {"touch 5x", "bad cell '5x' (0-31, a range like 4-7, or all)"},
        {"touch", "touch needs at least one cell"},
        {"button coin down", "unknown button 'coin' (test, service, 1-5)"},
        {"button test pressed", "button state must be down or up, not 'pressed'"},
        {"button test", "usage: button test|service|1-5 down|up"},
        {"buttons 0x10000", "usage: buttons WORD (0 to 0xffff)"},
        {"wait", wait_usage},
        {"wait soon", wait_usage},
        {"wait 3600001", wait_usage},
        {"wait 99999999999999999999", wait_usage},
        {"rate 100001", "usage: rate N (0 to 100000 reports per second)"},
        {"silent maybe", "usage: silent on|off"},
        {"quit now", "quit takes no argument"},
    };
    for (const auto &k : cases) {
        EXPECT_EQ(parse_error(k.line), std::string("line 7: ") + k.why);
    }
}

TEST(Script, WholeScriptStopsAtTheFirstError) {
    std::vector<command> cmds;
    std::string error;
    EXPECT_TRUE(parse_script("# demo\ntouch 1\n\nwait 10\nquit\n", &cmds, &error));
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[1].line, 4);
    cmds.clear();
    EXPECT_FALSE(parse_script("touch 1\nbogus\n", &cmds, &error));
    EXPECT_EQ(error, "line 2: unknown command 'bogus'");
}

TEST(Script, InputCommandsChangeTheController) {
    controller c;
    EXPECT_TRUE(apply_input_command(c, parse_ok("touch 3-5")));
    EXPECT_TRUE(apply_input_command(c, parse_ok("release 4")));
    EXPECT_EQ(c.touched, 0x28u);
    EXPECT_TRUE(apply_input_command(c, parse_ok("button test down")));
    EXPECT_TRUE(apply_input_command(c, parse_ok("button 3 down")));
    EXPECT_EQ(c.buttons, 0x1001);
    EXPECT_TRUE(apply_input_command(c, parse_ok("button test up")));
    EXPECT_EQ(c.buttons, 0x0001);
    EXPECT_TRUE(apply_input_command(c, parse_ok("buttons 0x20f")));
    EXPECT_EQ(c.buttons, 0x020F);
    EXPECT_FALSE(apply_input_command(c, parse_ok("quit")));
}

TEST(Runner, WaitsForTimeAndForTheHost) {
    script_runner r;
    std::string error;
    ASSERT_TRUE(parse_script("wait host\ntouch 1\nwait 100\nrelease 1\n", &r.commands, &error));
    command cmd;
    EXPECT_FALSE(runner_next(r, 1000, false, &cmd));
    EXPECT_FALSE(runner_finished(r));
    ASSERT_TRUE(runner_next(r, 1000, true, &cmd));
    EXPECT_EQ(cmd.what, op::touch);
    EXPECT_FALSE(runner_next(r, 1000, true, &cmd));
    EXPECT_EQ(runner_wake_ms(r), 1100u);
    EXPECT_FALSE(runner_next(r, 1099, true, &cmd));
    ASSERT_TRUE(runner_next(r, 1100, true, &cmd));
    EXPECT_EQ(cmd.what, op::release);
    EXPECT_EQ(runner_wake_ms(r), 0u);
    EXPECT_FALSE(runner_next(r, 5000, true, &cmd));
    EXPECT_TRUE(runner_finished(r));
    // Commands appended later (a script read from a pipe) are played on.
    r.commands.push_back(parse_ok("quit"));
    ASSERT_TRUE(runner_next(r, 5000, false, &cmd));
    EXPECT_EQ(cmd.what, op::quit);
}

TEST(Keyboard, MapsEveryCellAndButton) {
    uint32_t value = 99;
    const char cells[] = "1234567890qwertyuiopasdfghjkl;zx";
    for (int c = 0; c < 32; c++) {
        ASSERT_EQ(key_for(cells[c], &value), key_action::toggle_cell) << cells[c];
        EXPECT_EQ(value, static_cast<uint32_t>(c));
    }
    // Test, service, game buttons 1-5.
    const std::pair<char, uint32_t> buttons[] = {{'T', 12}, {'S', 8}, {'Z', 2}, {'X', 1},
                                                 {'C', 0},  {'V', 3}, {'B', 9}};
    for (const auto &b : buttons) {
        ASSERT_EQ(key_for(b.first, &value), key_action::toggle_button) << b.first;
        EXPECT_EQ(value, b.second) << b.first;
    }
    const std::pair<char, key_action> others[] = {
        {' ', key_action::release_all}, {'U', key_action::toggle_plug},
        {'M', key_action::toggle_mute}, {'Q', key_action::quit},
        {27, key_action::quit},         {3, key_action::quit},
        {'%', key_action::none}};
    for (const auto &k : others) {
        EXPECT_EQ(key_for(k.first, &value), k.second) << int{k.first};
    }
}

TEST(Display, ShowsLedColoursTouchesAndLamps) {
    controller c;
    c.leds[size_t{3} * 2] = 0x7F;
    c.leds[size_t{3} * 2 + 1] = 0x23;
    c.touched = 1u << 2;
    c.lamps[1] = 0xFF;
    status_info info;
    info.message = "hello";
    const std::vector<std::string> lines = render_status(c, info);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_NE(lines[1].find("\x1b[48;2;127;35;0m  "), std::string::npos);
    EXPECT_EQ(lines[2].substr(7, 8), "....##..");
    EXPECT_NE(lines[3].find("\x1b[48;2;255;191;0m 1 "), std::string::npos);
    EXPECT_EQ(lines[5], "hello");
}

namespace {

// Reads a report descriptor back: each main item's type ('I', 'O', 'F'), report
// ID and report length with the ID byte, in order.
std::vector<std::tuple<char, uint32_t, uint32_t>> described_reports(const std::vector<uint8_t> &d) {
    std::vector<std::tuple<char, uint32_t, uint32_t>> reports;
    uint32_t id = 0, size = 0, count = 0;
    for (size_t i = 0, n = 0; i < d.size(); i += 1 + n) {
        n = (d[i] & 3) == 3 ? 4 : d[i] & 3;
        uint32_t value = 0;
        for (size_t b = 0; b < n && i + 1 + b < d.size(); b++) {
            value |= static_cast<uint32_t>(d[i + 1 + b]) << (8 * b);
        }
        const char main = (d[i] & 0xFC) == 0x80 ? 'I' : (d[i] & 0xFC) == 0x90 ? 'O' : 'F';
        switch (d[i] & 0xFC) {
        case 0x84:
            id = value;
            break;
        case 0x74:
            size = value;
            break;
        case 0x94:
            count = value;
            break;
        case 0x80:
        case 0x90:
        case 0xB0:
            reports.emplace_back(main, id, size * count / 8 + 1);
            break;
        default:
            break;
        }
    }
    return reports;
}

} // namespace

TEST(ReportDescriptor, StatesEveryReportIdAndLengthOfItsInterface) {
    using r = std::tuple<char, uint32_t, uint32_t>;
    const std::vector<r> input = {r{'I', 0x01, 9}};
    const std::vector<r> lighting = {r{'O', 0x04, 49}, r{'O', 0x05, 49}, r{'O', 0x06, 49},
                                     r{'F', 0x0B, 64}};
    std::vector<r> all = input;
    all.insert(all.end(), lighting.begin(), lighting.end());
    EXPECT_EQ(described_reports(report_descriptor(interface_reports::input)), input);
    EXPECT_EQ(described_reports(report_descriptor(interface_reports::lighting)), lighting);
    EXPECT_EQ(described_reports(report_descriptor(interface_reports::all)), all);
    const std::vector<uint8_t> d = report_descriptor(interface_reports::input);
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 6),
              (std::vector<uint8_t>{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1}));
    EXPECT_EQ(d.back(), 0xC0); // the collection is closed
    EXPECT_EQ(longest_report(interface_reports::input), 9u);
    EXPECT_EQ(longest_report(interface_reports::lighting), 64u);
    EXPECT_EQ(kind_of_report(0x0B), PLAT_REPORT_FEATURE);
    EXPECT_EQ(kind_of_report(0x04), PLAT_REPORT_OUTPUT);
}
