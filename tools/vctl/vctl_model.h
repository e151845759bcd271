// The virtual controller's model: what the controller holds (buttons, touched
// cells, LED colours, lamp levels), the input report it sends and the light
// reports it takes from the host, with the LZF expansion of the compressed LED
// frame. No operating-system calls here, nor in the rest of the portable part
// (vctl_interfaces.h, vctl_script_language.h, vctl_terminal_view.h), so a
// controller for any platform can share it.
#ifndef TEVU_VCTL_MODEL_H
#define TEVU_VCTL_MODEL_H

#include "platform/platform.h" // plat_report_kind: how the host sent a report
#include "tevuio/reports.h"

#include <cstddef>
#include <cstdint>
#include <string>

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

// The buttons by the names of the script and the display, and where they sit
// in the button word: test, service, then game buttons "1".."5".
struct named_button {
    const char *name;
    uint8_t bit;
};
constexpr int button_count = 7;
extern const named_button named_buttons[button_count];
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

// Takes a report from the host into the controller. Returns an empty string
// when it was understood, else a one-line reason; the controller is then
// unchanged.
std::string take_report(controller &c, plat_report_kind kind, const uint8_t *report, size_t length);

} // namespace vctl

#endif
