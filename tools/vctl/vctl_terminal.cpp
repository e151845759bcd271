// tevu-vctl's terminal: the live picture of the LEDs, lamps and touches, the
// event messages, and the keys of the interactive mode.
#include "vctl_tool.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <termios.h>
#include <unistd.h>

namespace vctl_tool {

namespace {

bool raw_mode = false;
termios saved_termios{};

void take_key(vctl_state &s, char key) {
    uint32_t value = 0;
    switch (vctl::key_for(key, &value)) {
    case vctl::key_action::toggle_cell:
        s.model.touched ^= 1u << value;
        break;
    case vctl::key_action::toggle_button:
        s.model.buttons = static_cast<uint16_t>(s.model.buttons ^ (1u << value));
        break;
    case vctl::key_action::release_all:
        s.model.touched = 0;
        s.model.buttons = 0;
        break;
    case vctl::key_action::toggle_plug:
        set_plugged(s, !s.plugged);
        break;
    case vctl::key_action::toggle_mute:
        s.silent = !s.silent;
        say(s, s.silent ? "input reports stopped" : "input reports resumed");
        break;
    case vctl::key_action::quit:
        s.quit = true;
        break;
    case vctl::key_action::none:
        break;
    }
    s.display_dirty = true;
}

} // namespace

void say(vctl_state &s, const std::string &text, bool from_script) {
    if (s.display) {
        s.message = text;
        s.display_dirty = true;
    } else if (!s.opt.quiet || from_script) {
        fprintf(stderr, "%s: %s\n", program, text.c_str());
    }
}

void restore_terminal() {
    if (raw_mode) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_termios);
        raw_mode = false;
    }
}

bool enter_raw_mode() {
    if (tcgetattr(STDIN_FILENO, &saved_termios) != 0) {
        return false;
    }
    termios raw = saved_termios;
    // Ctrl+C still raises SIGINT.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        return false;
    }
    raw_mode = true;
    atexit(restore_terminal);
    return true;
}

void take_stdin(vctl_state &s) {
    char buffer[512];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            s.stdin_open = false;
        }
        return;
    }
    if (n == 0) {
        s.stdin_open = false;
        return;
    }
    if (s.script_from_stdin) {
        take_script_text(s, buffer, static_cast<size_t>(n));
        return;
    }
    for (ssize_t i = 0; i < n; i++) {
        take_key(s, buffer[i]);
    }
}

uint64_t redraw_due(vctl_state &s, uint64_t now, uint64_t wake) {
    if (!s.display || !s.display_dirty) {
        return wake;
    }
    if (now < s.next_draw_ns) {
        return std::min(wake, s.next_draw_ns);
    }
    draw(s);
    s.next_draw_ns = now + 1000000000ull / 30;
    return wake;
}

void draw(vctl_state &s) {
    vctl::status_info info;
    info.plugged = s.plugged;
    info.silent = s.silent || s.rate == 0;
    info.input_hosts = count_hosts(s, true);
    info.lighting_hosts = count_hosts(s, false);
    info.rate = s.rate;
    info.reports_sent = s.reports_sent;
    info.message = s.message;
    const std::vector<std::string> lines = vctl::render_status(s.model, info);
    std::string out;
    if (s.drawn_lines > 0) {
        out += "\x1b[" + std::to_string(s.drawn_lines) + "A";
    }
    for (const std::string &line : lines) {
        out += "\r\x1b[2K" + line + "\n";
    }
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
    s.drawn_lines = static_cast<int>(lines.size());
    s.display_dirty = false;
}

} // namespace vctl_tool
