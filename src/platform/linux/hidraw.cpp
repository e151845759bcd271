// hidraw interfaces through hidapi: a blocked read waits in short slices so
// that a cancel is seen, then takes whatever else is queued. A signal that
// lands on the reading thread is not taken for an unplug.
#include "platform/linux/linux_internal.h"

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <unistd.h>

namespace linux_platform {

namespace {

constexpr int hidraw_poll_ms = 15; // slice of a blocked hidraw read

constexpr int max_reported_nodes = 32;
constexpr size_t node_room = 128;

// The nodes whose missing permission has been reported in this process: a
// search for the controller every 500 ms must not repeat the line.
pthread_mutex_t reported_lock = PTHREAD_MUTEX_INITIALIZER;
char reported_nodes[max_reported_nodes][node_room];
int reported_count = 0;

void report_permission_once(const char *node) {
    pthread_mutex_lock(&reported_lock);
    bool seen = false;
    for (int i = 0; i < reported_count && !seen; ++i) {
        seen = strncmp(reported_nodes[i], node, node_room - 1) == 0;
    }
    if (!seen && reported_count < max_reported_nodes) {
        snprintf(reported_nodes[reported_count++], node_room, "%s", node);
        printf("Permission denied opening %s; install packaging/linux/70-tevuio.rules (see "
               "README, Linux device access).\r\n",
               node);
    }
    pthread_mutex_unlock(&reported_lock);
}

constexpr int receive_gone = -1;

// One hid_read_timeout: the report's size, 0 for none, or receive_gone.
// hidapi gives -1 both for a device that is gone and for a poll that a signal
// interrupted (EINTR: Linux never restarts poll, SA_RESTART or not). errno
// tells them apart, but hidapi may overwrite it while it records its error
// text, and leaves it alone when poll reports a hang-up. So errno is cleared
// first, and a -1 without EINTR is checked by a read that does not wait (its
// poll does not sleep, so a signal hardly ever ends it): the device is gone
// only when that read fails too, and not with EINTR.
int hidraw_receive(hid_device *device, uint8_t *report, int timeout_ms) {
    for (int timeout : {timeout_ms, 0}) {
        errno = 0;
        int got = hid_read_timeout(device, report, report_room, timeout);
        if (got >= 0) {
            return got;
        }
        if (errno == EINTR) {
            return 0;
        }
    }
    return receive_gone;
}

} // namespace

plat_file hidraw_open(const char *device_path) {
    errno = 0;
    hid_device *device = hid_open_path(device_path);
    if (!device) {
        int error = errno ? errno : ENODEV;
        if (error != EACCES && error != EPERM && access(device_path, R_OK | W_OK) != 0 &&
            (errno == EACCES || errno == EPERM)) {
            error = errno; // hidapi did not keep the reason
        }
        if (error == EACCES || error == EPERM) {
            report_permission_once(device_path);
        }
        set_last_error(error);
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

plat_io_result hidraw_read(hid_slot *slot, uint8_t *buffer, uint32_t room, uint32_t *count) {
    report_ring ring{slot, queue_depth_of(slot)};
    const uint32_t generation = slot->cancel_generation.load(std::memory_order_acquire);
    uint8_t report[report_room];
    // Wait, in short slices so that a cancel is seen, until a report comes;
    // then take whatever else is queued without waiting. hidapi hands over
    // one whole report per call.
    for (;;) {
        int timeout = ring.count > 0 ? 0 : hidraw_poll_ms;
        int got = hidraw_receive(slot->device, report, timeout);
        if (got == receive_gone) {
            slot->gone.store(true, std::memory_order_release);
            set_last_error(ENODEV);
            return PLAT_IO_GONE;
        }
        if (got > 0) {
            if (static_cast<uint32_t>(got) <= room) {
                memcpy(ring.next_buffer(), report, static_cast<size_t>(got));
                ring.commit(static_cast<uint32_t>(got));
            } // else dropped: it does not fit
            continue;
        }
        if (ring.count > 0) {
            *count = ring.deliver(buffer, room);
            return PLAT_IO_DONE;
        }
        if (cancelled_since(slot, generation)) {
            set_last_error(ECANCELED);
            return PLAT_IO_CANCELLED;
        }
    }
}

plat_io_result hidraw_send(hid_slot *slot, const uint8_t *report, uint32_t length, bool feature) {
    for (;;) {
        errno = 0;
        int sent = feature ? hid_send_feature_report(slot->device, report, length)
                           : hid_write(slot->device, report, length);
        if (sent >= 0) {
            return PLAT_IO_DONE;
        }
        if (errno != EINTR) {
            return send_failed(slot, errno);
        }
    }
}

} // namespace linux_platform
