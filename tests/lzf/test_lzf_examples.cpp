// The compressor's fixed examples: argument checks, the room rules and the
// exact bytes of known frames.
#include "lzf/lzf.h"
#include "lzf/lzf_decode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct result {
    int code;
    uint32_t count;
    bytes out; // the first `count` bytes on success
};

// Compresses into a heap buffer of exactly `room` bytes, so that a sanitized
// build catches any write past the room.
result compress(const bytes &in, uint32_t room) {
    bytes buffer(room);
    uint32_t count = room;
    // A distinct non-null pointer even for an empty buffer.
    uint8_t dummy = 0;
    uint8_t *out = room ? buffer.data() : &dummy;
    const int code = lzf_block_compress(in.data() ? in.data() : &dummy,
                                        static_cast<uint32_t>(in.size()), out, &count);
    result r{code, count, {}};
    if (code == 0) {
        r.out.assign(out, out + count);
    }
    return r;
}

bytes frame_7f_23_00() {
    bytes frame;
    for (int i = 0; i < 32; ++i) {
        frame.insert(frame.end(), {0x7F, 0x23, 0x00});
    }
    return frame;
}

// n bytes start, start + step, start + 2 step, ... (mod 256).
bytes sequence(size_t n, unsigned step, unsigned start) {
    bytes in(n);
    for (size_t i = 0; i < n; ++i) {
        in[i] = static_cast<uint8_t>(start + i * step);
    }
    return in;
}

TEST(LzfArguments, NullCountIsBadArgument) {
    uint8_t in[4] = {1, 2, 3, 4};
    uint8_t out[16];
    EXPECT_EQ(lzf_block_compress(in, 4, out, nullptr), -3);
    EXPECT_EQ(lzf_block_compress(nullptr, 0, out, nullptr), -3);
    EXPECT_EQ(lzf_block_compress(nullptr, 0, nullptr, nullptr), -3);
}

TEST(LzfArguments, NullInputWithLengthIsBadArgument) {
    uint8_t out[16];
    uint32_t count = 16;
    EXPECT_EQ(lzf_block_compress(nullptr, 1, out, &count), -3);
    EXPECT_EQ(count, 16u);
    EXPECT_EQ(lzf_block_compress(nullptr, 0xFFFFFFFFu, nullptr, &count), -3);
    EXPECT_EQ(count, 16u);
}

