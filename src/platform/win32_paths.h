// Reading the USB identifiers out of a Windows device-interface path, such as
// "\\?\hid#vid_0f0d&pid_0092&mi_01#7&1a2b3c4d&0&0000#{guid}". Plain text
// work, kept apart from the Win32 calls so that it can be checked anywhere.
//
// The identifiers are found as the lower-case forms Windows writes: "vid_"
// with four lower-case hex digits and "&", and "&mi_" with two. A path that
// spells them in upper case names no vendor and no interface. Where a form
// occurs more than once the first one counts.
#ifndef TEVUIO_PLATFORM_WIN32_PATHS_H
#define TEVUIO_PLATFORM_WIN32_PATHS_H

#include <cstdint>
#include <cstring>

namespace win32_paths {

// The value of n lower-case hex digits at text, or -1.
inline int32_t lower_hex(const char *text, int n) {
    int32_t value = 0;
    for (int i = 0; i < n; ++i) {
        const char c = text[i];
        int32_t digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

// The number after the first occurrence of prefix that is followed by n
// lower-case hex digits (and then by end, when end is not NUL), or -1.
inline int32_t find_number(const char *path, const char *prefix, int n, char end) {
    const size_t prefix_length = std::strlen(prefix);
    for (const char *at = std::strstr(path, prefix); at != nullptr;
         at = std::strstr(at + 1, prefix)) {
        const char *digits = at + prefix_length;
        if (std::strlen(digits) < static_cast<size_t>(n))
            return -1;
        const int32_t value = lower_hex(digits, n);
        if (value >= 0 && (end == '\0' || digits[n] == end))
            return value;
    }
    return -1;
}

inline int32_t vendor_of(const char *path) {
    return find_number(path, "vid_", 4, '&');
}
inline int32_t interface_of(const char *path) {
    return find_number(path, "&mi_", 2, '\0');
}

} // namespace win32_paths

#endif
