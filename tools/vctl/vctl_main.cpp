// tevu-vctl: a virtual touch-slider controller for Linux.
//
// Publishes the controller's HID interfaces as sockets in a folder (see
// src/platform/virtual_hid.h), sends input report 0x01 at the controller's
// pace, takes the light reports 0x04, 0x05, 0x06 and 0x0B and acknowledges
// each, plays a script or follows the keyboard, shows the LEDs, lamps and
// touched cells live in the terminal, and can log every report it takes.
#include "platform/virtual_hid.h"
#include "vctl_model.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const program = "tevu-vctl";

struct options {
    std::string dir;
    std::string interfaces = "both";
    uint32_t vid = 0x0F0D;
    uint32_t pid = 0x7001;
    std::string name = "tevu-vctl";
    uint32_t rate = 1000;
    uint32_t ack_rate = 1000;
    bool silent = false;
    std::string script;
    bool interactive = false;
    int display = -1; // -1: when stdout is a terminal
    std::string log;
    bool quiet = false;
};

void usage(FILE *out) {
    fprintf(out,
            "usage: %s [options]\n"
            "A virtual touch-slider controller: publishes its HID interfaces as sockets\n"
            "that the Linux tevuio library opens when TEVUIO_VIRTUAL_HID_DIR names the folder.\n"
            "\n"
            "  --dir DIR            folder of the sockets (default: $TEVUIO_VIRTUAL_HID_DIR)\n"
            "  --interfaces KIND    both (input mi_00 + lighting mi_01, default), input,\n"
            "                       lighting, or single (one interface, no mi_ part)\n"
            "  --vid N --pid N      USB vendor and product ID (default 0x0f0d, 0x7001)\n"
            "  --name TEXT          device name in the socket names (default tevu-vctl)\n"
            "  --rate N             input reports per second (default 1000; 0: none)\n"
            "  --ack-rate N         light reports taken per second and interface, the\n"
            "                       pace of the USB bus (default 1000; 0: no pacing)\n"
            "  --silent             stay connected but send no input report\n"
            "  --script FILE        play a script; '-' reads it line by line from stdin\n"
            "  --interactive        follow the keyboard (default when stdin is a terminal\n"
            "                       and no script is given)\n"
            "  --display, --no-display\n"
            "                       show LEDs, lamps and touches live (default: when stdout\n"
            "                       is a terminal)\n"
            "  --log FILE           append every report taken, one line each: 'O' (output)\n"
            "                       or 'F' (feature), then the report's bytes in hex\n"
            "  --quiet              no event messages on stderr but the script's echo lines\n"
            "  --help\n"
            "\n"
            "Script commands (one per line):\n%s"
            "\n"
            "Keys of the interactive mode:\n%s",
            program, vctl::script_help, vctl::keyboard_help);
}

// --- Time --------------------------------------------------------------------
uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// --- Signals -------------------------------------------------------------------
volatile sig_atomic_t stop_signal = 0;
void on_stop_signal(int sig) {
    stop_signal = sig;
}

// --- Terminal -------------------------------------------------------------------
bool raw_mode = false;
termios saved_termios{};

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
    // Keys one at a time, no echo; Ctrl+C still raises SIGINT.
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

// --- Interfaces ----------------------------------------------------------------
struct client {
    int fd = -1;
    bool ack_pending = false;
    uint64_t ack_due_ns = 0;
};

struct interface_socket {
    std::string label; // "input", "lighting" or "single"
    bool sends_input = false;
    std::string path;
    int listen_fd = -1;
    // The socket file this process bound, told apart from one put in its place.
    dev_t dev = 0;
    ino_t ino = 0;
    std::vector<client> clients;
    uint64_t next_ack_ns = 0; // the bus takes one report per slot
};

struct vctl_state {
    options opt;
    vctl::controller model;
    std::vector<interface_socket> sockets;
    bool plugged = false;
    bool silent = false;
    uint32_t rate = 1000;
    uint64_t next_input_ns = 0;
    uint64_t reports_sent = 0;
    FILE *log = nullptr;
    bool display = false;
    bool display_dirty = true;
    int drawn_lines = 0;
    uint64_t next_draw_ns = 0;
    std::string message;
    vctl::script_runner runner;
    bool script_from_stdin = false;
    bool stdin_open = false;
    std::string stdin_pending;
    int stdin_line_no = 0;
    bool quit = false;
    // Counts withdrawals, so that a pass over the connections notices that
    // they were all closed under it.
    uint64_t generation = 0;
};

