// The host's main program image: its load address, the span of its loadable
// segments, and which bytes in that span are mapped and readable (the
// segments may leave unmapped gaps between them).
#include "platform/platform.h"

#include <cstdint>
#include <link.h>

namespace {

struct image_query {
    uint64_t offset; // from the image's base
    uint64_t base;
    uint64_t size;
    bool readable;
};

int main_program(dl_phdr_info *info, size_t, void *data) {
    image_query *query = static_cast<image_query *>(data);
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
    if (low == UINT64_MAX) {
        return 1;
    }
    query->base = info->dlpi_addr + low;
    query->size = high - low;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD && (header.p_flags & PF_R) != 0 &&
            query->offset >= header.p_vaddr - low &&
            query->offset - (header.p_vaddr - low) < header.p_memsz) {
            query->readable = true;
        }
    }
    return 1; // the main program comes first
}

image_query host_image(uint64_t offset) {
    image_query query{offset, 0, 0, false};
    dl_iterate_phdr(main_program, &query);
    return query;
}

} // namespace

uint64_t plat_host_image_base() {
    return host_image(0).base;
}

bool plat_host_byte_readable(uint64_t offset, uint64_t *image_size) {
    image_query query = host_image(offset);
    if (image_size) {
        *image_size = query.size;
    }
    return query.readable;
}
