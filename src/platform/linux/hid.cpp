// The HID interfaces: the table of backends, the listing they fill and the
// table of open handles. The plat_hid_* calls hand each handle to its backend.
#include "platform/linux/linux_internal.h"
#include "platform/virtual_hid.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace linux_platform {

namespace {

// The backends, listed in this order: virtual interfaces first (when
// TEVUIO_VIRTUAL_HID_DIR names a folder), then the hidraw nodes.
const hid_backend *const backends[] = {&vhid::backend, &hidraw::backend};

constexpr uint32_t max_listed = 128;

struct listed_interface {
    plat_hid_interface fields;
    bool fits; // the whole path is in fields.path
};

// The HID layer's state: the listing of the last search (one at a time: the
// library serialises its searches) and the open handles (claimed and given
// back by compare-and-swap on their state).
struct hid_state {
    struct {
        listed_interface entries[max_listed];
        uint32_t count;
    } listing = {};
    hid_handle handles[max_handles];
};
hid_state hid;

} // namespace

// A path too long for plat_path_room is kept cut and marked, so that the
// walk skips it.
void listing_sink::add(int32_t vendor_id, int32_t interface, const char *middle,
                       const char *rest) const {
    if (hid.listing.count >= max_listed) {
        return;
    }
    listed_interface &entry = hid.listing.entries[hid.listing.count++];
    entry.fields.vendor_id = vendor_id;
    entry.fields.interface_number = interface;
    int length = snprintf(entry.fields.path, plat_path_room, "%s%s%s", prefix, middle, rest);
    entry.fits = length >= 0 && static_cast<uint32_t>(length) < plat_path_room;
}

namespace {

// The open handle a file names, nullptr for anything else.
hid_handle *handle_of(plat_file file) {
    for (hid_handle &handle : hid.handles) {
        if (&handle == file) {
            return handle.state.load(std::memory_order_acquire) == handle_open ? &handle : nullptr;
        }
    }
    return nullptr;
}

} // namespace

hid_handle *claim_handle() {
    for (hid_handle &handle : hid.handles) {
        int expected = handle_free;
        if (handle.state.compare_exchange_strong(expected, handle_claimed,
                                                 std::memory_order_acq_rel)) {
            handle.queue_depth.store(2, std::memory_order_release);
            handle.gone.store(false, std::memory_order_release);
            return &handle;
        }
    }
    return nullptr;
}

void release_handle(hid_handle *handle) {
    handle->state.store(handle_free, std::memory_order_release);
}

int handle_index(const hid_handle *handle) {
    return static_cast<int>(handle - hid.handles);
}

hid_handle *handle_at(int index) {
    return &hid.handles[index];
}

plat_io_result send_failed(hid_handle *handle, int error) {
    set_last_error(error ? error : EIO);
    if (error == ENODEV || error == ESHUTDOWN || error == EPIPE || error == ECONNRESET) {
        handle->gone.store(true, std::memory_order_release);
        return PLAT_IO_GONE;
    }
    return PLAT_IO_FAILED;
}

uint32_t queue_depth_of(hid_handle *handle) {
    uint32_t depth = handle->queue_depth.load(std::memory_order_acquire);
    return depth < 1 ? 1 : (depth > max_queue_depth ? max_queue_depth : depth);
}

} // namespace linux_platform

using namespace linux_platform;

plat_list plat_hid_list_open() {
    hid.listing.count = 0;
    for (const hid_backend *backend : backends) {
        backend->list(listing_sink{backend->prefix});
    }
    return &hid.listing;
}

plat_entry_result plat_hid_list_entry(plat_list list, uint32_t index, plat_hid_interface *entry) {
    if (list != &hid.listing || index >= hid.listing.count) {
        return PLAT_ENTRY_END;
    }
    const listed_interface &listed = hid.listing.entries[index];
    if (!listed.fits || !entry) {
        return PLAT_ENTRY_SKIP;
    }
    *entry = listed.fields;
    return PLAT_ENTRY_OK;
}

void plat_hid_list_close(plat_list) {}

plat_file plat_hid_open(const char *path) {
    if (!path) {
        set_last_error(EINVAL);
        return PLAT_INVALID_FILE;
    }
    for (const hid_backend *backend : backends) {
        const size_t prefix_length = strlen(backend->prefix);
        if (strncmp(path, backend->prefix, prefix_length) != 0) {
            continue;
        }
        hid_handle *handle = backend->open(path + prefix_length);
        if (!handle) {
            return PLAT_INVALID_FILE;
        }
        handle->backend = backend;
        handle->state.store(handle_open, std::memory_order_release);
        return handle;
    }
    set_last_error(ENOENT);
    return PLAT_INVALID_FILE;
}

plat_io_result plat_hid_read(plat_file file, uint8_t *buffer, uint32_t room, uint32_t *count) {
    uint32_t unused = 0;
    count = count ? count : &unused;
    *count = 0;
    hid_handle *handle = handle_of(file);
    if (!handle || !buffer) {
        set_last_error(EBADF);
        return PLAT_IO_GONE;
    }
    if (handle->gone.load(std::memory_order_acquire)) {
        set_last_error(ENODEV);
        return PLAT_IO_GONE;
    }
    return handle->backend->read(handle, buffer, room, count);
}

void plat_hid_cancel(plat_file file) {
    hid_handle *handle = handle_of(file);
    if (!handle) {
        return;
    }
    // The bump comes first: a call that empties its eventfd and then finds
    // the generation unchanged is sure to see this write.
    handle->cancel_generation.fetch_add(1, std::memory_order_acq_rel);
    if (handle->backend->cancel) {
        handle->backend->cancel(handle);
    }
}

void plat_hid_close(plat_file file) {
    hid_handle *handle = handle_of(file);
    if (!handle) {
        return;
    }
    handle->backend->close(handle);
    release_handle(handle);
}

plat_io_result plat_hid_send(plat_file file, plat_report_kind kind, const uint8_t *report,
                             uint32_t length) {
    hid_handle *handle = handle_of(file);
    if (!handle) {
        set_last_error(EBADF);
        return PLAT_IO_GONE;
    }
    if (!report || length == 0) {
        set_last_error(EINVAL);
        return PLAT_IO_FAILED;
    }
    if (handle->gone.load(std::memory_order_acquire)) {
        set_last_error(ENODEV);
        return PLAT_IO_GONE;
    }
    return handle->backend->send(handle, kind, report, length);
}

bool plat_hid_set_input_queue(plat_file file, uint32_t reports) {
    hid_handle *handle = handle_of(file);
    if (!handle) {
        set_last_error(EBADF);
        return false;
    }
    if (reports < 1) {
        set_last_error(EINVAL);
        return false;
    }
    handle->queue_depth.store(reports > max_queue_depth ? max_queue_depth : reports,
                              std::memory_order_release);
    return true;
}