// An event message; --quiet silences all but the script's own echo lines.
void say(vctl_state &s, const std::string &text, bool from_script = false) {
    if (s.display) {
        s.message = text;
        s.display_dirty = true;
    } else if (!s.opt.quiet || from_script) {
        fprintf(stderr, "%s: %s\n", program, text.c_str());
    }
}

int count_hosts(const vctl_state &s, bool input) {
    int n = 0;
    for (const interface_socket &is : s.sockets) {
        if (is.sends_input == input) {
            n += static_cast<int>(is.clients.size());
        }
    }
    return n;
}

bool host_on_input(const vctl_state &s) {
    for (const interface_socket &is : s.sockets) {
        if (is.sends_input && !is.clients.empty()) {
            return true;
        }
    }
    return false;
}

void close_client(client &c) {
    if (c.fd >= 0) {
        close(c.fd);
        c.fd = -1;
    }
}

void withdraw(vctl_state &s) {
    for (interface_socket &is : s.sockets) {
        for (client &c : is.clients) {
            close_client(c);
        }
        is.clients.clear();
        if (is.listen_fd >= 0) {
            close(is.listen_fd);
            is.listen_fd = -1;
            struct stat now {};
            if (lstat(is.path.c_str(), &now) == 0 && now.st_dev == is.dev && now.st_ino == is.ino) {
                unlink(is.path.c_str());
            }
        }
    }
    s.plugged = false;
    s.generation++;
}

bool publish(vctl_state &s) {
    for (interface_socket &is : s.sockets) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            fprintf(stderr, "%s: socket: %s\n", program, strerror(errno));
            withdraw(s);
            return false;
        }
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, is.path.c_str(), is.path.size() + 1);
        // A socket left by an earlier run that was killed: the folder's lock
        // says no live instance serves it.
        unlink(is.path.c_str());
        struct stat bound {};
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            lstat(is.path.c_str(), &bound) != 0 || listen(fd, 8) != 0) {
            fprintf(stderr, "%s: cannot publish %s: %s\n", program, is.path.c_str(),
                    strerror(errno));
            close(fd);
            withdraw(s);
            return false;
        }
        is.listen_fd = fd;
        is.dev = bound.st_dev;
        is.ino = bound.st_ino;
    }
    s.plugged = true;
    return true;
}

void log_report(vctl_state &s, char kind, const uint8_t *report, size_t length) {
    if (s.log == nullptr) {
        return;
    }
    fprintf(s.log, "%c %s\n", kind, vctl::hex_bytes(report, length).c_str());
    fflush(s.log);
}

void send_ack(client &c) {
    const uint8_t ack = VHID_ACK;
    if (send(c.fd, &ack, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1 && errno != EAGAIN) {
        // The host is gone; its hang-up closes the connection.
    }
    c.ack_pending = false;
}

// A message from a host. Returns false when the connection ended.
bool take_message(vctl_state &s, interface_socket &is, client &c) {
    uint8_t message[256];
    const ssize_t n = recv(c.fd, message, sizeof message, MSG_DONTWAIT);
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR;
    }
    if (n == 0) {
        return false;
    }
    const size_t length = static_cast<size_t>(n);
    const uint8_t kind = message[0];
    if (kind != VHID_OUTPUT && kind != VHID_FEATURE) {
        s.model.reports_refused++;
        say(s, "unexpected message of kind 0x" + vctl::hex_bytes(&kind, 1) + " on the " + is.label +
                   " interface");
        return true;
    }
    const vctl::report_kind rk =
        kind == VHID_OUTPUT ? vctl::report_kind::output : vctl::report_kind::feature;
    log_report(s, kind == VHID_OUTPUT ? 'O' : 'F', message + 1, length - 1);
    const std::string why = vctl::take_report(s.model, rk, message + 1, length - 1);
    if (why.empty()) {
        s.model.reports_taken++;
    } else {
        s.model.reports_refused++;
        say(s, "refused: " + why);
    }
    s.display_dirty = true;

    // The host's write returns when the ACK arrives; the bus takes one
    // report per slot.
    const uint64_t now = now_ns();
    uint64_t due = now;
    if (s.opt.ack_rate > 0) {
        if (is.next_ack_ns > due) {
            due = is.next_ack_ns;
        }
        is.next_ack_ns = due + 1000000000ull / s.opt.ack_rate;
    }
    c.ack_pending = true;
    c.ack_due_ns = due;
    if (due <= now) {
        send_ack(c);
    }
    return true;
}

