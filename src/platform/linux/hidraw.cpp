// hidraw interfaces through hidapi: a blocked read waits in short slices so
// that a cancel is seen, then takes whatever else is queued.
#include "platform/linux/linux_internal.h"

#include <cerrno>

namespace linux_platform {

namespace {

constexpr int kHidrawPollMs = 15; // slice of a blocked hidraw read

} // namespace

plat_file hidraw_open(const char *path) {
    const char *device_path = strrchr(path, '#');
    device_path = device_path ? device_path + 1 : path;
    hid_device *device = hid_open_path(device_path);
    if (!device) {
        set_last_error(errno ? errno : ENODEV);
        return PLAT_INVALID_FILE;
    }
    hid_slot *slot = claim_slot();
    if (!slot) {
        hid_close(device);
        set_last_error(EMFILE);
        return PLAT_INVALID_FILE;
    }
    slot->device = device;
    slot->kind.store(kind_hidraw, std::memory_order_release);
    return slot;
}

uint32_t hidraw_read(hid_slot *slot, uint8_t *buffer, uint32_t room) {
    report_ring ring{slot, queue_depth_of(slot)};
    uint32_t generation = cancel_generation_now();
    // Block, in short slices so that a cancel is seen, until one report comes.
    for (;;) {
        int got = hid_read_timeout(slot->device, ring.next_buffer(), kReportRoom, kHidrawPollMs);
        if (got < 0) {
            slot->gone.store(true, std::memory_order_release);
            set_last_error(ENODEV);
            return 0;
        }
        if (got > 0) {
            ring.commit(static_cast<uint32_t>(got));
            break;
        }
        if (cancelled_since(generation)) {
            set_last_error(ECANCELED);
            return 0;
        }
    }
    // Then take whatever else is queued, without waiting.
    for (;;) {
        int got = hid_read_timeout(slot->device, ring.next_buffer(), kReportRoom, 0);
        if (got <= 0) {
            break;
        }
        ring.commit(static_cast<uint32_t>(got));
    }
    return ring.deliver(buffer, room);
}

bool hidraw_write(hid_slot *slot, const uint8_t *report, uint32_t length) {
    if (hid_write(slot->device, report, length) < 0) {
        set_last_error(EIO);
        return false;
    }
    return true;
}

bool hidraw_set_feature(hid_slot *slot, const uint8_t *report, uint32_t length) {
    if (hid_send_feature_report(slot->device, report, length) < 0) {
        set_last_error(EIO);
        return false;
    }
    return true;
}

} // namespace linux_platform
