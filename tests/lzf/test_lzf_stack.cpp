// The compressor runs on the host's threads (the slider callback among them),
// so a 96-byte frame must not need more than 4 KiB of stack. Measured by
// running it on a thread whose stack is painted with a pattern beforehand and
// finding the deepest byte that changed.
#include "lzf/lzf.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LZF_STACK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define LZF_STACK_SANITIZED 1
#endif
#endif

namespace {

constexpr size_t thread_stack_size = 1 << 20;
constexpr uint8_t paint = 0x5A;

struct job {
    const std::vector<uint8_t> *input;
    uint32_t room;
    int result;
    uint32_t count;
    const uint8_t *entry; // an address in the thread function's own frame
};

void *run_job(void *arg) {
    auto *j = static_cast<job *>(arg);
    volatile uint8_t marker = 0;
    j->entry = const_cast<const uint8_t *>(&marker);
    uint8_t out[64];
    uint32_t count = j->room;
    // Through a volatile pointer so the call cannot be folded into this frame.
    int (*volatile compress)(const void *, uint32_t, void *, uint32_t *) = lzf_block_compress;
    j->result = compress(j->input->data(), static_cast<uint32_t>(j->input->size()), out, &count);
    j->count = count;
    return nullptr;
}

// Bytes of stack used below the thread function's frame by one call.
size_t stack_used(const std::vector<uint8_t> &input, uint32_t room, int &result) {
    std::vector<uint8_t> stack(thread_stack_size, paint);
    pthread_attr_t attr;
    EXPECT_EQ(pthread_attr_init(&attr), 0);
    EXPECT_EQ(pthread_attr_setstack(&attr, stack.data(), stack.size()), 0);
    job j{&input, room, 99, 0, nullptr};
    pthread_t thread;
    EXPECT_EQ(pthread_create(&thread, &attr, run_job, &j), 0);
    EXPECT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
    result = j.result;
    size_t lowest = 0;
    while (lowest < stack.size() && stack[lowest] == paint) {
        ++lowest;
    }
    const size_t entry = static_cast<size_t>(j.entry - stack.data());
    EXPECT_LT(lowest, entry);
    return entry - lowest;
}

std::vector<uint8_t> frame(int kind) {
    std::vector<uint8_t> f(96, 0);
    for (size_t i = 0; i < f.size(); ++i) {
        if (kind == 1 && i >= 30 && i < 36) {
            f[i] = 0xFF;
        } else if (kind == 2) {
            f[i] = static_cast<uint8_t>(i * 7 + 3);
        } else if (kind == 3) {
            f[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
        }
    }
    return f;
}

TEST(LzfStack, FrameNeedsAtMostFourKibibytes) {
#ifdef LZF_STACK_SANITIZED
    GTEST_SKIP() << "sanitizer instrumentation changes stack frames";
#endif
    for (int kind = 0; kind < 4; ++kind) {
        for (uint32_t room : {62u, 64u}) {
            int result = 0;
            const size_t used = stack_used(frame(kind), room, result);
            EXPECT_TRUE(result == 0 || result == -1) << kind;
            EXPECT_LE(used, 4096u) << "frame kind " << kind << " room " << room;
            RecordProperty("stack_bytes_kind" + std::to_string(kind) + "_room" +
                               std::to_string(room),
                           static_cast<int>(used));
            EXPECT_GT(used, 0u);
        }
    }
}

// The measurement itself works: an input long enough for the full table
// shows its 256 KiB.
TEST(LzfStack, LongInputUsesTheFullTable) {
#ifdef LZF_STACK_SANITIZED
    GTEST_SKIP() << "sanitizer instrumentation changes stack frames";
#endif
    std::vector<uint8_t> input(1000, 0x11);
    int result = 0;
    const size_t used = stack_used(input, 64, result);
    EXPECT_EQ(result, 0);
    EXPECT_GE(used, 65536u * 4);
    RecordProperty("stack_bytes_long", static_cast<int>(used));
}

} // namespace
