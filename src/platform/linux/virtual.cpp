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

// EAGAIN and EWOULDBLOCK: the same value on Linux, but not by definition.
bool would_block(int error) {
#if EAGAIN == EWOULDBLOCK
    return error == EAGAIN;
#else
    return error == EAGAIN || error == EWOULDBLOCK;
#endif
}

constexpr int ack_timeout_ms = 1000; // a write waits this long for its ACK

constexpr int received_nothing = 0;  // nothing queued now
constexpr int received_gone = -1;    // the controller hung up, or the socket failed
constexpr int received_skipped = -2; // a message to pass over: empty, or too long to keep

// Whether the controller has closed its end. A SOCK_SEQPACKET recv gives 0
// both for that and for a message of length 0; only the hang-up sets POLLHUP.
bool peer_hung_up(int fd) {
    pollfd check{fd, POLLRDHUP, 0};
    return poll(&check, 1, 0) == 1 && (check.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

// One message from a virtual interface without waiting: its size (kind byte
// included) or one of the received* values.
int virtual_receive(hid_slot *slot, uint8_t *message) {
    ssize_t got = recv(slot->fd, message, VHID_MAX_MESSAGE, MSG_DONTWAIT | MSG_TRUNC);
    if (got > VHID_MAX_MESSAGE) {
        return received_skipped; // dropped, never cut
    }
    if (got > 0) {
        return static_cast<int>(got);
    }
    if (got < 0 && (would_block(errno) || errno == EINTR)) {
        return received_nothing;
    }
    if (got == 0 && !peer_hung_up(slot->fd)) {
        return received_skipped;
    }
    slot->gone.store(true, std::memory_order_release);
    return received_gone;
}

// Waits at most timeout_ms (-1: without end) for events on the socket or for
// a cancel of the calling thread since generation; false when cancelled. A
// stale wake-up from an earlier cancel is cleared before the generation is
// compared, so a cancel that arrives after the comparison still wakes the poll.
bool wait_socket(int fd, short events, int timeout_ms, uint32_t generation) {
    int wake_fd = current_wake_fd();
    if (wake_fd >= 0) {
        drain_eventfd(wake_fd);
    }
    if (cancelled_since(generation)) {
        set_last_error(ECANCELED);
        return false;
    }
    pollfd fds[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
    poll(fds, wake_fd >= 0 ? 2 : 1, timeout_ms);
    return true;
}

long elapsed_ms(const timespec &start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
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

plat_read_result virtual_read(hid_slot *slot, uint8_t *buffer, uint32_t room, uint32_t *count) {
    report_ring ring{slot, queue_depth_of(slot)};
    uint32_t generation = cancel_generation_now();
    uint8_t message[VHID_MAX_MESSAGE];
    for (;;) {
        // Take everything queued now; keep the newest reports.
        for (;;) {
            int got = virtual_receive(slot, message);
            if (got == received_gone) {
                set_last_error(ENODEV);
                return PLAT_READ_GONE;
            }
            if (got == received_nothing) {
                break;
            }
            if (got > 0 && message[0] == VHID_ACK) {
                slot->acks_seen.fetch_add(1, std::memory_order_acq_rel);
            } else if (got > 1 && message[0] == VHID_INPUT &&
                       static_cast<uint32_t>(got - 1) <= room) {
                uint32_t size = static_cast<uint32_t>(got - 1);
                memcpy(ring.next_buffer(), message + 1, size);
                ring.commit(size);
            }
        }
        if (ring.count > 0) {
            *count = ring.deliver(buffer, room);
            return PLAT_READ_DATA;
        }
        if (!wait_socket(slot->fd, POLLIN, -1, generation)) {
            return PLAT_READ_CANCELLED;
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
    const uint32_t generation = cancel_generation_now();
    const uint32_t acks_before = slot->acks_seen.load(std::memory_order_acquire);
    const size_t message_length = size_t{length} + 1;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (slot->gone.load(std::memory_order_acquire)) {
            set_last_error(ENODEV);
            return false;
        }
        if (send(slot->fd, message, message_length, MSG_NOSIGNAL | MSG_DONTWAIT) ==
            static_cast<ssize_t>(message_length)) {
            break;
        }
        if (!would_block(errno) && errno != EINTR) {
            set_last_error(errno);
            return false;
        }
        if (elapsed_ms(start) >= ack_timeout_ms) {
            set_last_error(ETIMEDOUT);
            return false;
        }
        if (!wait_socket(slot->fd, POLLOUT, 10, generation)) {
            return false;
        }
    }
    for (;;) {
        int got = virtual_receive(slot, message);
        if (got == received_gone || slot->gone.load(std::memory_order_acquire)) {
            set_last_error(ENODEV);
            return false;
        }
        if (got > 0 && message[0] == VHID_ACK) {
            return true;
        }
        if (got != received_nothing) {
            continue; // input that arrived meanwhile is not ours to keep
        }
        if (slot->acks_seen.load(std::memory_order_acquire) != acks_before) {
            return true; // a reader on another thread took our ACK
        }
        long elapsed = elapsed_ms(start);
        if (elapsed >= ack_timeout_ms) {
            set_last_error(ETIMEDOUT);
            return false;
        }
        // Short slices: an ACK may also be taken by a reader on another thread.
        long wait = ack_timeout_ms - elapsed;
        if (!wait_socket(slot->fd, POLLIN, wait < 10 ? static_cast<int>(wait) : 10, generation)) {
            return false;
        }
    }
}

} // namespace linux_platform
