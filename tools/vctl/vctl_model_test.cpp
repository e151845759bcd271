#include "vctl_interfaces.h"
#include "vctl_model.h"
#include "vctl_script_language.h"
#include "vctl_terminal_view.h"
#include "vctl_text.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <tuple>
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

TEST(SliderWord, UntouchedHasTheTopBitOfEveryByteSet) {
    EXPECT_EQ(slider_word(0), 0x80808080u);
    EXPECT_EQ(touched_cells(0x80808080u), 0u);
}

TEST(SliderWord, CellCSetsBit31MinusCAfterInversion) {
    EXPECT_EQ(slider_word(1u << 0) ^ 0x80808080u, 0x80000000u);
    EXPECT_EQ(slider_word(1u << 31) ^ 0x80808080u, 0x00000001u);
    EXPECT_EQ(slider_word(1u << 24), 0x80808000u); // bit 7 cleared
    EXPECT_EQ(slider_word(1u << 5), 0x84808080u);
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
    uint8_t bit = 0xFF;
    ASSERT_TRUE(button_bit("test", &bit));
    EXPECT_EQ(bit, 12);
    ASSERT_TRUE(button_bit("service", &bit));
    EXPECT_EQ(bit, 8);
    const uint8_t game[] = {2, 1, 0, 3, 9};
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(button_bit(std::to_string(i + 1), &bit));
        EXPECT_EQ(bit, game[i]) << i + 1;
    }
    EXPECT_FALSE(button_bit("6", &bit));
    EXPECT_FALSE(button_bit("Test", &bit));
    EXPECT_STREQ(button_name(12), "test");
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
    EXPECT_EQ(take_report(c, report_kind::feature, report.data(), report.size()), "");
    EXPECT_EQ(c.leds[0], 0x7F);
    EXPECT_EQ(c.leds[95 - 1], 0x23);
}

TEST(TakeReport, FeatureRefusals) {
    controller c;
    memset(c.leds, 0x11, sizeof c.leds);
    std::vector<uint8_t> report = feature_report({0x00, 0x05}); // expands to one byte
    EXPECT_EQ(take_report(c, report_kind::feature, report.data(), report.size()),
              "feature report 0x0b: block expands to 1 bytes, not 96");
    report[1] = 63;
    EXPECT_EQ(take_report(c, report_kind::feature, report.data(), report.size()),
              "feature report 0x0b: block length 63 above 62");
    report = feature_report({0x01, 0x00, 0x00, 0xE0, 0x53, 0x00, 0x01, 0x00, 0x00});
    EXPECT_EQ(take_report(c, report_kind::feature, report.data(), 63),
              "feature report 0x0b of 63 bytes, expected 64");
    report[0] = 0x0C;
    EXPECT_EQ(take_report(c, report_kind::feature, report.data(), report.size()),
              "unknown feature report 0x0c");
    EXPECT_EQ(c.leds[0], 0x11); // unchanged by refused reports
}

TEST(TakeReport, OutputHalvesAreInDeviceOrder) {
    controller c;
    uint8_t low[output_report_length] = {report_leds_low};
    uint8_t high[output_report_length] = {report_leds_high};
    for (int i = 0; i < 48; i++) {
        low[1 + i] = static_cast<uint8_t>(i);
        high[1 + i] = static_cast<uint8_t>(100 + i);
    }
    EXPECT_EQ(take_report(c, report_kind::output, low, sizeof low), "");
    EXPECT_EQ(take_report(c, report_kind::output, high, sizeof high), "");
    // Device LED 0 (first of 0x04) is host LED 31; device LED 31 (last of 0x05) is host LED 0.
    EXPECT_EQ(c.leds[size_t{3} * 31], 0);
    EXPECT_EQ(c.leds[size_t{3} * 31 + 2], 2);
    EXPECT_EQ(c.leds[size_t{3} * 16], 45);
    EXPECT_EQ(c.leds[size_t{3} * 15], 100);
    EXPECT_EQ(c.leds[0], 145);
    EXPECT_EQ(c.leds[2], 147);
}

