// The table of open HID handles and the plat_hid_* calls, which hand each
// handle to its kind: hidraw (hidraw.cpp) or virtual (virtual.cpp).
#include "platform/linux/linux_internal.h"
#include "platform/virtual_hid.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace linux_platform {

hid_slot hid_slots[max_handles];

hid_slot *slot_of(plat_file file) {
    for (hid_slot &slot : hid_slots) {
        if (&slot == file) {
            int kind = slot.kind.load(std::memory_order_acquire);
            return kind == kind_hidraw || kind == kind_virtual ? &slot : nullptr;
        }
    }
    return nullptr;
}

hid_slot *claim_slot() {
    for (hid_slot &slot : hid_slots) {
        int expected = kind_free;
        if (slot.kind.compare_exchange_strong(expected, kind_claimed, std::memory_order_acq_rel)) {
            slot.device = nullptr;
            slot.fd = -1;
            slot.queue_depth.store(2, std::memory_order_release);
            slot.gone.store(false, std::memory_order_release);
            slot.next_sequence.store(0, std::memory_order_release);
            for (std::atomic<uint32_t> &acks : slot.acks_seen) {
                acks.store(0, std::memory_order_release);
            }
            return &slot;
        }
    }
    return nullptr;
}

void release_slot(hid_slot *slot) {
    for (cancel_waiter &waiter : slot->waiters) {
        if (waiter.wake_fd >= 0) {
            close(waiter.wake_fd);
            waiter.wake_fd = -1;
        }
    }
    slot->device = nullptr;
    slot->fd = -1;
    slot->kind.store(kind_free, std::memory_order_release);
}

plat_io_result send_failed(hid_slot *slot, int error) {
    set_last_error(error ? error : EIO);
    if (error == ENODEV || error == ESHUTDOWN || error == EPIPE || error == ECONNRESET) {
        slot->gone.store(true, std::memory_order_release);
        return PLAT_IO_GONE;
    }
    return PLAT_IO_FAILED;
}

uint32_t queue_depth_of(hid_slot *slot) {
    uint32_t depth = slot->queue_depth.load(std::memory_order_acquire);
    return depth < 1 ? 1 : (depth > max_queue_depth ? max_queue_depth : depth);
}

} // namespace linux_platform

using namespace linux_platform;

plat_file plat_hid_open(const char *path) {
    if (!path) {
        set_last_error(EINVAL);
        return PLAT_INVALID_FILE;
    }
    const size_t hidraw_length = strlen("hidraw:");
    const size_t virtual_length = strlen(VHID_PATH_PREFIX);
    if (strncmp(path, "hidraw:", hidraw_length) == 0) {
        return hidraw_open(path + hidraw_length);
    }
    if (strncmp(path, VHID_PATH_PREFIX, virtual_length) == 0) {
        return virtual_open(path + virtual_length);
    }
    set_last_error(ENOENT);
    return PLAT_INVALID_FILE;
}

plat_io_result plat_hid_read(plat_file file, uint8_t *buffer, uint32_t room, uint32_t *count) {
    uint32_t unused = 0;
    count = count ? count : &unused;
    *count = 0;
    hid_slot *slot = slot_of(file);
    if (!slot || !buffer) {
        set_last_error(EBADF);
        return PLAT_IO_GONE;
    }
    if (slot->gone.load(std::memory_order_acquire)) {
        set_last_error(ENODEV);
        return PLAT_IO_GONE;
    }
    return slot->kind.load(std::memory_order_acquire) == kind_hidraw
               ? hidraw_read(slot, buffer, room, count)
               : virtual_read(slot, buffer, room, count);
}

void plat_hid_cancel(plat_file file) {
    hid_slot *slot = slot_of(file);
    if (!slot) {
        return;
    }
    // The bump comes first: a call that empties its eventfd and then finds
    // the generation unchanged is sure to see this write.
    slot->cancel_generation.fetch_add(1, std::memory_order_acq_rel);
    for (cancel_waiter &waiter : slot->waiters) {
        if (waiter.wake_fd >= 0) {
            signal_eventfd(waiter.wake_fd);
        }
    }
}

void plat_hid_close(plat_file file) {
    hid_slot *slot = slot_of(file);
    if (!slot) {
        return;
    }
    if (slot->kind.load(std::memory_order_acquire) == kind_hidraw) {
        hid_close(slot->device);
    } else {
        close(slot->fd);
    }
    release_slot(slot);
}

namespace {

// An output or feature report, to whichever kind of interface the file is.
plat_io_result send_report(plat_file file, const uint8_t *report, uint32_t length, bool feature) {
    hid_slot *slot = slot_of(file);
    if (!slot) {
        set_last_error(EBADF);
        return PLAT_IO_GONE;
    }
    if (!report || length == 0) {
        set_last_error(EINVAL);
        return PLAT_IO_FAILED;
    }
    if (slot->gone.load(std::memory_order_acquire)) {
        set_last_error(ENODEV);
        return PLAT_IO_GONE;
    }
    if (slot->kind.load(std::memory_order_acquire) == kind_virtual) {
        return virtual_send(slot, feature ? VHID_FEATURE : VHID_OUTPUT, report, length);
    }
    return hidraw_send(slot, report, length, feature);
}

} // namespace

plat_io_result plat_hid_write(plat_file file, const uint8_t *report, uint32_t length) {
    return send_report(file, report, length, false);
}

plat_io_result plat_hid_set_feature(plat_file file, const uint8_t *report, uint32_t length) {
    return send_report(file, report, length, true);
}

bool plat_hid_set_input_queue(plat_file file, uint32_t reports) {
    hid_slot *slot = slot_of(file);
    if (!slot) {
        set_last_error(EBADF);
        return false;
    }
    if (reports < 1) {
        set_last_error(EINVAL);
        return false;
    }
    slot->queue_depth.store(reports > max_queue_depth ? max_queue_depth : reports,
                            std::memory_order_release);
    return true;
}
