#include "vctl_script_language.h"

#include "vctl_text.h"

#include <sstream>

namespace vctl {

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

// A line without its comment, and its words. Each command's parser fills *cmd
// from them and returns "" or what is wrong with the line.
struct script_line {
    std::string text;
    std::vector<std::string> words;
    size_t args() const { return words.size() - 1; }
};

struct verb;
using command_parser = std::string (*)(const script_line &line, const verb &v, command *cmd);

// A command's name, what it does and the parser of its line; usage is what a
// line with bad arguments is told, max the largest number argument.
struct verb {
    const char *name;
    op what;
    command_parser parse;
    const char *usage;
    uint32_t max;
};

std::string parse_cells_command(const script_line &line, const verb &, command *cmd) {
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

std::string parse_button(const script_line &line, const verb &v, command *cmd) {
    uint8_t bit = 0;
    if (line.args() != 2) {
        return v.usage;
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

std::string parse_number_argument(const script_line &line, const verb &v, command *cmd) {
    if (line.args() != 1 || !parse_number(line.words[1], v.max, &cmd->value)) {
        return v.usage;
    }
    return "";
}

std::string parse_wait(const script_line &line, const verb &v, command *cmd) {
    if (line.args() == 1 && line.words[1] == "host") {
        cmd->what = op::wait_host;
        return "";
    }
    return parse_number_argument(line, v, cmd);
}

std::string parse_silent(const script_line &line, const verb &v, command *cmd) {
    if (line.args() != 1 || (line.words[1] != "on" && line.words[1] != "off")) {
        return v.usage;
    }
    cmd->flag = line.words[1] == "on";
    return "";
}

std::string parse_no_argument(const script_line &line, const verb &, command *) {
    return line.args() == 0 ? "" : line.words[0] + " takes no argument";
}

std::string parse_echo(const script_line &line, const verb &, command *cmd) {
    const std::string &text = line.text;
    const size_t first = text.find_first_not_of(" \t", text.find("echo") + 4);
    const size_t last = text.find_last_not_of(" \t\r\n");
    cmd->text = first == std::string::npos ? "" : text.substr(first, last - first + 1);
    return "";
}

const verb verbs[] = {
    {"touch", op::touch, parse_cells_command, nullptr, 0},
    {"release", op::release, parse_cells_command, nullptr, 0},
    {"button", op::button, parse_button, "usage: button test|service|1-5 down|up", 0},
    {"buttons", op::buttons, parse_number_argument, "usage: buttons WORD (0 to 0xffff)", 0xFFFF},
    {"wait", op::wait_ms, parse_wait, "usage: wait MS (0 to 3600000) or wait host", 3600000},
    {"rate", op::rate, parse_number_argument, "usage: rate N (0 to 100000 reports per second)",
     100000},
    {"silent", op::silent, parse_silent, "usage: silent on|off", 0},
    {"unplug", op::unplug, parse_no_argument, nullptr, 0},
    {"plug", op::plug, parse_no_argument, nullptr, 0},
    {"echo", op::echo, parse_echo, nullptr, 0},
    {"quit", op::quit, parse_no_argument, nullptr, 0},
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
            why = v.parse(parsed, v, &cmd);
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

} // namespace vctl
