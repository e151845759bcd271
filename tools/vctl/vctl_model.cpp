#include "vctl_model.h"

#include "lzf/lzf_decode.h"
#include "vctl_text.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vctl {

// Where the buttons sit in the button word: the library's own layout.
const named_button named_buttons[button_count] = {
    {"test", report::button_bit_test}, {"service", report::button_bit_service},
    {"1", report::game_button_bit[0]}, {"2", report::game_button_bit[1]},
    {"3", report::game_button_bit[2]}, {"4", report::game_button_bit[3]},
    {"5", report::game_button_bit[4]},
};

bool button_bit(const std::string &name, uint8_t *bit) {
    for (const named_button &b : named_buttons) {
        if (name == b.name) {
            *bit = b.bit;
            return true;
        }
    }
    return false;
}

const char *button_name(uint8_t bit) {
    for (const named_button &b : named_buttons) {
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

std::string take_report(controller &c, plat_report_kind kind, const uint8_t *report,
                        size_t length) {
    if (length == 0) {
        return "empty report";
    }
    const uint8_t id = report[0];
    if (kind == PLAT_REPORT_FEATURE) {
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

} // namespace vctl
