// Straightforward compressor used as the yardstick in tests, the fuzzer and the
// benchmark. Kept deliberately close to the algorithm's own wording; pointer
// comparisons against the ends are written as differences so that no pointer
// is ever formed past the end of a buffer.
#include "lzf_classic.h"

#include <cstddef>

namespace {

constexpr unsigned table_size = 65536;
constexpr std::ptrdiff_t max_off = 8192;
constexpr std::ptrdiff_t max_ref = 264;
constexpr unsigned max_lit = 32;

} // namespace

int lzf_classic_compress(const void *input, uint32_t input_length, void *output,
                         uint32_t *output_length) {
    if (output_length == nullptr) {
        return -3;
    }
    if (input == nullptr) {
        if (input_length != 0) {
            return -3;
        }
        *output_length = 0;
        return 0;
    }
    if (output == nullptr) {
        return -3;
    }

    const uint8_t *const in = static_cast<const uint8_t *>(input);
    const uint8_t *const in_end = in + input_length;
    uint8_t *const out = static_cast<uint8_t *>(output);
    const std::ptrdiff_t room = static_cast<std::ptrdiff_t>(*output_length);

    // 1. Clear the table, reserve the first run's control byte.
    const uint8_t *table[table_size] = {};
    const uint8_t *ip = in;
    uint8_t *op = out + 1;
    unsigned lit = 0;
    auto used = [&](uint8_t *p) { return p - out; }; // op's distance from output

    // 2. While at least three bytes remain.
    while (in_end - ip > 2) {
        unsigned h = ((((unsigned)ip[0] << 8) | ip[1]) - (((unsigned)ip[1] << 8) | ip[2])) & 0xFFFF;
        const uint8_t *ref = table[h];
        table[h] = ip;
        std::ptrdiff_t off = ref ? ip - ref - 1 : 0;
        if (ref != nullptr && ref < ip && off < max_off && in_end - ip > 4 && ref > in &&
            ref[0] == ip[0] && ref[1] == ip[1] && ref[2] == ip[2]) {
            // 2.4 Match.
            std::ptrdiff_t maxlen = in_end - ip - 2;
            if (maxlen > max_ref) {
                maxlen = max_ref;
            }
            if (used(op) - (lit == 0 ? 1 : 0) + 4 >= room) {
                return -1;
            }
            if (lit == 0) {
                op--;
            } else {
                op[-(std::ptrdiff_t)lit - 1] = (uint8_t)(lit - 1);
            }
            std::ptrdiff_t len = 3;
            while (len < maxlen && ref[len] == ip[len]) {
                len++;
            }
            std::ptrdiff_t n = len - 2;
            if (n < 7) {
                *op++ = (uint8_t)((off >> 8) + (n << 5));
            } else {
                *op++ = (uint8_t)((off >> 8) + 0xE0);
                *op++ = (uint8_t)(n - 7);
            }
            *op++ = (uint8_t)(off & 0xFF);
            lit = 0;
            op++;
            ip += n + 1;
            if (in_end - ip <= 3) {
                ip++;
                break;
            }
            h = ((((unsigned)ip[0] << 8) | ip[1]) - (((unsigned)ip[1] << 8) | ip[2])) & 0xFFFF;
            table[h] = ip;
            ip++;
        } else {
            // 2.5 No match.
            if (used(op) >= room) {
                return -1;
            }
            *op++ = *ip++;
            lit++;
            if (lit == max_lit) {
                op[-(std::ptrdiff_t)max_lit - 1] = max_lit - 1;
                lit = 0;
                op++;
            }
        }
    }

    // 3. Room for what is left.
    if (used(op) + 3 > room) {
        return -1;
    }
    // 4. The remaining bytes as literals.
    while (ip < in_end) {
        *op++ = *ip++;
        lit++;
        if (lit == max_lit) {
            op[-(std::ptrdiff_t)max_lit - 1] = max_lit - 1;
            lit = 0;
            op++;
        }
    }
    // 5. Close the last run.
    if (lit == 0) {
        op--;
    } else {
        op[-(std::ptrdiff_t)lit - 1] = (uint8_t)(lit - 1);
    }
    *output_length = (uint32_t)(op - out);
    return 0;
}
