// The tests' one kit for the controller's reports: building input reports and
// reading the light reports back into the frame a controller would show. It
// uses the library's own layouts (tevuio/reports.h) and the strict
// expander of the LZF block (lzf/lzf_decode.h), so every test that plays
// or checks a controller reads the reports the same way. Header-only apart
// from the decoder; no test framework.
#ifndef TEVUIO_TESTS_REPORT_KIT_H
#define TEVUIO_TESTS_REPORT_KIT_H

#include "lzf/lzf_decode.h"
#include "tevuio/reports.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace kit {

typedef std::vector<uint8_t> bytes;

inline bytes input_report(uint16_t buttons, uint32_t slider) {
    bytes r(report::input_length);
    report::make_input(r.data(), buttons, slider);
    return r;
}

// The slider word with these cells (0-31) touched and no others.
inline uint32_t slider_touching(std::initializer_list<int> cells) {
    uint32_t touched = 0;
    for (int cell : cells)
        touched |= 1u << report::cell_of_slider_bit(cell);
    return touched ^ report::slider_untouched;
}

// Output report 0x06 with these four lamp levels.
inline bytes lamp_report(uint8_t l0, uint8_t l1, uint8_t l2, uint8_t l3) {
    bytes r(report::output_length, 0);
    r[0] = report::lamp_id;
    r[1] = l0;
    r[2] = l1;
    r[3] = l2;
    r[4] = l3;
    return r;
}

inline bool is_led_report(const uint8_t *r, size_t length) {
    return length > 0 && (r[0] == report::led_low_id || r[0] == report::led_high_id ||
                          r[0] == report::feature_id);
}

// The payload of report 0x04 (high false) or 0x05 (high true) for a frame in
// host LED order.
inline bytes device_half(const uint8_t *host_frame, bool high) {
    uint8_t device[report::frame_bytes];
    report::frame_to_device_order(device, host_frame);
    const uint8_t *first = device + (high ? report::half_bytes : 0);
    return bytes(first, first + report::half_bytes);
}

// The whole report 0x04 or 0x05 (ID, then the half) for a host-order frame.
inline bytes half_report(const uint8_t *host_frame, bool high) {
    bytes r{high ? report::led_high_id : report::led_low_id};
    const bytes half = device_half(host_frame, high);
    r.insert(r.end(), half.begin(), half.end());
    return r;
}

// Applies a light report (0x04, 0x05 or 0x0B) to the LEDs a controller shows,
// host LED order. False, the LEDs untouched, for anything else or a malformed
// one (wrong length, a block longer than its room, a block that does not
// expand to exactly one frame).
inline bool apply_led_report(uint8_t *host_frame, const uint8_t *r, size_t length) {
    if (length == report::feature_length && r[0] == report::feature_id) {
        bytes frame;
        if (r[1] > report::feature_block_room || !lzf_block_expand(r + 2, r[1], frame) ||
            frame.size() != report::frame_bytes)
            return false;
        std::copy(frame.begin(), frame.end(), host_frame);
        return true;
    }
    if (length != report::output_length ||
        (r[0] != report::led_low_id && r[0] != report::led_high_id))
        return false;
    const size_t first = r[0] == report::led_low_id ? 0 : report::led_count / 2;
    for (size_t k = 0; k < report::led_count / 2; ++k)
        std::copy(r + 1 + 3 * k, r + 4 + 3 * k,
                  host_frame + 3 * report::device_led_of_host_led(first + k));
    return true;
}

} // namespace kit

#endif
