// libFuzzer target for lzf_block_compress.
//
// Input: one mode byte, two bytes of output room (little-endian), then the
// bytes to compress. Input and output live in exactly-sized heap blocks so
// that AddressSanitizer reports any access outside the input or the room.
// Checks: the result is 0, -1 or -3 as the arguments dictate; a -1 leaves the
// count alone; every success fits the room and expands back to the input; and
// result, count and the whole output room equal the straightforward form's.
#include "lzf/lzf.h"
#include "lzf/lzf_decode.h"
#include "lzf_classic.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "lzf_fuzz: %s\n", what);
    std::abort();
}

void check(bool ok, const char *what) {
    if (!ok) {
        fail(what);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const uint8_t mode = data[0];
    const uint32_t room = data[1] | (static_cast<uint32_t>(data[2]) << 8);
    const size_t in_len = size - 3;

    uint8_t *in = new uint8_t[in_len]; // a unique pointer even for 0 bytes
    std::memcpy(in, data + 3, in_len);
    uint8_t *out = new uint8_t[room];
    uint8_t *classic_out = new uint8_t[room];
    std::memset(out, 0xA5, room);
    std::memset(classic_out, 0xA5, room);

    // Rare modes exercise the argument checks with null pointers.
    const bool null_input = mode == 0xFD;
    const bool null_output = mode == 0xFE;
    const bool null_count = mode == 0xFF;
    const void *in_arg = null_input ? nullptr : in;
    void *out_arg = null_output ? nullptr : out;
    uint32_t count = room;
    const int code = lzf_block_compress(in_arg, static_cast<uint32_t>(in_len), out_arg,
                                        null_count ? nullptr : &count);

    uint32_t classic_count = room;
    const int classic_code = lzf_classic_compress(in_arg, static_cast<uint32_t>(in_len),
                                                  null_output ? nullptr : classic_out,
                                                  null_count ? nullptr : &classic_count);

    int expected_bad = 0;
    if (null_count || (null_input && in_len != 0) || (!null_input && null_output)) {
        expected_bad = 1;
    }
    if (expected_bad) {
        check(code == -3, "bad arguments not reported as -3");
        check(count == room, "count changed on -3");
    } else if (null_input) {
        check(code == 0 && count == 0, "null empty input not an empty block");
    } else {
        check(code == 0 || code == -1, "result neither 0 nor -1");
    }
    check(code == classic_code, "result differs from the straightforward form");
    check(count == classic_count, "count differs from the straightforward form");
    check(std::memcmp(out, classic_out, room) == 0,
          "output bytes differ from the straightforward form");

    if (code == -1) {
        check(count == room, "count changed on -1");
    }
    if (code == 0 && !null_input) {
        check(count <= room, "count beyond the room");
        std::vector<uint8_t> back;
        check(lzf_block_expand(out, count, back), "block does not decode");
        check(back.size() == in_len && (in_len == 0 || std::memcmp(back.data(), in, in_len) == 0),
              "block does not expand back to the input");
    }

    delete[] classic_out;
    delete[] out;
    delete[] in;
    return 0;
}
