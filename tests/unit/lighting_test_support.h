// Helpers shared by the lighting tests: a decoder of the LED reports as the
// controller applies them, and the state of the three report flags.
#ifndef TEVUIO_LIGHTING_TEST_SUPPORT_H
#define TEVUIO_LIGHTING_TEST_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lighting_test {

// Expands an LZF block; false when it is malformed.
bool lzf_expand(const uint8_t *block, size_t length, std::vector<uint8_t> *out);
// Applies one LED report (0x04, 0x05 or 0x0B) to the 96 host-order bytes of a
// controller's LEDs.
void apply_report(const uint8_t *report, uint32_t length, uint8_t leds[96]);
// No LED report is pending.
bool flags_clear();

} // namespace lighting_test

#endif
