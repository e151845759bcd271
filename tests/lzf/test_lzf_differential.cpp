// Differential suite: lzf_block_compress against the straightforward form over
// many inputs and rooms. Results, counts and every output byte (partial output
// of a -1 included) must agree; every block must expand back to its input with
// our decoder and with liblzf's.
#include "lzf/lzf.h"
#include "lzf/lzf_decode.h"
#include "lzf_classic.h"

#include <lzf.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#ifndef LZF_VERSION
#error "<lzf.h> must be liblzf's header, not ours"
#endif

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint8_t fill_byte = 0xCD;

struct outcome {
    int code;
    uint32_t count;
    bytes buffer; // the whole output room afterwards
};

template <typename Fn> outcome run(Fn fn, const bytes &in, uint32_t room) {
    // Exactly `room` bytes on the heap (one dummy byte when the room is 0), so
    // that a sanitized build catches any write past the room.
    bytes buffer(room == 0 ? 1 : room, fill_byte);
    const uint8_t dummy = 0;
    uint32_t count = room;
    const int code = fn(in.empty() ? &dummy : in.data(), static_cast<uint32_t>(in.size()),
                        buffer.data(), &count);
    buffer.resize(room);
    return {code, count, buffer};
}

std::string describe(const bytes &in, uint32_t room) {
    std::string s = "length " + std::to_string(in.size()) + " room " + std::to_string(room) + ":";
    for (size_t i = 0; i < in.size() && i < 48; ++i) {
        s += " " + std::to_string(in[i]);
    }
    return s;
}

void check_round_trip(const bytes &in, const bytes &block) {
    bytes back;
    ASSERT_TRUE(lzf_block_expand(block.data(), block.size(), back)) << describe(in, 0);
    ASSERT_EQ(back, in) << describe(in, 0);
    if (block.empty()) {
        ASSERT_TRUE(in.empty());
        return;
    }
    bytes theirs(in.size() + 1, 0);
    const unsigned n = lzf_decompress(block.data(), static_cast<unsigned>(block.size()),
                                      theirs.data(), static_cast<unsigned>(theirs.size()));
    ASSERT_EQ(n, in.size()) << describe(in, 0);
    theirs.resize(n);
    ASSERT_EQ(theirs, in) << describe(in, 0);
}

// Compares both compressors at one room; returns the shared result.
int compare_at(const bytes &in, uint32_t room) {
    const outcome ours = run(lzf_block_compress, in, room);
    const outcome classic = run(lzf_classic_compress, in, room);
    EXPECT_EQ(ours.code, classic.code) << describe(in, room);
    EXPECT_EQ(ours.count, classic.count) << describe(in, room);
    EXPECT_EQ(ours.buffer, classic.buffer) << describe(in, room);
    EXPECT_TRUE(ours.code == 0 || ours.code == -1) << describe(in, room);
    if (ours.code == -1) {
        EXPECT_EQ(ours.count, room) << "count changed on -1: " << describe(in, room);
    }
    if (ours.code == 0 && classic.code == 0 && ours.buffer == classic.buffer) {
        EXPECT_LE(ours.count, room);
        check_round_trip(in, bytes(ours.buffer.begin(), ours.buffer.begin() + ours.count));
    }
    return ours.code;
}

// Full comparison of one input: a generous room, then every room around the
// block's size (where the conservative checks bite), and some smaller ones.
void compare(const bytes &in, std::mt19937 &rng, bool every_room = false) {
    const uint32_t generous = static_cast<uint32_t>(in.size() + in.size() / 32 + 8);
    ASSERT_EQ(compare_at(in, generous), 0) << describe(in, generous);
    uint32_t count = generous;
    {
        bytes out(generous);
        ASSERT_EQ(lzf_block_compress(in.empty() ? out.data() : in.data(),
                                     static_cast<uint32_t>(in.size()), out.data(), &count),
                  0);
    }
    if (every_room) {
        for (uint32_t room = 0; room <= count + 4; ++room) {
            compare_at(in, room);
        }
        return;
    }
    for (uint32_t room = (count > 4 ? count - 4 : 0); room <= count + 4; ++room) {
        compare_at(in, room);
    }
    compare_at(in, 0);
    if (count > 0) {
        compare_at(in, std::uniform_int_distribution<uint32_t>(0, count)(rng));
    }
    if (::testing::Test::HasFailure()) {
        FAIL() << "stopping at the first differing input";
    }
}

