#include "vctl_model.h"

#include "lzf/lzf_decode.h"
#include "platform/virtual_hid.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace vctl {

namespace {

struct named_button {
    const char *name;
    uint8_t bit;
};

// Where the buttons sit in the button word: the library's own layout.
const named_button buttons_by_name[] = {
    {"test", report::button_bit_test}, {"service", report::button_bit_service},
    {"1", report::game_button_bit[0]}, {"2", report::game_button_bit[1]},
    {"3", report::game_button_bit[2]}, {"4", report::game_button_bit[3]},
    {"5", report::game_button_bit[4]},
};

std::string format(const char *fmt, ...) {
    char buffer[256];
    va_list args;
    va_start(args, fmt);
    // va_start just above initialises args; the analyzer loses track of it.
    vsnprintf(buffer, sizeof buffer, fmt, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    return buffer;
}

bool parse_number(const std::string &word, uint32_t max, uint32_t *out) {
    if (word.empty() || word[0] == '-' || word[0] == '+') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long value = strtoull(word.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > max) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

// "5", "4-7" or "all" into a mask of cells.
bool parse_cells(const std::string &word, uint32_t *mask) {
    if (word == "all") {
        *mask = 0xFFFFFFFFu;
        return true;
    }
    uint32_t first = 0;
    uint32_t last = 0;
    size_t dash = word.find('-', 1);
    if (dash == std::string::npos) {
        if (!parse_number(word, cell_count - 1, &first)) {
            return false;
        }
        last = first;
    } else if (!parse_number(word.substr(0, dash), cell_count - 1, &first) ||
               !parse_number(word.substr(dash + 1), cell_count - 1, &last) || last < first) {
        return false;
    }
    for (uint32_t c = first; c <= last; c++) {
        *mask |= 1u << c;
    }
    return true;
}

std::vector<std::string> split_words(const std::string &line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

} // namespace

bool button_bit(const std::string &name, uint8_t *bit) {
    for (const named_button &b : buttons_by_name) {
        if (name == b.name) {
            *bit = b.bit;
            return true;
        }
    }
    return false;
}

const char *button_name(uint8_t bit) {
    for (const named_button &b : buttons_by_name) {
        if (bit == b.bit) {
            return b.name;
        }
    }
    return nullptr;
}

uint32_t slider_word(uint32_t touched) {
    uint32_t word = 0;
    for (int c = 0; c < cell_count; c++) {
        if (touched & (1u << c)) {
            word |= 1u << report::cell_of_slider_bit(c);
        }
    }
    return word ^ slider_untouched;
}

uint32_t touched_cells(uint32_t word) {
    word ^= slider_untouched;
    uint32_t touched = 0;
    for (int c = 0; c < cell_count; c++) {
        if (word & (1u << report::cell_of_slider_bit(c))) {
            touched |= 1u << c;
        }
    }
    return touched;
}

void encode_input_report(const controller &c, uint8_t out[input_report_length]) {
    report::make_input(out, c.buttons, slider_word(c.touched));
}

int lzf_expand(const uint8_t *in, size_t in_length, uint8_t *out, size_t room) {
    std::vector<uint8_t> expanded;
    if (!lzf_block_expand(in, in_length, expanded) || expanded.size() > room) {
        return -1;
    }
    std::copy(expanded.begin(), expanded.end(), out);
    return static_cast<int>(expanded.size());
}

std::string take_report(controller &c, report_kind kind, const uint8_t *report, size_t length) {
    if (length == 0) {
        return "empty report";
    }
    const uint8_t id = report[0];
    if (kind == report_kind::feature) {
        if (id != report_leds_packed) {
            return format("unknown feature report 0x%02x", id);
        }
        if (length != feature_report_length) {
            return format("feature report 0x0b of %zu bytes, expected 64", length);
        }
        const size_t block = report[1];
        if (block > feature_block_room) {
            return format("feature report 0x0b: block length %zu above 62", block);
        }
        uint8_t frame[frame_length];
        const int n = lzf_expand(report + 2, block, frame, sizeof frame);
        if (n != static_cast<int>(frame_length)) {
            return n < 0 ? "feature report 0x0b: malformed block or longer than 96 bytes"
                         : format("feature report 0x0b: block expands to %d bytes, not 96", n);
        }
        memcpy(c.leds, frame, frame_length);
        return "";
    }
    if (id != report_leds_low && id != report_leds_high && id != report_lamps) {
        return format("unknown output report 0x%02x", id);
    }
    if (length != output_report_length) {
        return format("output report 0x%02x of %zu bytes, expected 49", id, length);
    }
    if (id == report_lamps) {
        memcpy(c.lamps, report + 1, sizeof c.lamps);
        return "";
    }
    // 0x04 carries device LEDs 0-15, 0x05 device LEDs 16-31.
    const size_t first_device_led = id == report_leds_low ? 0 : report::led_count / 2;
    for (size_t i = 0; i < report::led_count / 2; i++) {
        const size_t host_led = report::device_led_of_host_led(first_device_led + i);
        memcpy(c.leds + 3 * host_led, report + 1 + 3 * i, 3);
    }
    return "";
}

namespace {

// HID short items: the prefix is the tag and type, plus the size of the data.
enum : uint8_t {
    item_usage_page_2 = 0x06,
    item_usage = 0x09,
    item_collection = 0xA1,
    item_end_collection = 0xC0,
    item_logical_min = 0x15,
    item_logical_max_2 = 0x26,
    item_report_size = 0x75,
    item_report_id = 0x85,
    item_report_count = 0x95,
    item_input = 0x81,
    item_output = 0x91,
    item_feature = 0xB1,
};
constexpr uint8_t collection_application = 0x01;
constexpr uint8_t data_variable_absolute = 0x02;

// One report: its ID, a usage numbered after it, its data bytes, the main item.
void describe_report(std::vector<uint8_t> &d, uint8_t main_item, uint8_t id, size_t length) {
    const uint8_t items[] = {item_report_id,    id,
                             item_usage,        id,
                             item_report_count, static_cast<uint8_t>(length - 1),
                             main_item,         data_variable_absolute};
    d.insert(d.end(), std::begin(items), std::end(items));
}

} // namespace

std::vector<uint8_t> report_descriptor(interface_reports which) {
    // Usage page 0xFF00 (vendor-defined), usage 1, bytes 0-255.
    std::vector<uint8_t> d = {item_usage_page_2,
                              0x00,
                              0xFF,
                              item_usage,
                              0x01,
                              item_collection,
                              collection_application,
                              item_logical_min,
                              0x00,
                              item_logical_max_2,
                              0xFF,
                              0x00,
                              item_report_size,
                              8};
    if (which != interface_reports::lighting) {
        describe_report(d, item_input, report_input, input_report_length);
    }
    if (which != interface_reports::input) {
        for (const uint8_t id : {report_leds_low, report_leds_high, report_lamps}) {
            describe_report(d, item_output, id, output_report_length);
        }
        describe_report(d, item_feature, report_leds_packed, feature_report_length);
    }
    d.push_back(item_end_collection);
    return d;
}

size_t longest_report(interface_reports which) {
    return which == interface_reports::input
               ? input_report_length
               : std::max({input_report_length, output_report_length, feature_report_length});
}

report_kind kind_of_report(uint8_t id) {
    return id == report_leds_packed ? report_kind::feature : report_kind::output;
}

message_check read_host_message(const uint8_t *message, size_t length, host_message *out) {
    if (length == 0 || (message[0] != VHID_OUTPUT && message[0] != VHID_FEATURE)) {
        return message_check::unexpected_kind;
    }
    if (length < 3) {
        return message_check::too_short;
    }
    out->kind = message[0] == VHID_OUTPUT ? report_kind::output : report_kind::feature;
    out->sequence = message[1];
    out->report = message + 2;
    out->length = length - 2;
    return message_check::report;
}

void make_ack(uint8_t sequence, uint8_t out[ack_length]) {
    out[0] = VHID_ACK;
    out[1] = sequence;
}

std::string hex_bytes(const uint8_t *data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 3);
    for (size_t i = 0; i < length; i++) {
        if (i > 0) {
            text += ' ';
        }
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

const char *const script_help =
    "  touch CELLS...      touch cells: numbers 0-31, ranges like 4-7, or all\n"
    "  release CELLS...    release cells (same forms)\n"
    "  button B down|up    press or release a button; B: test, service, 1-5\n"
    "  buttons WORD        set the whole button word (e.g. 0x1000)\n"
    "  wait MS             pause for MS milliseconds\n"
    "  wait host           pause until a host has opened the input interface\n"
    "  rate N              send N input reports per second (0: none)\n"
    "  silent on|off       stop or resume sending input reports\n"
    "  unplug              close every connection and withdraw the interfaces\n"
    "  plug                publish the interfaces again\n"
    "  echo TEXT           print TEXT\n"
    "  quit                end the controller\n"
    "  '#' starts a comment; blank lines are skipped.\n";

namespace {

// A line without its comment, and its words. Each command's parser fills *cmd
// from them and returns "" or what is wrong with the line.
struct script_line {
    std::string text;
    std::vector<std::string> words;
    size_t args() const { return words.size() - 1; }
};
using command_parser = std::string (*)(const script_line &line, command *cmd);

std::string parse_cells_command(const script_line &line, command *cmd) {
    if (line.args() == 0) {
        return line.words[0] + " needs at least one cell";
    }
    for (size_t i = 1; i < line.words.size(); i++) {
        if (!parse_cells(line.words[i], &cmd->mask)) {
            return "bad cell '" + line.words[i] + "' (0-31, a range like 4-7, or all)";
        }
    }
    return "";
}

std::string parse_button(const script_line &line, command *cmd) {
    uint8_t bit = 0;
    if (line.args() != 2) {
        return "usage: button test|service|1-5 down|up";
    }
    if (!button_bit(line.words[1], &bit)) {
        return "unknown button '" + line.words[1] + "' (test, service, 1-5)";
    }
    if (line.words[2] != "down" && line.words[2] != "up") {
        return "button state must be down or up, not '" + line.words[2] + "'";
    }
    cmd->value = bit;
    cmd->flag = line.words[2] == "down";
    return "";
}

std::string parse_buttons(const script_line &line, command *cmd) {
    if (line.args() != 1 || !parse_number(line.words[1], 0xFFFF, &cmd->value)) {
        return "usage: buttons WORD (0 to 0xffff)";
    }
    return "";
}

std::string parse_wait(const script_line &line, command *cmd) {
    if (line.args() == 1 && line.words[1] == "host") {
        cmd->what = op::wait_host;
    } else if (line.args() != 1 || !parse_number(line.words[1], 3600u * 1000u, &cmd->value)) {
        return "usage: wait MS (0 to 3600000) or wait host";
    }
    return "";
}

std::string parse_rate(const script_line &line, command *cmd) {
    if (line.args() != 1 || !parse_number(line.words[1], 100000, &cmd->value)) {
        return "usage: rate N (0 to 100000 reports per second)";
    }
    return "";
}

std::string parse_silent(const script_line &line, command *cmd) {
    if (line.args() != 1 || (line.words[1] != "on" && line.words[1] != "off")) {
        return "usage: silent on|off";
    }
    cmd->flag = line.words[1] == "on";
    return "";
}

std::string parse_no_argument(const script_line &line, command *) {
    return line.args() == 0 ? "" : line.words[0] + " takes no argument";
}

std::string parse_echo(const script_line &line, command *cmd) {
    const std::string &text = line.text;
    const size_t first = text.find_first_not_of(" \t", text.find("echo") + 4);
    const size_t last = text.find_last_not_of(" \t\r\n");
    cmd->text = first == std::string::npos ? "" : text.substr(first, last - first + 1);
    return "";
}

struct verb {
    const char *name;
    op what;
    command_parser parse;
};

const verb verbs[] = {
    {"touch", op::touch, parse_cells_command}, {"release", op::release, parse_cells_command},
    {"button", op::button, parse_button},      {"buttons", op::buttons, parse_buttons},
    {"wait", op::wait_ms, parse_wait},         {"rate", op::rate, parse_rate},
    {"silent", op::silent, parse_silent},      {"unplug", op::unplug, parse_no_argument},
    {"plug", op::plug, parse_no_argument},     {"echo", op::echo, parse_echo},
    {"quit", op::quit, parse_no_argument},
};

} // namespace

bool parse_line(const std::string &line, int line_no, command *out, bool *blank,
                std::string *error) {
    script_line parsed;
    parsed.text = line.substr(0, line.find('#'));
    parsed.words = split_words(parsed.text);
    *blank = parsed.words.empty();
    if (parsed.words.empty()) {
        return true;
    }
    const std::string &name = parsed.words[0];
    std::string why = "unknown command '" + name + "'";
    command cmd;
    for (const verb &v : verbs) {
        if (name == v.name) {
            cmd.what = v.what;
            cmd.line = line_no;
            why = v.parse(parsed, &cmd);
            break;
        }
    }
    if (!why.empty()) {
        *error = format("line %d: ", line_no) + why;
        return false;
    }
    *out = cmd;
    return true;
}

bool parse_script(const std::string &text, std::vector<command> *out, std::string *error) {
    std::istringstream in(text);
    std::string line;
    int line_no = 0;
    while (std::getline(in, line)) {
        line_no++;
        command cmd;
        bool blank = false;
        if (!parse_line(line, line_no, &cmd, &blank, error)) {
            return false;
        }
        if (!blank) {
            out->push_back(cmd);
        }
    }
    return true;
}

bool apply_input_command(controller &c, const command &cmd) {
    switch (cmd.what) {
    case op::touch:
        c.touched |= cmd.mask;
        return true;
    case op::release:
        c.touched &= ~cmd.mask;
        return true;
    case op::button:
        if (cmd.flag) {
            c.buttons = static_cast<uint16_t>(c.buttons | (1u << cmd.value));
        } else {
            c.buttons = static_cast<uint16_t>(c.buttons & ~(1u << cmd.value));
        }
        return true;
    case op::buttons:
        c.buttons = static_cast<uint16_t>(cmd.value);
        return true;
    default:
        return false;
    }
}

bool runner_next(script_runner &r, uint64_t now_ms, bool host_connected, command *out) {
    while (r.next < r.commands.size()) {
        const command &cmd = r.commands[r.next];
        if (cmd.what == op::wait_ms) {
            if (!r.waiting) {
                r.waiting = true;
                r.wait_until_ms = now_ms + cmd.value;
            }
            if (now_ms < r.wait_until_ms) {
                return false;
            }
            r.waiting = false;
            r.next++;
            continue;
        }
        if (cmd.what == op::wait_host) {
            if (!host_connected) {
                return false;
            }
            r.next++;
            continue;
        }
        *out = cmd;
        r.next++;
        return true;
    }
    return false;
}

bool runner_finished(const script_runner &r) {
    return r.next >= r.commands.size();
}

uint64_t runner_wake_ms(const script_runner &r) {
    return r.waiting ? r.wait_until_ms : 0;
}

namespace {
const char cell_keys[] = "1234567890qwertyuiopasdfghjkl;zx";
const char game_button_keys[] = "ZXCVB";
} // namespace

const char *const keyboard_help =
    "  1-0 q-p a-; z x   toggle cells 0-31 (four rows of the keyboard)\n"
    "  T S               toggle the test and service buttons\n"
    "  Z X C V B         toggle game buttons 1-5\n"
    "  space             release every cell and button\n"
    "  U                 unplug or plug the controller\n"
    "  M                 stop or resume the input reports\n"
    "  Q Esc Ctrl+C      quit\n";

key_action key_for(char key, uint32_t *value) {
    static_assert(sizeof cell_keys - 1 == cell_count, "one key per cell");
    for (int c = 0; c < cell_count; c++) {
        if (key == cell_keys[c]) {
            *value = static_cast<uint32_t>(c);
            return key_action::toggle_cell;
        }
    }
    for (int b = 0; b < 5; b++) {
        if (key == game_button_keys[b]) {
            uint8_t bit = 0;
            const char name[2] = {static_cast<char>('1' + b), '\0'};
            button_bit(name, &bit);
            *value = bit;
            return key_action::toggle_button;
        }
    }
    uint8_t bit = 0;
    switch (key) {
    case 'T':
        button_bit("test", &bit);
        *value = bit;
        return key_action::toggle_button;
    case 'S':
        button_bit("service", &bit);
        *value = bit;
        return key_action::toggle_button;
    case ' ':
        return key_action::release_all;
    case 'U':
        return key_action::toggle_plug;
    case 'M':
        return key_action::toggle_mute;
    case 'Q':
    case 27:
    case 3:
        return key_action::quit;
    default:
        return key_action::none;
    }
}

std::vector<std::string> render_status(const controller &c, const status_info &info) {
    std::vector<std::string> lines;
    std::string line = "cell   ";
    for (int i = 0; i < cell_count; i++) {
        line += static_cast<char>('0' + i % 10);
        line += ' ';
    }
    lines.push_back(line);

    line = "LEDs   ";
    for (int i = 0; i < led_count; i++) {
        const uint8_t *rgb = c.leds + 3 * static_cast<size_t>(i);
        line += format("\x1b[48;2;%u;%u;%um  ", rgb[0], rgb[1], rgb[2]);
    }
    line += "\x1b[0m";
    lines.push_back(line);

    line = "touch  ";
    for (int i = 0; i < cell_count; i++) {
        line += (c.touched & (1u << i)) ? "##" : "..";
    }
    lines.push_back(line);

    line = "lamps  ";
    for (int i = 0; i < 4; i++) {
        const unsigned v = c.lamps[i];
        line += format("\x1b[48;2;%u;%u;0m %d \x1b[0m ", v, v * 3 / 4, i);
    }
    line += "  buttons ";
    for (const named_button &b : buttons_by_name) {
        const bool down = (c.buttons >> b.bit) & 1u;
        line += down ? format("\x1b[7m%s\x1b[0m ", b.name) : format("%s ", b.name);
    }
    lines.push_back(line);

    std::string state = !info.plugged ? "unplugged" : info.silent ? "silent" : "sending";
    lines.push_back(format("%s, hosts: %d input, %d lighting; %u reports/s; sent %llu, "
                           "taken %llu, refused %llu",
                           state.c_str(), info.input_hosts, info.lighting_hosts, info.rate,
                           static_cast<unsigned long long>(info.reports_sent),
                           static_cast<unsigned long long>(c.reports_taken),
                           static_cast<unsigned long long>(c.reports_refused)));
    lines.push_back(info.message);
    return lines;
}

} // namespace vctl
