// Text helpers of the virtual controller: printf into a string, the numbers of
// the script and the command line, bytes in hex.
#ifndef TEVU_VCTL_TEXT_H
#define TEVU_VCTL_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vctl {

// printf into a string of at most 255 characters.
std::string format(const char *fmt, ...);

// A whole word as a number from 0 to max: decimal, 0x hex or 0 octal, starting
// with a digit (no sign, no blank). false, *out untouched, for anything else.
bool parse_number(const std::string &word, uint32_t max, uint32_t *out);

// "04 00 ff ..." lower-case hex, bytes separated by one space.
std::string hex_bytes(const uint8_t *data, size_t length);

} // namespace vctl

#endif