void send_input_reports(vctl_state &s) {
    uint8_t message[1 + vctl::input_report_length];
    message[0] = VHID_INPUT;
    vctl::encode_input_report(s.model, message + 1);
    for (interface_socket &is : s.sockets) {
        if (!is.sends_input) {
            continue;
        }
        for (client &c : is.clients) {
            // A host that does not read loses reports, as with a full HID queue.
            if (send(c.fd, message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT) ==
                static_cast<ssize_t>(sizeof message)) {
                s.reports_sent++;
            }
        }
    }
}

void set_plugged(vctl_state &s, bool plug) {
    if (plug && !s.plugged) {
        if (publish(s)) {
            say(s, "plugged in");
        }
    } else if (!plug && s.plugged) {
        withdraw(s);
        say(s, "unplugged");
    }
    s.display_dirty = true;
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
    if (!s.script_from_stdin) {
        for (ssize_t i = 0; i < n; i++) {
            take_key(s, buffer[i]);
        }
        return;
    }
    s.stdin_pending.append(buffer, static_cast<size_t>(n));
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

bool parse_uint(const char *text, uint32_t max, uint32_t *out) {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv, options *o) {
    const char *env_dir = getenv(VHID_DIR_ENV);
    if (env_dir != nullptr) {
        o->dir = env_dir;
    }
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto need_value = [&]() {
            if (value == nullptr) {
                fprintf(stderr, "%s: %s needs a value\n", program, a.c_str());
                return false;
            }
            i++;
            return true;
        };
        auto bad_value = [&](const char *what) {
            fprintf(stderr, "%s: bad value '%s' for %s (%s)\n", program, value, a.c_str(), what);
            return 2;
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--dir") {
            if (!need_value()) {
                return 2;
            }
            o->dir = value;
        } else if (a == "--interfaces") {
            if (!need_value()) {
                return 2;
            }
            o->interfaces = value;
            if (o->interfaces != "both" && o->interfaces != "input" &&
                o->interfaces != "lighting" && o->interfaces != "single") {
                return bad_value("both, input, lighting or single");
            }
        } else if (a == "--vid" || a == "--pid") {
            if (!need_value()) {
                return 2;
            }
            if (!parse_uint(value, 0xFFFF, a == "--vid" ? &o->vid : &o->pid)) {
                return bad_value("0 to 0xffff");
            }
        } else if (a == "--name") {
            if (!need_value()) {
                return 2;
            }
            o->name = value;
            if (o->name.empty() || o->name.find('/') != std::string::npos) {
                return bad_value("a non-empty name without '/'");
            }
        } else if (a == "--rate" || a == "--ack-rate") {
            if (!need_value()) {
                return 2;
            }
            if (!parse_uint(value, 100000, a == "--rate" ? &o->rate : &o->ack_rate)) {
                return bad_value("0 to 100000");
            }
        } else if (a == "--silent") {
            o->silent = true;
        } else if (a == "--script") {
            if (!need_value()) {
                return 2;
            }
            o->script = value;
        } else if (a == "--interactive") {
            o->interactive = true;
        } else if (a == "--display") {
            o->display = 1;
        } else if (a == "--no-display") {
            o->display = 0;
        } else if (a == "--log") {
            if (!need_value()) {
                return 2;
            }
            o->log = value;
        } else if (a == "--quiet") {
            o->quiet = true;
        } else {
            fprintf(stderr, "%s: unknown option '%s' (see --help)\n", program, a.c_str());
            return 2;
        }
    }
    if (o->dir.empty()) {
        fprintf(stderr, "%s: no socket folder: give --dir or set %s\n", program, VHID_DIR_ENV);
        return 2;
    }
    if (o->interactive && o->script == "-") {
        fprintf(stderr, "%s: --interactive and --script - both want stdin\n", program);
        return 2;
    }
    return -1;
}

