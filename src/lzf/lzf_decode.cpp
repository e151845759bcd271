#include "lzf/lzf_decode.h"

bool lzf_block_expand(const uint8_t *block, size_t length, std::vector<uint8_t> &out) {
    out.clear();
    size_t i = 0;
    while (i < length) {
        const unsigned k = block[i++];
        if (k < 0x20) {
            const size_t run = k + 1;
            if (length - i < run) {
                return false;
            }
            out.insert(out.end(), block + i, block + i + run);
            i += run;
            continue;
        }
        size_t l = k >> 5;
        if (l == 7) {
            if (i >= length) {
                return false;
            }
            l += block[i++];
        }
        if (i >= length) {
            return false;
        }
        const size_t distance = (((k & 0x1Fu) << 8) | block[i++]) + 1;
        if (distance > out.size()) {
            return false;
        }
        size_t from = out.size() - distance;
        for (size_t n = 0; n < l + 2; ++n) {
            out.push_back(out[from + n]); // byte by byte: may overlap its own output
        }
    }
    return true;
}
