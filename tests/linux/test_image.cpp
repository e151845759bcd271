// The host image check in a program linked with unmapped gaps between its
// segments (see CMakeLists.txt): a lamp-state offset in a gap lies inside
// the image's span but must be refused.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <link.h>
#include <vector>

namespace {

struct segment {
    uint64_t start; // offset from the image's base
    uint64_t size;
};

int collect(dl_phdr_info *info, size_t, void *data) {
    auto *segments = static_cast<std::vector<segment> *>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            segments->push_back({info->dlpi_phdr[i].p_vaddr, info->dlpi_phdr[i].p_memsz});
        }
    }
    return 1;
}

} // namespace

TEST(HostImage, OnlyBytesOfLoadedSegmentsAreReadable) {
    std::vector<segment> segments;
    dl_iterate_phdr(collect, &segments);
    std::sort(segments.begin(), segments.end(),
              [](const segment &a, const segment &b) { return a.start < b.start; });
    ASSERT_GE(segments.size(), 2u);
    const uint64_t low = segments.front().start;
    uint64_t image_size = 0;
    uint64_t gap = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        uint64_t start = segments[i].start - low;
        uint64_t end = start + segments[i].size;
        EXPECT_TRUE(plat_host_byte_readable(start, &image_size)) << i;
        EXPECT_TRUE(plat_host_byte_readable(end - 1, &image_size)) << i;
        uint64_t next_page = (end + 0xFFF) & ~uint64_t{0xFFF};
        if (i + 1 < segments.size() && next_page < segments[i + 1].start - low) {
            gap = next_page;
        }
    }
    ASSERT_NE(gap, 0u) << "the program was linked without a gap between segments";
    EXPECT_LT(gap, image_size);
    EXPECT_FALSE(plat_host_byte_readable(gap, &image_size));
    EXPECT_FALSE(plat_host_byte_readable(image_size, &image_size));
}
