// hidraw interfaces through hidapi: the listing of the nodes hidapi
// enumerates, and reads that wait in short slices so that a cancel is seen,
// then take whatever else is queued. A signal that lands on the reading
// thread is not taken for an unplug.
#include "platform/linux/linux_internal.h"

#include <cerrno>
#include <cstdio>
#include <hidapi.h>
#include <initializer_list>
#include <unistd.h>

namespace linux_platform {
namespace hidraw {

namespace {

constexpr int hidraw_poll_ms = 15; // slice of a blocked hidraw read

constexpr int max_reported_nodes = 32;
constexpr size_t node_room = 128;

// What the backend keeps for one open handle.
struct hidraw_slot {
    hid_device *device = nullptr; // set before the handle opens, read by its calls
};

// The backend's state: a slot per handle, and the nodes whose missing
// permission has been reported in this process (under reported_lock: a
// search for the controller every 500 ms must not repeat the line).
struct hidraw_state {
    hidraw_slot slots[max_handles] = {};
    pthread_mutex_t reported_lock = PTHREAD_MUTEX_INITIALIZER;
    char reported_nodes[max_reported_nodes][node_room] = {};
    int reported_count = 0;
};
hidraw_state state;

hid_device *device_of(const hid_handle *handle) {
    return state.slots[handle_index(handle)].device;
}

void report_permission_once(const char *node) {
    pthread_mutex_lock(&state.reported_lock);
    bool seen = false;
    for (int i = 0; i < state.reported_count && !seen; ++i) {
        seen = strncmp(state.reported_nodes[i], node, node_room - 1) == 0;
    }
    if (!seen && state.reported_count < max_reported_nodes) {
        snprintf(state.reported_nodes[state.reported_count++], node_room, "%s", node);
        printf("Permission denied opening %s; install packaging/linux/70-tevuio.rules (see "
               "README, Linux device access).\r\n",
               node);
    }
    pthread_mutex_unlock(&state.reported_lock);
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

void list(const listing_sink &sink) {
    hid_device_info *devices = hid_enumerate(0, 0);
    for (hid_device_info *info = devices; info; info = info->next) {
        sink.add(info->vendor_id, info->interface_number, "", info->path ? info->path : "");
    }
    hid_free_enumeration(devices);
}

hid_handle *open(const char *device_path) {
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
        return nullptr;
    }
    hid_handle *handle = claim_handle();
    if (!handle) {
        hid_close(device);
        set_last_error(EMFILE);
        return nullptr;
    }
    state.slots[handle_index(handle)].device = device;
    return handle;
}

plat_io_result read(hid_handle *handle, uint8_t *buffer, uint32_t room, uint32_t *count) {
    hid_device *device = device_of(handle);
    report_ring ring{handle, queue_depth_of(handle)};
    const uint32_t generation = handle->cancel_generation.load(std::memory_order_acquire);
    uint8_t report[report_room];
    // Wait, in short slices so that a cancel is seen, until a report comes;
    // then take whatever else is queued without waiting. hidapi hands over
    // one whole report per call.
    for (;;) {
        int timeout = ring.count > 0 ? 0 : hidraw_poll_ms;
        int got = hidraw_receive(device, report, timeout);
        if (got == receive_gone) {
            handle->gone.store(true, std::memory_order_release);
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
        if (cancelled_since(handle, generation)) {
            set_last_error(ECANCELED);
            return PLAT_IO_CANCELLED;
        }
    }
}

plat_io_result send(hid_handle *handle, plat_report_kind kind, const uint8_t *report,
                    uint32_t length) {
    hid_device *device = device_of(handle);
    for (;;) {
        errno = 0;
        int sent = kind == PLAT_REPORT_FEATURE ? hid_send_feature_report(device, report, length)
                                               : hid_write(device, report, length);
        if (sent >= 0) {
            return PLAT_IO_DONE;
        }
        if (errno != EINTR) {
            return send_failed(handle, errno);
        }
    }
}

void close(hid_handle *handle) {
    hid_device *&device = state.slots[handle_index(handle)].device;
    hid_close(device);
    device = nullptr;
}

} // namespace

const hid_backend backend = {"hidraw:", list, open, read, send, nullptr, close};

} // namespace hidraw
} // namespace linux_platform
