// The controller's report layouts: IDs, lengths, where the fields lie, the
// orders of cells and LEDs, and the builders that make each report whole.
// Plain constants and small inline functions, shared by the library, the
// virtual controller and the tests.
#ifndef TEVUIO_REPORTS_H
#define TEVUIO_REPORTS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lzf/lzf.h"
#include "platform/platform.h"

namespace report {

// Input report 0x01: ID, button word (bytes 1-2, little-endian), byte 3,
// slider word (bytes 4-7, little-endian), byte 8.
constexpr uint8_t input_id = 0x01;
constexpr uint8_t input_length = 9;
constexpr size_t input_buttons_at = 1;
constexpr size_t input_slider_at = 4;
// Slider word of an untouched slider; a cell's bit differs when it is touched.
constexpr uint32_t slider_untouched = 0x80808080u;
constexpr int cell_count = 32;
// The keyboard's slider keys: each stands for four neighbouring cells.
constexpr int cells_per_key = 4;
constexpr int slider_key_count = cell_count / cells_per_key;

// The button word: the bit of each button, set while it is pressed.
constexpr uint8_t button_bit_test = 12;
constexpr uint8_t button_bit_service = 8;
constexpr int game_button_count = 5;
constexpr uint8_t game_button_bit[game_button_count] = {2, 1, 0, 3, 9}; // buttons 1-5

// Output reports: ID and 48 payload bytes.
constexpr uint8_t led_low_id = 0x04;  // device LEDs 0-15
constexpr uint8_t led_high_id = 0x05; // device LEDs 16-31
constexpr uint8_t lamp_id = 0x06;     // 4 lamp levels, then zeros
constexpr uint8_t output_length = 49;
constexpr size_t half_bytes = 48;
// Feature report 0x0B: ID, block length, LZF block of a whole frame, zeros.
constexpr uint8_t feature_id = 0x0B;
constexpr uint8_t feature_length = 64;
constexpr uint32_t feature_block_room = feature_length - 2;

constexpr size_t led_count = 32;
constexpr size_t frame_bytes = 3 * led_count;
constexpr int lamp_count = 4;
// Lamp 0 belongs to game button 4, lamp 1 to 3, lamp 2 to 2, lamp 3 to 1.
constexpr uint8_t lamp_button_bit(int lamp) {
    return game_button_bit[lamp_count - 1 - lamp];
}

// Bit i of the touched mask (slider word XOR untouched) is cell 31 - i.
constexpr int cell_of_slider_bit(int bit) {
    return cell_count - 1 - bit;
}
// Device LED k shows host LED 31 - k (and the reverse).
constexpr size_t device_led_of_host_led(size_t host_led) {
    return led_count - 1 - host_led;
}

inline uint16_t input_buttons(const uint8_t *report) {
    return static_cast<uint16_t>(report[input_buttons_at] | report[input_buttons_at + 1] << 8);
}
inline uint32_t input_slider(const uint8_t *report) {
    const uint8_t *p = report + input_slider_at;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
// Fills a whole input report.
inline void make_input(uint8_t *report, uint16_t buttons, uint32_t slider) {
    std::memset(report, 0, input_length);
    report[0] = input_id;
    report[input_buttons_at] = static_cast<uint8_t>(buttons);
    report[input_buttons_at + 1] = static_cast<uint8_t>(buttons >> 8);
    for (size_t i = 0; i < 4; ++i)
        report[input_slider_at + i] = static_cast<uint8_t>(slider >> (8 * i));
}

// A host frame (host LED order) in device LED order.
inline void frame_to_device_order(uint8_t *device, const uint8_t *host) {
    for (size_t k = 0; k < led_count; ++k)
        std::memcpy(device + 3 * k, host + 3 * device_led_of_host_led(k), 3);
}

// A report built whole for the controller: how it goes, and its bytes (byte
// 0 its ID). The builder chooses the kind; the send carries it unchanged.
struct outgoing {
    plat_report_kind kind;
    uint8_t length;
    uint8_t bytes[feature_length];
};
static_assert(output_length <= feature_length, "every report fits outgoing::bytes");

// Output report 0x06 (output_length bytes): ID, the lamp_count lamp levels,
// zeros.
inline void build_lamp_report(outgoing &out, const uint8_t *levels) {
    out.kind = PLAT_REPORT_OUTPUT;
    out.length = output_length;
    std::memset(out.bytes, 0, output_length);
    out.bytes[0] = lamp_id;
    std::memcpy(out.bytes + 1, levels, lamp_count);
}

// Output report 0x04 (high false: device LEDs 0-15) or 0x05 (high true:
// device LEDs 16-31), output_length bytes: ID, then that half of a frame in
// device LED order (half_bytes).
inline void build_led_half(outgoing &out, bool high, const uint8_t *device_half) {
    out.kind = PLAT_REPORT_OUTPUT;
    out.length = output_length;
    out.bytes[0] = high ? led_high_id : led_low_id;
    std::memcpy(out.bytes + 1, device_half, half_bytes);
}

// Feature report 0x0B (feature_length bytes): ID, block length, the LZF block
// of a whole host-order frame, zeros. False, out undefined, when the block
// does not fit its room: the frame then goes as the two halves.
inline bool build_led_feature(outgoing &out, const uint8_t *host_frame) {
    uint32_t block_length = feature_block_room;
    if (lzf_block_compress(host_frame, frame_bytes, out.bytes + 2, &block_length) != 0)
        return false;
    out.kind = PLAT_REPORT_FEATURE;
    out.length = feature_length;
    out.bytes[0] = feature_id;
    out.bytes[1] = static_cast<uint8_t>(block_length);
    std::memset(out.bytes + 2 + block_length, 0, feature_block_room - block_length);
    return true;
}

} // namespace report

#endif