bytes random_bytes(std::mt19937 &rng, size_t n, unsigned alphabet) {
    std::uniform_int_distribution<unsigned> d(0, alphabet - 1);
    bytes v(n);
    for (auto &b : v) {
        b = static_cast<uint8_t>(d(rng));
    }
    return v;
}

struct colour {
    uint8_t r, g, b;
};

bytes frame_of(const std::vector<colour> &leds) {
    bytes f;
    for (const colour &c : leds) {
        f.insert(f.end(), {c.r, c.g, c.b});
    }
    return f;
}

TEST(LzfDifferential, RandomBytesOfEveryShortLength) {
    std::mt19937 rng(1);
    for (size_t n = 0; n <= 300; ++n) {
        for (unsigned alphabet : {256u, 4u, 2u}) {
            ASSERT_NO_FATAL_FAILURE(compare(random_bytes(rng, n, alphabet), rng, n <= 40));
        }
    }
}

TEST(LzfDifferential, RandomBytesUpToAFewThousand) {
    std::mt19937 rng(2);
    std::uniform_int_distribution<size_t> len(0, 4000);
    for (int i = 0; i < 300; ++i) {
        for (unsigned alphabet : {256u, 16u, 3u}) {
            ASSERT_NO_FATAL_FAILURE(compare(random_bytes(rng, len(rng), alphabet), rng));
        }
    }
}

// Consecutive runs of bytes that step by one hash alike: (a, a+1, a+2) and
// (b, b+1, b+2) share the hash value, so a newer colliding triple hides an
// older real match, which the lookup must reproduce.
TEST(LzfDifferential, HashCollisionsShadowMatches) {
    std::mt19937 rng(3);
    for (int i = 0; i < 400; ++i) {
        bytes in;
        const size_t n = std::uniform_int_distribution<size_t>(3, 600)(rng);
        while (in.size() < n) {
            const uint8_t start = static_cast<uint8_t>(rng() % 6);
            const int len = 3 + static_cast<int>(rng() % 5);
            for (int k = 0; k < len; ++k) {
                in.push_back(static_cast<uint8_t>(start + k));
            }
        }
        ASSERT_NO_FATAL_FAILURE(compare(in, rng));
    }
}

TEST(LzfDifferential, RunsOfRepeatedBytes) {
    std::mt19937 rng(4);
    for (int i = 0; i < 400; ++i) {
        bytes in;
        const size_t n = std::uniform_int_distribution<size_t>(0, 3000)(rng);
        while (in.size() < n) {
            const uint8_t b = static_cast<uint8_t>(rng() % 4);
            const size_t len = 1 + rng() % (i % 2 ? 8 : 600);
            in.insert(in.end(), len, b);
        }
        in.resize(n);
        ASSERT_NO_FATAL_FAILURE(compare(in, rng));
    }
}

TEST(LzfDifferential, RepeatsAtEveryDistanceAroundTheWindow) {
    std::mt19937 rng(5);
    for (size_t distance : {1u, 2u, 3u, 255u, 256u, 257u, 8190u, 8191u, 8192u, 8193u, 8194u}) {
        bytes block = random_bytes(rng, distance, 256);
        bytes in;
        while (in.size() < distance * 2 + 300) {
            in.insert(in.end(), block.begin(), block.end());
        }
        ASSERT_NO_FATAL_FAILURE(compare(in, rng));
    }
}

