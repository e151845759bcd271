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

TEST(LzfRoom, EmptyInputNeedsRoomOfFour) {
    for (uint32_t room = 4; room < 8; ++room) {
        result r = compress({}, room);
        EXPECT_EQ(r.code, 0) << room;
        EXPECT_EQ(r.count, 0u) << room;
    }
    for (uint32_t room = 0; room < 4; ++room) {
        result r = compress({}, room);
        EXPECT_EQ(r.code, -1) << room;
        EXPECT_EQ(r.count, room) << "count unchanged on -1";
    }
}

TEST(LzfExamples, NinetySixZerosGiveNineBytes) {
    result r = compress(bytes(96, 0x00), 62);
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out, (bytes{0x01, 0x00, 0x00, 0xE0, 0x53, 0x00, 0x01, 0x00, 0x00}));
}

TEST(LzfExamples, RepeatedColourGivesElevenBytes) {
    result r = compress(frame_7f_23_00(), 62);
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out, (bytes{0x03, 0x7F, 0x23, 0x00, 0x7F, 0xE0, 0x51, 0x02, 0x01, 0x23, 0x00}));
}

TEST(LzfRoom, NineByteBlockNeedsRoomOfTen) {
    result fits = compress(bytes(96, 0x00), 10);
    EXPECT_EQ(fits.code, 0);
    EXPECT_EQ(fits.count, 9u);
    for (uint32_t room = 0; room < 10; ++room) {
        result r = compress(bytes(96, 0x00), room);
        EXPECT_EQ(r.code, -1) << room;
        EXPECT_EQ(r.count, room) << room;
    }
}

TEST(LzfRoom, ElevenByteBlockNeedsRoomOfTwelve) {
    result fits = compress(frame_7f_23_00(), 12);
    EXPECT_EQ(fits.code, 0);
    EXPECT_EQ(fits.count, 11u);
    for (uint32_t room = 0; room < 12; ++room) {
        result r = compress(frame_7f_23_00(), room);
        EXPECT_EQ(r.code, -1) << room;
        EXPECT_EQ(r.count, room) << room;
    }
}

TEST(LzfRoom, NinetySixDistinctBytesDoNotFitInSixtyTwo) {
    bytes frame(96);
    for (size_t i = 0; i < 96; ++i) {
        frame[i] = static_cast<uint8_t>(i * 7 + 3);
    }
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

TEST(LzfExamples, ShortInputsAreOneLiteralRun) {
    EXPECT_EQ(compress({0x42}, 16).out, (bytes{0x00, 0x42}));
    EXPECT_EQ(compress({0x42, 0x42}, 16).out, (bytes{0x01, 0x42, 0x42}));
    EXPECT_EQ(compress({0x42, 0x42, 0x42}, 16).out, (bytes{0x02, 0x42, 0x42, 0x42}));
    EXPECT_EQ(compress({0x01, 0x02, 0x03}, 16).out, (bytes{0x02, 0x01, 0x02, 0x03}));
}

TEST(LzfRoom, ShortInputsNeedTheirRoomChecks) {
    // One byte: no pass of the walk; only the final check, op (1) + 3 <= room.
    EXPECT_EQ(compress({0x42}, 4).code, 0);
    EXPECT_EQ(compress({0x42}, 3).code, -1);
    // Three bytes: one pass copies the first byte, then op (2) + 3 <= room.
    EXPECT_EQ(compress({1, 2, 3}, 5).code, 0);
    EXPECT_EQ(compress({1, 2, 3}, 4).code, -1);
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
    bytes in(33);
    for (size_t i = 0; i < 33; ++i) {
        in[i] = static_cast<uint8_t>(i);
    }
    result r = compress(in, 64);
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
