// What the pieces of tevu-vctl share: its options, the interfaces it serves and
// the state of one run. The controller itself is the portable part: its model
// and reports (vctl_model.h), its interfaces (vctl_interfaces.h), the script
// language (vctl_script_language.h), the keys and picture of the terminal
// (vctl_terminal_view.h) and the text helpers (vctl_text.h).
#ifndef TEVU_VCTL_TOOL_H
#define TEVU_VCTL_TOOL_H

#include "vctl_interfaces.h"
#include "vctl_model.h"
#include "vctl_script_language.h"
#include "vctl_terminal_view.h"
#include "vctl_text.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vctl_tool {

extern const char *const program;

inline uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// --- Options (vctl_options.cpp) --------------------------------------------------

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
    bool gadget = false; // a USB gadget instead of sockets
    std::string udc;     // the gadget's device controller; empty: the first listed
};

// Reads the command line (and the folder from TEVUIO_VIRTUAL_HID_DIR). Returns
// -1 to go on, else the exit status.
int parse_options(int argc, char **argv, options *o);

// --- The run ---------------------------------------------------------------------

struct client {
    int fd = -1;
    bool ack_pending = false;
    uint8_t ack_sequence = 0; // the number of the report the pending ACK answers
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

// One function of the USB gadget (vctl_gadget.cpp): an interface. A HID
// function has its /dev/hidgN node while the gadget is bound; the lighting
// interface is a FunctionFS function instead (vctl_ffs.cpp), its ep0 open for
// the whole run.
struct gadget_function {
    std::string label; // "input", "lighting" or "single"
    vctl::interface_reports reports = vctl::interface_reports::input;
    std::string dir; // in configfs
    std::string node;
    int fd = -1;
    bool ffs = false;
    std::string instance; // the FunctionFS instance: its name is machine-wide
    std::string mount;    // where its functionfs is mounted
    bool mounted = false; // this process mounted it: it unmounts it
    int ep0 = -1;
};

struct gadget_state {
    std::string dir; // the gadget in configfs
    std::string udc;
    std::vector<gadget_function> functions;
    int lock_fd = -1;
    bool made = false;                  // this process made dir: it removes it
    uint64_t input_taken_ns = 0;        // the last input report the host's poll took
    uint64_t input_taken_before_ns = 0; // and the one before
    bool input_queued = false;          // a report waits in the function for the host
    uint64_t input_missed = 0;          // reports the host did not take in time
};

struct transport;
extern const transport socket_transport;
extern const transport gadget_transport;

struct vctl_state {
    options opt;
    const transport *io = &socket_transport;
    vctl::controller model;
    std::vector<interface_socket> sockets;
    gadget_state gadget;
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
};

// The descriptors one pass waits on, and what each stands for: a socket index
// and a client index, or one of the two marks below.
struct poll_set {
    static constexpr int listener = -1;
    static constexpr int standard_input = -2;
    struct owner {
        int socket;
        int client;
    };
    std::vector<pollfd> fds;
    std::vector<owner> owners;
};

// --- The transport: sockets (vctl_serve.cpp) or a USB gadget (vctl_gadget.cpp) --

struct transport {
    // Everything that can be checked before the controller appears; false
    // (with a message) when it cannot be served.
    bool (*plan)(vctl_state &s);
    // Takes the folder or the gadget's name for this process alone; false
    // (with a message) when another instance holds it.
    bool (*claim)(vctl_state &s);
    // Makes the interfaces appear; false (with a message, nothing left behind)
    // on failure.
    bool (*publish)(vctl_state &s);
    // Ends every connection and removes what this process made.
    void (*withdraw)(vctl_state &s);
    void (*set_plugged)(vctl_state &s, bool plug);
    // Hosts on the input interface (input true) or the lighting interface.
    int (*count_hosts)(const vctl_state &s, bool input);
    // Sends the input report and the answers that are due at now; returns the
    // earlier of wake and the next moment one is due.
    uint64_t (*serve_due)(vctl_state &s, uint64_t now, uint64_t wake);
    // Adds what to wait for to the poll set.
    void (*watch)(const vctl_state &s, poll_set *p);
    // Takes what arrived on the descriptors the poll set marks ready.
    void (*serve_ready)(vctl_state &s, const poll_set &p);
    // Where the interfaces appear, for the start message.
    std::string (*where)(const vctl_state &s);
};

inline void set_plugged(vctl_state &s, bool plug) {
    s.io->set_plugged(s, plug);
}
inline int count_hosts(const vctl_state &s, bool input) {
    return s.io->count_hosts(s, input);
}
inline bool host_on_input(const vctl_state &s) {
    return count_hosts(s, true) > 0;
}

// Shared by both transports (vctl_serve.cpp).
// Whether the input report is due at now, keeping the pace; moves wake to the
// next one.
bool input_report_due(vctl_state &s, uint64_t now, uint64_t *wake);
// A report from the host: logged, taken into the model or refused with a
// message.
void take_host_report(vctl_state &s, plat_report_kind kind, const uint8_t *report, size_t length);

// --- The lighting interface through FunctionFS (vctl_ffs.cpp) --------------------

// Mounts the function's functionfs on f.mount, opens its ep0 and gives it the
// HID interface's descriptors, so that the gadget can be bound; false with a
// message.
bool start_ffs(gadget_function &f);
// Closes ep0 and removes the mount (call with the gadget unbound).
void stop_ffs(gadget_function &f);
// Also for a mount that a killed run left behind.
void remove_ffs_mount(const std::string &path);
// Reads the events on ep0 and answers the host's control requests.
void serve_ffs(vctl_state &s, const gadget_function &f);

// --- The script (vctl_script.cpp) ----------------------------------------------

// Reads --script FILE (not '-') into the runner; false with a message when it
// cannot be read or has a bad line.
bool load_script(vctl_state &s);
// Hands the script's due commands to carry_out.
void run_script(vctl_state &s, uint64_t now);
void carry_out(vctl_state &s, const vctl::command &cmd);
// Script text piped on stdin: complete lines join the script, a bad one is
// reported and skipped.
void take_script_text(vctl_state &s, const char *text, size_t length);

// --- The terminal (vctl_terminal.cpp) -------------------------------------------

// An event message: on the display when there is one, else on stderr; --quiet
// silences all but the script's own echo lines.
void say(vctl_state &s, const std::string &text, bool from_script = false);
// Keys one at a time, no echo; the terminal is restored at exit.
bool enter_raw_mode();
void restore_terminal();
// Reads what stdin holds: keys, or script text with --script -.
void take_stdin(vctl_state &s);
// Redraws the picture when it changed, at most 30 times a second; returns the
// earlier of wake and the next redraw.
uint64_t redraw_due(vctl_state &s, uint64_t now, uint64_t wake);
void draw(vctl_state &s);

} // namespace vctl_tool

#endif
