// Virtual HID interfaces: SOCK_SEQPACKET sockets served by a program that
// plays the controller (see virtual_hid.h).
#include "platform/linux/linux_internal.h"
#include "platform/virtual_hid.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace linux_platform {

namespace {

constexpr int kAckTimeoutMs = 1000; // a write waits this long for its ACK

// One message from a virtual interface without waiting: its size (kind byte
// included), 0 when nothing is there, -1 when the interface is gone.
int virtual_receive(hid_slot *slot, uint8_t *message) {
    ssize_t got = recv(slot->fd, message, VHID_MAX_MESSAGE, MSG_DONTWAIT);
    if (got > 0) {
        return static_cast<int>(got);
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    slot->gone.store(true, std::memory_order_release);
    return -1;
}

} // namespace

plat_file virtual_open(const char *socket_path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (strlen(socket_path) >= sizeof address.sun_path) {
        set_last_error(ENAMETOOLONG);
        return PLAT_INVALID_FILE;
    }
    memcpy(address.sun_path, socket_path, strlen(socket_path) + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        set_last_error(errno);
        return PLAT_INVALID_FILE;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        set_last_error(errno);
        close(fd);
        return PLAT_INVALID_FILE;
    }
    hid_slot *slot = claim_slot();
    if (!slot) {
        close(fd);
        set_last_error(EMFILE);
        return PLAT_INVALID_FILE;
    }
    slot->fd = fd;
    slot->kind.store(kind_virtual, std::memory_order_release);
    return slot;
}

uint32_t virtual_read(hid_slot *slot, uint8_t *buffer, uint32_t room) {
    report_ring ring{slot, queue_depth_of(slot)};
    uint32_t generation = cancel_generation_now();
    int wake_fd = current_wake_fd();
    uint8_t message[VHID_MAX_MESSAGE];
    for (;;) {
        // Take everything queued now; keep the newest reports.
        for (;;) {
            int got = virtual_receive(slot, message);
            if (got < 0) {
                set_last_error(ENODEV);
                return 0;
            }
            if (got == 0) {
                break;
            }
            if (message[0] == VHID_ACK) {
                slot->acks_seen.fetch_add(1, std::memory_order_acq_rel);
            } else if (message[0] == VHID_INPUT && got > 1) {
                uint32_t size = static_cast<uint32_t>(got - 1);
                memcpy(ring.next_buffer(), message + 1, size);
                ring.commit(size);
            }
        }
        if (ring.count > 0) {
            return ring.deliver(buffer, room);
        }
        // Nothing yet: wait for the socket or a cancel. A stale wake-up from an
        // earlier cancel is cleared before the generation is compared, so a
        // cancel that arrives after the comparison still wakes the poll.
        if (wake_fd >= 0) {
            drain_eventfd(wake_fd);
        }
        if (cancelled_since(generation)) {
            set_last_error(ECANCELED);
            return 0;
        }
        pollfd fds[2] = {{slot->fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        int result = poll(fds, wake_fd >= 0 ? 2 : 1, -1);
        if (result < 0 && errno != EINTR) {
            set_last_error(errno);
            return 0;
        }
    }
}

bool virtual_send(hid_slot *slot, uint8_t kind, const uint8_t *report, uint32_t length) {
    if (length == 0 || length + 1 > VHID_MAX_MESSAGE) {
        set_last_error(EINVAL);
        return false;
    }
    uint8_t message[VHID_MAX_MESSAGE];
    message[0] = kind;
    memcpy(message + 1, report, length);
    uint32_t acks_before = slot->acks_seen.load(std::memory_order_acquire);
    const size_t message_length = size_t{length} + 1;
    if (send(slot->fd, message, message_length, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(message_length)) {
        set_last_error(errno);
        return false;
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int got = virtual_receive(slot, message);
        if (got < 0) {
            set_last_error(ENODEV);
            return false;
        }
        if (got > 0) {
            if (message[0] == VHID_ACK) {
                return true;
            }
            continue; // input that arrived meanwhile is not ours to keep
        }
        if (slot->acks_seen.load(std::memory_order_acquire) != acks_before) {
            return true; // a reader on another thread took our ACK
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed =
            (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (elapsed >= kAckTimeoutMs) {
            set_last_error(ETIMEDOUT);
            return false;
        }
        // Short slices: an ACK may also be taken by a reader on another thread.
        long wait = kAckTimeoutMs - elapsed;
        pollfd fds[1] = {{slot->fd, POLLIN, 0}};
        poll(fds, 1, wait < 10 ? static_cast<int>(wait) : 10);
    }
}

} // namespace linux_platform
