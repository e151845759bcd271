// The virtual controller's script language: the commands, their parser, and
// the runner that plays a script at its pace.
#ifndef TEVU_VCTL_SCRIPT_LANGUAGE_H
#define TEVU_VCTL_SCRIPT_LANGUAGE_H

#include "vctl_model.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vctl {

enum class op {
    touch,     // mask: cells to touch
    release,   // mask: cells to release
    button,    // value: word bit, flag: down
    buttons,   // value: the whole button word
    wait_ms,   // value: milliseconds
    wait_host, // until a host is connected to the input interface
    rate,      // value: input reports per second, 0 = silent
    silent,    // flag: stop (true) or resume (false) sending input reports
    unplug,    // close every connection and withdraw the interfaces
    plug,      // publish the interfaces again
    echo,      // text: print it
    quit,      // end the controller
};

struct command {
    op what = op::quit;
    uint32_t mask = 0;
    uint32_t value = 0;
    bool flag = false;
    std::string text;
    int line = 0;
};

// The script language: one command per line, words separated by blanks; '#'
// starts a comment and blank lines are skipped.
//   touch CELLS...      touch cells: numbers 0-31, ranges like 4-7, or all
//   release CELLS...    release cells (same forms)
//   button B down|up    press or release a button; B: test, service, 1-5
//   buttons WORD        set the whole button word (e.g. 0x1000)
//   wait MS             pause for MS milliseconds (at most an hour)
//   wait host           pause until a host has opened the input interface
//   rate N              send N input reports per second (0: none)
//   silent on|off       stop or resume sending input reports
//   unplug              close every connection and withdraw the interfaces
//   plug                publish the interfaces again
//   echo TEXT           print TEXT
//   quit                end the controller
// A script that ends without quit leaves the controller running as it is.
// The same text, for --help:
extern const char *const script_help;

// Parses one line. Returns true with *out filled, or true with *blank set for
// a line with no command; false with a message "line N: ..." in *error.
bool parse_line(const std::string &line, int line_no, command *out, bool *blank,
                std::string *error);
// Parses a whole script; stops at the first error.
bool parse_script(const std::string &text, std::vector<command> *out, std::string *error);

// Applies touch, release, button and buttons to the controller; false for any
// other command (the caller carries those out).
bool apply_input_command(controller &c, const command &cmd);

// Plays a script: hands out the commands one at a time, carrying out the
// waits itself.
struct script_runner {
    std::vector<command> commands;
    size_t next = 0;
    bool waiting = false;
    uint64_t wait_until_ms = 0;
};
// The next command due at now_ms, or false when the script waits or has ended.
bool runner_next(script_runner &r, uint64_t now_ms, bool host_connected, command *out);
bool runner_finished(const script_runner &r);
// When the script waits for time: the moment it goes on; else 0.
uint64_t runner_wake_ms(const script_runner &r);

} // namespace vctl

#endif
