#include "vctl_text.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace vctl {

std::string format(const char *fmt, ...) {
    char buffer[256];
    va_list args;
    va_start(args, fmt);
    // va_start just above initialises args; the analyzer loses track of it.
    vsnprintf(buffer, sizeof buffer, fmt, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    return buffer;
}

bool parse_number(const std::string &word, uint32_t max, uint32_t *out) {
    // strtoull would also take leading blanks and a sign (a negative value
    // wrapped round).
    if (word.empty() || word[0] < '0' || word[0] > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = strtoull(word.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > max) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

std::string hex_bytes(const uint8_t *data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 3);
    for (size_t i = 0; i < length; i++) {
        if (i > 0) {
            text += ' ';
        }
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

} // namespace vctl