TEST(LzfDifferential, LengthsAroundTheSmallLookupLimit) {
    std::mt19937 rng(6);
    for (size_t n = 250; n <= 262; ++n) {
        for (unsigned alphabet : {256u, 2u, 1u}) {
            ASSERT_NO_FATAL_FAILURE(compare(random_bytes(rng, n, alphabet), rng, true));
        }
    }
}

TEST(LzfDifferential, InputsBeyondSixteenBitPositions) {
    std::mt19937 rng(7);
    for (unsigned alphabet : {256u, 3u, 1u}) {
        bytes in = random_bytes(rng, 70000 + rng() % 1000, alphabet);
        // Repeat an early stretch far beyond 65536 as well.
        std::copy(in.begin() + 100, in.begin() + 400, in.begin() + 66000);
        ASSERT_NO_FATAL_FAILURE(compare(in, rng));
    }
}

// Slider frames as the host sends them: black with a few lit cells.
TEST(LzfDifferential, EveryFrameWithUpToThreeLitCells) {
    const colour black{0, 0, 0};
    const std::vector<colour> lit = {{0xFF, 0xFF, 0xFF}, {0x7F, 0x23, 0x00}, {0x00, 0x00, 0x01}};
    int fits = 0;
    int frames = 0;
    std::vector<std::vector<size_t>> cell_sets = {{}};
    for (size_t a = 0; a < 32; ++a) {
        cell_sets.push_back({a});
        for (size_t b = a + 1; b < 32; ++b) {
            cell_sets.push_back({a, b});
            for (size_t d = b + 1; d < 32; ++d) {
                cell_sets.push_back({a, b, d});
            }
        }
    }
    for (const colour &c : lit) {
        for (const auto &cells : cell_sets) {
            std::vector<colour> leds(32, black);
            for (size_t cell : cells) {
                leds[cell] = c;
            }
            const bytes f = frame_of(leds);
            ++frames;
            // The room the lighting code uses, and its neighbours.
            for (uint32_t room : {61u, 62u, 63u}) {
                if (compare_at(f, room) == 0 && room == 62) {
                    ++fits;
                }
            }
            if (HasFailure()) {
                FAIL() << "stopping at the first differing frame";
            }
        }
    }
    EXPECT_EQ(frames, 3 * (1 + 32 + 496 + 4960));
    EXPECT_GT(fits, 0);
}

TEST(LzfDifferential, FramesFromSmallPalettes) {
    std::mt19937 rng(9);
    for (unsigned colours : {2u, 3u, 4u, 8u, 32u}) {
        std::vector<colour> palette;
        for (unsigned i = 0; i < colours; ++i) {
            palette.push_back({static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                               static_cast<uint8_t>(rng())});
        }
        palette[0] = {0, 0, 0};
        for (int i = 0; i < 1500; ++i) {
            std::vector<colour> leds(32);
            for (auto &l : leds) {
                l = palette[rng() % colours];
            }
            const bytes f = frame_of(leds);
            for (uint32_t room : {0u, 10u, 40u, 61u, 62u, 63u, 100u, 200u}) {
                compare_at(f, room);
            }
            if (HasFailure()) {
                FAIL() << "stopping at the first differing frame";
            }
        }
    }
}

TEST(LzfDifferential, FramesWithEveryRoom) {
    std::mt19937 rng(10);
    const std::vector<colour> palette = {{0, 0, 0}, {0xFF, 0, 0}, {0, 0xFF, 0}, {1, 2, 3}};
    for (int i = 0; i < 300; ++i) {
        std::vector<colour> leds(32, palette[0]);
        const int lit = static_cast<int>(rng() % 6);
        for (int k = 0; k < lit; ++k) {
            leds[rng() % 32] = palette[1 + rng() % 3];
        }
        ASSERT_NO_FATAL_FAILURE(compare(frame_of(leds), rng, true));
    }
}

} // namespace