bool plan_sockets(vctl_state &s) {
    struct plan {
        const char *label;
        bool input;
        int mi; // -1: no interface part
    };
    std::vector<plan> plans;
    const std::string &kind = s.opt.interfaces;
    if (kind == "both" || kind == "input") {
        plans.push_back({"input", true, 0});
    }
    if (kind == "both" || kind == "lighting") {
        plans.push_back({"lighting", false, 1});
    }
    if (kind == "single") {
        plans.push_back({"single", true, -1});
    }
    for (const plan &p : plans) {
        char file[200];
        if (p.mi >= 0) {
            snprintf(file, sizeof file, "hid#vid_%04x&pid_%04x&mi_%02x#%s", s.opt.vid, s.opt.pid,
                     p.mi, s.opt.name.c_str());
        } else {
            snprintf(file, sizeof file, "hid#vid_%04x&pid_%04x#%s", s.opt.vid, s.opt.pid,
                     s.opt.name.c_str());
        }
        interface_socket is;
        is.label = p.label;
        is.sends_input = p.input;
        is.path = s.opt.dir + "/" + file;
        if (is.path.size() >= sizeof(sockaddr_un{}.sun_path)) {
            fprintf(stderr, "%s: socket path too long (%zu bytes, at most %zu): %s\n", program,
                    is.path.size(), sizeof(sockaddr_un{}.sun_path) - 1, is.path.c_str());
            return false;
        }
        s.sockets.push_back(is);
    }
    return true;
}

