// The virtual controller's model: what the controller holds (buttons,
// touched cells, LED colours, lamp levels), the reports it exchanges with the
// host, the LZF expansion of the compressed LED frame, the script language,
// the keyboard map and the terminal picture. No operating-system calls here,
// so a controller for any platform can share it.
#ifndef TEVU_VCTL_MODEL_H
#define TEVU_VCTL_MODEL_H

#include "tevuio/reports.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vctl {

// The report layouts are the library's own.
constexpr int cell_count = report::cell_count;
constexpr int led_count = static_cast<int>(report::led_count);
constexpr size_t input_report_length = report::input_length;
constexpr size_t output_report_length = report::output_length;
constexpr size_t feature_report_length = report::feature_length;
constexpr size_t feature_block_room = report::feature_block_room;
constexpr size_t frame_length = report::frame_bytes;
constexpr uint8_t report_input = report::input_id;
constexpr uint8_t report_leds_low = report::led_low_id;
constexpr uint8_t report_leds_high = report::led_high_id;
constexpr uint8_t report_lamps = report::lamp_id;
constexpr uint8_t report_leds_packed = report::feature_id;
constexpr uint32_t slider_untouched = report::slider_untouched;

struct controller {
    uint16_t buttons = 0;            // button word, bytes 1-2 of report 0x01
    uint32_t touched = 0;            // bit c set: cell c touched
    uint8_t leds[frame_length] = {}; // host LED order, LED j at bytes 3j..3j+2
    uint8_t lamps[4] = {};
    // Counters for the status display.
    uint64_t reports_taken = 0;
    uint64_t reports_refused = 0;
};

// Button names of the script and the display: "test", "service", "1".."5".
// false when the name is unknown.
bool button_bit(const std::string &name, uint8_t *bit);
// Name of a button word bit, nullptr for bits no button uses.
const char *button_name(uint8_t bit);

// The slider word that says exactly the cells in touched are touched.
uint32_t slider_word(uint32_t touched);
// Inverse of slider_word.
uint32_t touched_cells(uint32_t word);
void encode_input_report(const controller &c, uint8_t out[input_report_length]);

// Expands an LZF block with the tests' strict decoder. Returns the number of
// bytes written, or -1 when the block is malformed (truncated item, reference
// before the start) or would overflow the room.
int lzf_expand(const uint8_t *in, size_t in_length, uint8_t *out, size_t room);

enum class report_kind { output, feature };

// Takes a report from the host into the controller. Returns an empty string
// when it was understood, else a one-line reason; the controller is then
// unchanged.
std::string take_report(controller &c, report_kind kind, const uint8_t *report, size_t length);

// --- USB report descriptors ----------------------------------------------------
// What a USB interface of the controller carries: the input report (0x01), the
// light reports (output 0x04, 0x05, 0x06 and feature 0x0B), or all of them on
// one interface.
enum class interface_reports { input, lighting, all };

// The HID report descriptor of such an interface, in a vendor-defined usage
// page: one application collection that states each report's ID and its data
// length (the report's length without the ID byte) in 8-bit fields.
std::vector<uint8_t> report_descriptor(interface_reports which);
// The longest report the interface sends or takes, its ID included.
size_t longest_report(interface_reports which);
// A report read from a USB HID interface without its type: 0x0B is the one
// feature report, every other ID an output report.
report_kind kind_of_report(uint8_t id);

// --- Host messages -------------------------------------------------------------
// A report as the host sends it on an interface: the kind byte (VHID_OUTPUT or
// VHID_FEATURE), the sequence byte of the write, then the report.
struct host_message {
    report_kind kind = report_kind::output;
    uint8_t sequence = 0;
    const uint8_t *report = nullptr; // points into the message
    size_t length = 0;
};
enum class message_check {
    report,          // *out holds it
    unexpected_kind, // not an output or feature report
    too_short,       // no room for the sequence byte and a report: ignored, never ACKed
};
message_check read_host_message(const uint8_t *message, size_t length, host_message *out);

// The answer to the report numbered sequence once it has been taken: VHID_ACK
// and that number.
constexpr size_t ack_length = 2;
void make_ack(uint8_t sequence, uint8_t out[ack_length]);

// "04 00 ff ..." lower-case hex, bytes separated by one space.
std::string hex_bytes(const uint8_t *data, size_t length);

// --- Script -----------------------------------------------------------------
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

// --- Keyboard ----------------------------------------------------------------
// Keys of the interactive mode. Cells: "1234567890" (0-9), "qwertyuiop"
// (10-19), "asdfghjkl;" (20-29), "zx" (30-31), each press toggles the cell.
// 'T' test, 'S' service, 'Z' 'X' 'C' 'V' 'B' game buttons 1-5 (toggle);
// space releases everything; 'U' unplugs or plugs; 'M' mutes or resumes the
// input reports; 'Q' or Escape quits.
enum class key_action {
    none,
    toggle_cell,
    toggle_button,
    release_all,
    toggle_plug,
    toggle_mute,
    quit
};
key_action key_for(char key, uint32_t *value);
extern const char *const keyboard_help;

// --- Display -----------------------------------------------------------------
struct status_info {
    bool plugged = true;
    bool silent = false;
    int input_hosts = 0;
    int lighting_hosts = 0;
    uint32_t rate = 0;
    uint64_t reports_sent = 0;
    std::string message;
};
// Lines for the terminal, ANSI 24-bit colour: the 32 LEDs in their colours
// above the touched cells, the four lamps and the buttons. No cursor control.
std::vector<std::string> render_status(const controller &c, const status_info &info);

} // namespace vctl

#endif