TEST(TakeReport, LampsAndRefusedOutputs) {
    controller c;
    uint8_t lamps[output_report_length] = {report_lamps, 0xFF, 0x00, 0xFF, 0x00};
    EXPECT_EQ(take_report(c, report_kind::output, lamps, sizeof lamps), "");
    EXPECT_EQ(c.lamps[0], 0xFF);
    EXPECT_EQ(c.lamps[1], 0x00);
    EXPECT_EQ(c.lamps[2], 0xFF);
    EXPECT_EQ(take_report(c, report_kind::output, lamps, 9),
              "output report 0x06 of 9 bytes, expected 49");
    lamps[0] = 0x07;
    EXPECT_EQ(take_report(c, report_kind::output, lamps, sizeof lamps),
              "unknown output report 0x07");
    EXPECT_EQ(take_report(c, report_kind::output, lamps, 0), "empty report");
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
    command cmd = parse_ok("touch 5");
    EXPECT_EQ(cmd.what, op::touch);
    EXPECT_EQ(cmd.mask, 1u << 5);
    cmd = parse_ok("  touch 0 4-7 31   # comment");
    EXPECT_EQ(cmd.mask, 0x800000F1u);
    EXPECT_EQ(parse_ok("release all").mask, 0xFFFFFFFFu);
    cmd = parse_ok("button test down");
    EXPECT_EQ(cmd.what, op::button);
    EXPECT_EQ(cmd.value, 12u);
    EXPECT_TRUE(cmd.flag);
    cmd = parse_ok("button 5 up");
    EXPECT_EQ(cmd.value, 9u);
    EXPECT_FALSE(cmd.flag);
    EXPECT_EQ(parse_ok("buttons 0x1000").value, 0x1000u);
    cmd = parse_ok("wait 200");
    EXPECT_EQ(cmd.what, op::wait_ms);
    EXPECT_EQ(cmd.value, 200u);
    EXPECT_EQ(parse_ok("wait host").what, op::wait_host);
    EXPECT_EQ(parse_ok("rate 0").what, op::rate);
    EXPECT_TRUE(parse_ok("silent on").flag);
    EXPECT_EQ(parse_ok("unplug").what, op::unplug);
    EXPECT_EQ(parse_ok("plug").what, op::plug);
    EXPECT_EQ(parse_ok("quit").what, op::quit);
    cmd = parse_ok("echo  touching cell 5  ");
    EXPECT_EQ(cmd.what, op::echo);
    EXPECT_EQ(cmd.text, "touching cell 5");
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
    EXPECT_EQ(parse_error("tuch 5"), "line 7: unknown command 'tuch'");
    EXPECT_EQ(parse_error("touch 32"), "line 7: bad cell '32' (0-31, a range like 4-7, or all)");
    EXPECT_EQ(parse_error("touch -1"), "line 7: bad cell '-1' (0-31, a range like 4-7, or all)");
    EXPECT_EQ(parse_error("touch 7-4"), "line 7: bad cell '7-4' (0-31, a range like 4-7, or all)");
    EXPECT_EQ(parse_error("touch 5x"), "line 7: bad cell '5x' (0-31, a range like 4-7, or all)");
    EXPECT_EQ(parse_error("touch"), "line 7: touch needs at least one cell");
    EXPECT_EQ(parse_error("button coin down"),
              "line 7: unknown button 'coin' (test, service, 1-5)");
    EXPECT_EQ(parse_error("button test pressed"),
              "line 7: button state must be down or up, not 'pressed'");
    EXPECT_EQ(parse_error("button test"), "line 7: usage: button test|service|1-5 down|up");
    EXPECT_EQ(parse_error("buttons 0x10000"), "line 7: usage: buttons WORD (0 to 0xffff)");
    EXPECT_EQ(parse_error("wait"), "line 7: usage: wait MS (0 to 3600000) or wait host");
    EXPECT_EQ(parse_error("wait soon"), "line 7: usage: wait MS (0 to 3600000) or wait host");
    EXPECT_EQ(parse_error("wait 99999999999999999999"),
              "line 7: usage: wait MS (0 to 3600000) or wait host");
    EXPECT_EQ(parse_error("silent maybe"), "line 7: usage: silent on|off");
    EXPECT_EQ(parse_error("quit now"), "line 7: quit takes no argument");
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
    EXPECT_EQ(key_for('T', &value), key_action::toggle_button);
    EXPECT_EQ(value, 12u);
    EXPECT_EQ(key_for('Z', &value), key_action::toggle_button);
    EXPECT_EQ(value, 2u); // game button 1
    EXPECT_EQ(key_for('B', &value), key_action::toggle_button);
    EXPECT_EQ(value, 9u); // game button 5
    EXPECT_EQ(key_for(' ', &value), key_action::release_all);
    EXPECT_EQ(key_for('U', &value), key_action::toggle_plug);
    EXPECT_EQ(key_for('M', &value), key_action::toggle_mute);
    EXPECT_EQ(key_for('Q', &value), key_action::quit);
    EXPECT_EQ(key_for(27, &value), key_action::quit);
    EXPECT_EQ(key_for('%', &value), key_action::none);
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
    EXPECT_EQ(kind_of_report(0x0B), report_kind::feature);
    EXPECT_EQ(kind_of_report(0x04), report_kind::output);
}
