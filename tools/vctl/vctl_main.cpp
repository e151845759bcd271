// tevu-vctl: a virtual touch-slider controller for Linux.
//
// Publishes the controller's HID interfaces as sockets in a folder (see
// src/platform/virtual_hid.h), sends input report 0x01 at the controller's
// pace, takes the light reports 0x04, 0x05, 0x06 and 0x0B and acknowledges
// each, plays a script or follows the keyboard, shows the LEDs, lamps and
// touched cells live in the terminal, and can log every report it takes.
//
// The pieces: vctl_options.cpp (command line), vctl_serve.cpp (sockets),
// vctl_script.cpp (script), vctl_terminal.cpp (picture and keys); this file
// sets up, runs the passes of the event loop and ends.
#include "vctl_tool.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vctl_tool {
const char *const program = "tevu-vctl";
} // namespace vctl_tool

using namespace vctl_tool;

namespace {

volatile sig_atomic_t stop_signal = 0;
void on_stop_signal(int sig) {
    stop_signal = sig;
}

// SIGINT, SIGTERM and SIGHUP end the run. They stay blocked but inside ppoll,
// so none is lost between checks; returns the mask ppoll waits with.
sigset_t catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    const int stops[] = {SIGINT, SIGTERM, SIGHUP};
    sigset_t blocked, wait_mask;
    sigemptyset(&blocked);
    for (const int sig : stops) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&blocked, sig);
    }
    signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    for (const int sig : stops) {
        sigdelset(&wait_mask, sig);
    }
    return wait_mask;
}

// Everything that can fail before the sockets exist: the script, the modes,
// the log and the socket names. Returns -1 to go on, else the exit status.
int prepare(vctl_state &s, bool *keyboard) {
    s.rate = s.opt.rate;
    s.silent = s.opt.silent;
    if (!load_script(s)) {
        return 2;
    }
    s.script_from_stdin = s.opt.script == "-";
    *keyboard = s.opt.interactive || (s.opt.script.empty() && isatty(STDIN_FILENO) == 1);
    s.stdin_open = s.script_from_stdin || *keyboard;
    s.display = s.opt.display == 1 || (s.opt.display == -1 && isatty(STDOUT_FILENO) == 1);
    if (!s.opt.log.empty()) {
        s.log = fopen(s.opt.log.c_str(), "a");
        if (s.log == nullptr) {
            fprintf(stderr, "%s: cannot open log %s: %s\n", program, s.opt.log.c_str(),
                    strerror(errno));
            return 2;
        }
    }
    return s.io->plan(s) ? -1 : 2;
}

void start_terminal(vctl_state &s, bool keyboard) {
    if (keyboard && isatty(STDIN_FILENO) == 1 && !enter_raw_mode()) {
        fprintf(stderr, "%s: cannot put the terminal in raw mode\n", program);
    }
    if (s.stdin_open) {
        fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    }
    say(s, "publishing " + s.opt.interfaces + " interface(s) " + s.io->where(s));
    if (keyboard && !s.display) {
        fprintf(stderr, "%s", vctl::keyboard_help);
    }
}

// One pass of the event loop: what is due now, then a wait for the sockets and
// stdin until the next thing is due (at least once a second).
void run_pass(vctl_state &s, const sigset_t &wait_mask, poll_set &p) {
    uint64_t now = now_ns();
    run_script(s, now);
    if (s.quit) {
        return;
    }
    uint64_t wake = s.io->serve_due(s, now, now + 1000000000ull);
    const uint64_t script_wake = vctl::runner_wake_ms(s.runner);
    if (script_wake != 0) {
        wake = std::min(wake, script_wake * 1000000);
    }
    wake = redraw_due(s, now, wake);

    p.fds.clear();
    p.owners.clear();
    s.io->watch(s, &p);
    if (s.stdin_open) {
        p.fds.push_back({STDIN_FILENO, POLLIN, 0});
        p.owners.push_back({-1, poll_set::standard_input});
    }
    now = now_ns();
    const uint64_t wait = wake > now ? wake - now : 0;
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(wait / 1000000000ull);
    timeout.tv_nsec = static_cast<long>(wait % 1000000000ull);
    if (ppoll(p.fds.data(), p.fds.size(), &timeout, &wait_mask) <= 0) {
        return;
    }
    // The sockets first: a key or a script line may unplug the controller.
    s.io->serve_ready(s, p);
    if (s.stdin_open && p.fds.back().revents != 0) {
        take_stdin(s);
    }
}

} // namespace

int main(int argc, char **argv) {
    vctl_state s;
    int status = parse_options(argc, argv, &s.opt);
    if (s.opt.gadget) {
        s.io = &gadget_transport;
    }
    bool keyboard = false;
    if (status < 0) {
        status = prepare(s, &keyboard);
    }
    if (status >= 0) {
        return status;
    }
    const sigset_t wait_mask = catch_stop_signals();
    if (!s.io->claim(s) || !s.io->publish(s)) {
        s.io->withdraw(s);
        return 1;
    }
    start_terminal(s, keyboard);

    s.next_input_ns = now_ns();
    poll_set p;
    while (!s.quit && stop_signal == 0) {
        run_pass(s, wait_mask, p);
    }

    s.io->withdraw(s);
    if (s.display) {
        draw(s);
    }
    restore_terminal();
    if (s.log != nullptr) {
        fclose(s.log);
    }
    if (!s.opt.quiet) {
        fprintf(stderr, "%s: took %llu report(s), refused %llu\n", program,
                static_cast<unsigned long long>(s.model.reports_taken),
                static_cast<unsigned long long>(s.model.reports_refused));
    }
    return 0;
}
