// The host's main program image: its load address and the span of its
// loadable segments.
#include "platform/platform.h"

#include <cstdint>
#include <link.h>

namespace {

struct image_extent {
    uint64_t base;
    uint64_t size;
};

int first_image(dl_phdr_info *info, size_t, void *data) {
    image_extent *extent = static_cast<image_extent *>(data);
    uint64_t low = UINT64_MAX;
    uint64_t high = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) {
            continue;
        }
        if (header.p_vaddr < low) {
            low = header.p_vaddr;
        }
        if (header.p_vaddr + header.p_memsz > high) {
            high = header.p_vaddr + header.p_memsz;
        }
    }
    if (low != UINT64_MAX) {
        extent->base = info->dlpi_addr + low;
        extent->size = high - low;
    }
    return 1; // the main program comes first
}

image_extent host_image() {
    image_extent extent{0, 0};
    dl_iterate_phdr(first_image, &extent);
    return extent;
}

} // namespace

uint64_t plat_host_image_base() {
    return host_image().base;
}

uint64_t plat_host_image_size() {
    return host_image().size;
}
