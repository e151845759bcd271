// Time per 96-byte LED frame, compressed into the 62-byte room of the feature
// report: our compressor, the straightforward form (table of 65536 pointers
// cleared per call) and liblzf's lzf_compress, on five kinds of frame.
#include "lzf/lzf.h"
#include "lzf_classic.h"

#include <lzf.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr uint32_t frame_size = 96;
constexpr uint32_t room = 62;

using frame = std::vector<uint8_t>;

void set_led(frame &f, size_t led, uint8_t r, uint8_t g, uint8_t b) {
    f[3 * led] = r;
    f[3 * led + 1] = g;
    f[3 * led + 2] = b;
}

frame black() {
    return frame(frame_size, 0);
}

frame one_lit() {
    frame f = black();
    set_led(f, 13, 0xFF, 0x80, 0x00);
    return f;
}

frame few_lit() {
    frame f = black();
    set_led(f, 2, 0xFF, 0xFF, 0xFF);
    set_led(f, 3, 0xFF, 0xFF, 0xFF);
    set_led(f, 17, 0x00, 0x40, 0xFF);
    set_led(f, 30, 0xC0, 0x00, 0x20);
    return f;
}

frame distinct_colours() {
    frame f = black();
    for (size_t led = 0; led < 32; ++led) {
        set_led(f, led, static_cast<uint8_t>(led * 8), static_cast<uint8_t>(255 - led * 5),
                static_cast<uint8_t>(led * 37));
    }
    return f;
}

frame random_bytes() {
    std::mt19937 rng(96);
    frame f(frame_size);
    for (auto &b : f) {
        b = static_cast<uint8_t>(rng());
    }
    return f;
}

frame make(int kind) {
    switch (kind) {
    case 0:
        return black();
    case 1:
        return one_lit();
    case 2:
        return few_lit();
    case 3:
        return distinct_colours();
    default:
        return random_bytes();
    }
}

const char *const kind_names[] = {"black", "one_lit", "few_lit", "distinct_colours",
                                  "random_bytes"};

void bm_ours(benchmark::State &state) {
    const frame f = make(static_cast<int>(state.range(0)));
    uint8_t out[room];
    for (auto _ : state) {
        uint32_t count = room;
        int r = lzf_block_compress(f.data(), frame_size, out, &count);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(kind_names[state.range(0)]);
}

void bm_classic(benchmark::State &state) {
    const frame f = make(static_cast<int>(state.range(0)));
    uint8_t out[room];
    for (auto _ : state) {
        uint32_t count = room;
        int r = lzf_classic_compress(f.data(), frame_size, out, &count);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(kind_names[state.range(0)]);
}

void bm_liblzf(benchmark::State &state) {
    const frame f = make(static_cast<int>(state.range(0)));
    uint8_t out[room];
    for (auto _ : state) {
        unsigned r = lzf_compress(f.data(), frame_size, out, room);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(kind_names[state.range(0)]);
}

BENCHMARK(bm_ours)->DenseRange(0, 4);
BENCHMARK(bm_classic)->DenseRange(0, 4);
BENCHMARK(bm_liblzf)->DenseRange(0, 4);

} // namespace