TEST(LzfArguments, NullInputOfLengthZeroGivesEmptyBlock) {
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    uint32_t count = 4;
    EXPECT_EQ(lzf_block_compress(nullptr, 0, out, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(out[0], 0xAA); // nothing written
    // Checked before the output pointer: even a null output and no room pass.
    count = 0;
    EXPECT_EQ(lzf_block_compress(nullptr, 0, nullptr, &count), 0);
    EXPECT_EQ(count, 0u);
}

TEST(LzfArguments, NullOutputIsBadArgument) {
    uint8_t in[4] = {1, 2, 3, 4};
    uint32_t count = 100;
    EXPECT_EQ(lzf_block_compress(in, 4, nullptr, &count), -3);
    EXPECT_EQ(lzf_block_compress(in, 0, nullptr, &count), -3);
    EXPECT_EQ(count, 100u);
}

// The exact blocks of known inputs: 96 zeros and the repeated colour (each a
// frame for the feature report), and short inputs that are one literal run.
TEST(LzfExamples, KnownInputsGiveTheirExactBlocks) {
    const struct {
        bytes in, block;
    } cases[] = {
        {bytes(96, 0x00), {0x01, 0x00, 0x00, 0xE0, 0x53, 0x00, 0x01, 0x00, 0x00}},
        {frame_7f_23_00(), {0x03, 0x7F, 0x23, 0x00, 0x7F, 0xE0, 0x51, 0x02, 0x01, 0x23, 0x00}},
        {{0x42}, {0x00, 0x42}},
        {{0x42, 0x42}, {0x01, 0x42, 0x42}},
        {{0x42, 0x42, 0x42}, {0x02, 0x42, 0x42, 0x42}},
        {{0x01, 0x02, 0x03}, {0x02, 0x01, 0x02, 0x03}},
    };
    for (const auto &c : cases) {
        result r = compress(c.in, 62);
        ASSERT_EQ(r.code, 0) << c.in.size();
        EXPECT_EQ(r.out, c.block);
    }
}

// Each block needs room for itself and one byte more, an empty input room 4:
// below that -1 with the count unchanged, from there on the block. One byte
// makes no pass of the walk, only the final check (op (1) + 3 <= room); three
// make one pass that copies the first byte, then op (2) + 3 <= room.
TEST(LzfRoom, EachBlockNeedsItsRoom) {
    const struct {
        bytes in;
        uint32_t count, least_room;
    } cases[] = {
        {{}, 0, 4},     {bytes(96, 0x00), 9, 10}, {frame_7f_23_00(), 11, 12},
        {{0x42}, 2, 4}, {{1, 2, 3}, 4, 5},
    };
    for (const auto &c : cases) {
        for (uint32_t room = 0; room < c.least_room + 4; ++room) {
            result r = compress(c.in, room);
            const bool fits = room >= c.least_room;
            EXPECT_EQ(r.code, fits ? 0 : -1) << c.in.size() << " bytes, room " << room;
            EXPECT_EQ(r.count, fits ? c.count : room) << c.in.size() << " bytes, room " << room;
        }
    }
}

TEST(LzfRoom, NinetySixDistinctBytesDoNotFitInSixtyTwo) {
    const bytes frame = sequence(96, 7, 3);
    result r = compress(frame, 62);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.count, 62u);
    // Three full runs of 32 literals, each with its control byte.
    result all = compress(frame, 1000);
    ASSERT_EQ(all.code, 0);
    EXPECT_EQ(all.count, 99u);
    EXPECT_EQ(all.out[0], 31);
    EXPECT_EQ(all.out[33], 31);
    EXPECT_EQ(all.out[66], 31);
}

TEST(LzfExamples, LongRunOfOneByteUsesLongestReferences) {
    // 600 zeros: two literals, then references of at most 264 bytes.
    result r = compress(bytes(600, 0x00), 100);
    ASSERT_EQ(r.code, 0);
    ASSERT_GE(r.count, 6u);
    EXPECT_EQ(r.out[0], 0x01);
    EXPECT_EQ(r.out[3], 0xE0);
    EXPECT_EQ(r.out[4], 264 - 2 - 7); // the longest match
    bytes back;
    ASSERT_TRUE(lzf_block_expand(r.out.data(), r.out.size(), back));
    EXPECT_EQ(back, bytes(600, 0x00));
}

TEST(LzfExamples, ThirtyThirdLiteralOpensSecondRun) {
    result r = compress(sequence(33, 1, 0), 64);
    ASSERT_EQ(r.code, 0);
    ASSERT_EQ(r.count, 35u);
    EXPECT_EQ(r.out[0], 31);
    EXPECT_EQ(r.out[33], 0);
    EXPECT_EQ(r.out[34], 32);
}

TEST(LzfDecode, DecoderRejectsMalformedBlocks) {
    bytes out;
    const uint8_t cut_literal[] = {0x02, 0x01};
    EXPECT_FALSE(lzf_block_expand(cut_literal, sizeof cut_literal, out));
    const uint8_t ref_before_start[] = {0x00, 0x01, 0x20, 0x01};
    EXPECT_FALSE(lzf_block_expand(ref_before_start, sizeof ref_before_start, out));
    const uint8_t cut_long[] = {0x00, 0x01, 0xE0};
    EXPECT_FALSE(lzf_block_expand(cut_long, sizeof cut_long, out));
    const uint8_t overlap[] = {0x00, 0x09, 0x20, 0x00};
    ASSERT_TRUE(lzf_block_expand(overlap, sizeof overlap, out));
    EXPECT_EQ(out, (bytes{9, 9, 9, 9}));
}

} // namespace