// One instance per folder: a second one would take over the first's sockets.
// The lock lasts as long as the process (the descriptor stays open); the
// kernel drops it however the process ends.
bool lock_folder(const std::string &dir) {
    const int fd = open((dir + "/tevu-vctl.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    if (errno == EWOULDBLOCK) {
        fprintf(stderr, "%s: another tevu-vctl is serving %s\n", program, dir.c_str());
    } else {
        fprintf(stderr, "%s: cannot lock the folder %s: %s\n", program, dir.c_str(),
                strerror(errno));
    }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    vctl_state s;
    const int status = parse_options(argc, argv, &s.opt);
    if (status >= 0) {
        return status;
    }
    s.rate = s.opt.rate;
    s.silent = s.opt.silent;

    if (!s.opt.script.empty() && s.opt.script != "-") {
        std::ifstream in(s.opt.script);
        if (!in) {
            fprintf(stderr, "%s: cannot read script %s\n", program, s.opt.script.c_str());
            return 2;
        }
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!vctl::parse_script(text.str(), &s.runner.commands, &error)) {
            fprintf(stderr, "%s: %s: %s\n", program, s.opt.script.c_str(), error.c_str());
            return 2;
        }
    }
    s.script_from_stdin = s.opt.script == "-";
    const bool keyboard = s.opt.interactive || (s.opt.script.empty() && isatty(STDIN_FILENO) == 1);
    s.stdin_open = s.script_from_stdin || keyboard;
    s.display = s.opt.display == 1 || (s.opt.display == -1 && isatty(STDOUT_FILENO) == 1);

    if (!s.opt.log.empty()) {
        s.log = fopen(s.opt.log.c_str(), "a");
        if (s.log == nullptr) {
            fprintf(stderr, "%s: cannot open log %s: %s\n", program, s.opt.log.c_str(),
                    strerror(errno));
            return 2;
        }
    }
    if (!plan_sockets(s)) {
        return 2;
    }

    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The signals arrive only inside ppoll, so none is lost between checks.
    sigset_t blocked, wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGHUP);

    if (!lock_folder(s.opt.dir) || !publish(s)) {
        return 1;
    }
    if (keyboard && isatty(STDIN_FILENO) == 1 && !enter_raw_mode()) {
        fprintf(stderr, "%s: cannot put the terminal in raw mode\n", program);
    }
    if (s.stdin_open) {
        fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    }
    say(s, "publishing " + s.opt.interfaces + " interface(s) in " + s.opt.dir);
    if (keyboard && !s.display) {
        fprintf(stderr, "%s", vctl::keyboard_help);
    }

    s.next_input_ns = now_ns();
    std::vector<pollfd> fds;
    // What each pollfd stands for: socket index and client index (-1: listener,
    // -2: stdin).
    std::vector<std::pair<int, int>> owners;
    while (!s.quit && stop_signal == 0) {
        uint64_t now = now_ns();

        vctl::command cmd;
        while (!s.quit && vctl::runner_next(s.runner, now / 1000000, host_on_input(s), &cmd)) {
            carry_out(s, cmd);
        }
        if (s.quit) {
            break;
        }

        // Input reports at the controller's pace. After a stall the pace
        // starts again instead of sending a burst.
        uint64_t wake = now + 1000000000ull; // at least once a second
        if (s.plugged && !s.silent && s.rate > 0) {
            const uint64_t period = 1000000000ull / s.rate;
            if (now >= s.next_input_ns) {
                send_input_reports(s);
                s.next_input_ns += period;
                if (s.next_input_ns + 20 * period < now) {
                    s.next_input_ns = now + period;
                }
            }
            wake = std::min(wake, s.next_input_ns);
        }
        for (interface_socket &is : s.sockets) {
            for (client &c : is.clients) {
                if (c.ack_pending) {
                    if (now >= c.ack_due_ns) {
                        send_ack(c);
                    } else {
                        wake = std::min(wake, c.ack_due_ns);
                    }
                }
            }
        }
        const uint64_t script_wake = vctl::runner_wake_ms(s.runner);
        if (script_wake != 0) {
            wake = std::min(wake, script_wake * 1000000);
        }
        if (s.display && s.display_dirty) {
            if (now >= s.next_draw_ns) {
                draw(s);
                s.next_draw_ns = now + 1000000000ull / 30;
            } else {
                wake = std::min(wake, s.next_draw_ns);
            }
        }

        fds.clear();
        owners.clear();
        for (size_t i = 0; i < s.sockets.size(); i++) {
            interface_socket &is = s.sockets[i];
            if (is.listen_fd >= 0) {
                fds.push_back({is.listen_fd, POLLIN, 0});
                owners.push_back({static_cast<int>(i), -1});
            }
            for (size_t j = 0; j < is.clients.size(); j++) {
                // A host waits for its ACK before it writes again.
                const short events = is.clients[j].ack_pending ? 0 : POLLIN;
                fds.push_back({is.clients[j].fd, events, 0});
                owners.push_back({static_cast<int>(i), static_cast<int>(j)});
            }
        }
        if (s.stdin_open) {
            fds.push_back({STDIN_FILENO, POLLIN, 0});
            owners.push_back({-1, -2});
        }

        now = now_ns();
        const uint64_t wait = wake > now ? wake - now : 0;
        timespec timeout{};
        timeout.tv_sec = static_cast<time_t>(wait / 1000000000ull);
        timeout.tv_nsec = static_cast<long>(wait % 1000000000ull);
        const int ready = ppoll(fds.data(), fds.size(), &timeout, &wait_mask);
        if (ready <= 0) {
            continue;
        }

        std::vector<std::pair<int, int>> dropped;
        const uint64_t generation = s.generation;
        for (size_t k = 0; k < fds.size(); k++) {
            if (fds[k].revents == 0) {
                continue;
            }
            const int si = owners[k].first;
            const int ci = owners[k].second;
            if (ci == -2) {
                take_stdin(s);
                continue;
            }
            interface_socket &is = s.sockets[static_cast<size_t>(si)];
            if (ci == -1) {
                const int fd =
                    accept4(is.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd >= 0) {
                    client c;
                    c.fd = fd;
                    is.clients.push_back(c);
                    say(s, "host connected to the " + is.label + " interface");
                }
                continue;
            }
            client &c = is.clients[static_cast<size_t>(ci)];
            bool alive = true;
            if (fds[k].revents & POLLIN) {
                alive = take_message(s, is, c);
            } else if (fds[k].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                alive = false;
            }
            if (!alive) {
                dropped.push_back(owners[k]);
            }
        }
        // Remove closed connections, highest index first (none are left when
        // the controller was unplugged meanwhile).
        if (generation != s.generation) {
            dropped.clear();
        }
        for (auto it = dropped.rbegin(); it != dropped.rend(); ++it) {
            interface_socket &is = s.sockets[static_cast<size_t>(it->first)];
            client &c = is.clients[static_cast<size_t>(it->second)];
            close_client(c);
            is.clients.erase(is.clients.begin() + it->second);
            say(s, "host left the " + is.label + " interface");
        }
        if (!s.plugged && s.quit) {
            break;
        }
    }

    withdraw(s);
    if (s.display) {
        draw(s);
    }
    restore_terminal();
    if (s.log != nullptr) {
        fclose(s.log);
    }
    return 0;
}
