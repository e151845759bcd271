// tevu-vctl's script: read from a file before the controller starts, or line
// by line from stdin while it runs, and carried out command by command.
#include "vctl_tool.h"

#include <fstream>
#include <sstream>

namespace vctl_tool {

bool load_script(vctl_state &s) {
    if (s.opt.script.empty() || s.opt.script == "-") {
        return true;
    }
    std::ifstream in(s.opt.script);
    if (!in) {
        fprintf(stderr, "%s: cannot read script %s\n", program, s.opt.script.c_str());
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    if (!vctl::parse_script(text.str(), &s.runner.commands, &error)) {
        fprintf(stderr, "%s: %s: %s\n", program, s.opt.script.c_str(), error.c_str());
        return false;
    }
    return true;
}

void run_script(vctl_state &s, uint64_t now) {
    vctl::command cmd;
    while (!s.quit && vctl::runner_next(s.runner, now / 1000000, host_on_input(s), &cmd)) {
        carry_out(s, cmd);
    }
}

void carry_out(vctl_state &s, const vctl::command &cmd) {
    if (vctl::apply_input_command(s.model, cmd)) {
        s.display_dirty = true;
        return;
    }
    switch (cmd.what) {
    case vctl::op::rate:
        s.rate = cmd.value;
        s.next_input_ns = now_ns();
        break;
    case vctl::op::silent:
        s.silent = cmd.flag;
        break;
    case vctl::op::unplug:
        set_plugged(s, false);
        break;
    case vctl::op::plug:
        set_plugged(s, true);
        break;
    case vctl::op::echo:
        say(s, cmd.text, true);
        break;
    case vctl::op::quit:
        s.quit = true;
        break;
    default:
        break;
    }
    s.display_dirty = true;
}

void take_script_text(vctl_state &s, const char *text, size_t length) {
    s.stdin_pending.append(text, length);
    size_t end;
    while ((end = s.stdin_pending.find('\n')) != std::string::npos) {
        const std::string line = s.stdin_pending.substr(0, end);
        s.stdin_pending.erase(0, end + 1);
        vctl::command cmd;
        bool blank = false;
        std::string error;
        if (!vctl::parse_line(line, ++s.stdin_line_no, &cmd, &blank, &error)) {
            say(s, "script " + error);
        } else if (!blank) {
            s.runner.commands.push_back(cmd);
        }
    }
}

} // namespace vctl_tool
