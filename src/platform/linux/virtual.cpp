// Virtual HID interfaces: SOCK_SEQPACKET sockets served by a program that
// plays the controller (see virtual_hid.h).
#include "platform/linux/linux_internal.h"
#include "platform/virtual_hid.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
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
// A write looks this often for its ACK among those a reader on another
// thread came across, and a call without an eventfd of its own for a cancel.
constexpr int look_again_ms = 10;

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

// The ACKs of one connection that were read by a call other than the write
// they answer, one bit per sequence number.
uint32_t ack_bit(uint8_t sequence) {
    return 1u << (sequence % 32u);
}
void note_ack(hid_slot *slot, uint8_t sequence) {
    slot->acks_seen[sequence / 32u].fetch_or(ack_bit(sequence), std::memory_order_acq_rel);
}
void forget_ack(hid_slot *slot, uint8_t sequence) {
    slot->acks_seen[sequence / 32u].fetch_and(~ack_bit(sequence), std::memory_order_acq_rel);
}
bool ack_noted(const hid_slot *slot, uint8_t sequence) {
    return (slot->acks_seen[sequence / 32u].load(std::memory_order_acquire) & ack_bit(sequence)) !=
           0;
}

// A call on a virtual interface: the cancel generation it began under, and
// one of the slot's eventfds, its own while the call lasts, to wait on beside
// the socket (none when all are taken: it then looks every look_again_ms).
class virtual_call {
  public:
    explicit virtual_call(hid_slot *slot)
        : slot_(slot), generation_(slot->cancel_generation.load(std::memory_order_acquire)) {
        for (cancel_waiter &waiter : slot->waiters) {
            bool expected = false;
            if (waiter.wake_fd >= 0 &&
                waiter.busy.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
                waiter_ = &waiter;
                break;
            }
        }
    }
    ~virtual_call() {
        if (waiter_) {
            waiter_->busy.store(false, std::memory_order_release);
        }
    }
    virtual_call(const virtual_call &) = delete;
    virtual_call &operator=(const virtual_call &) = delete;

    // Waits at most timeout_ms (-1: without end) for events on the socket or
    // for a cancel; false when the file was cancelled since the call began.
    // A wake-up left by an earlier cancel is cleared before the generation is
    // compared, so a cancel that comes after the comparison still wakes the poll.
    bool wait(short events, int timeout_ms) const {
        const int wake_fd = waiter_ ? waiter_->wake_fd : -1;
        if (wake_fd >= 0) {
            drain_eventfd(wake_fd);
        }
        if (cancelled_since(slot_, generation_)) {
            set_last_error(ECANCELED);
            return false;
        }
        if (wake_fd < 0 && (timeout_ms < 0 || timeout_ms > look_again_ms)) {
            timeout_ms = look_again_ms;
        }
        pollfd fds[2] = {{slot_->fd, events, 0}, {wake_fd, POLLIN, 0}};
        poll(fds, wake_fd >= 0 ? 2 : 1, timeout_ms);
        return true;
    }

  private:
    hid_slot *slot_;
    uint32_t generation_;
    cancel_waiter *waiter_ = nullptr;
};

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
    for (cancel_waiter &waiter : slot->waiters) {
        waiter.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (waiter.wake_fd < 0) {
            set_last_error(errno);
            close(fd);
            release_slot(slot);
            return PLAT_INVALID_FILE;
        }
    }
    slot->fd = fd;
    slot->kind.store(kind_virtual, std::memory_order_release);
    return slot;
}

plat_io_result virtual_read(hid_slot *slot, uint8_t *buffer, uint32_t room, uint32_t *count) {
    report_ring ring{slot, queue_depth_of(slot)};
    const virtual_call call(slot);
    uint8_t message[VHID_MAX_MESSAGE];
    for (;;) {
        // Take everything queued now; keep the newest reports.
        for (;;) {
            int got = virtual_receive(slot, message);
            if (got == received_gone) {
                set_last_error(ENODEV);
                return PLAT_IO_GONE;
            }
            if (got == received_nothing) {
                break;
            }
            if (got >= 2 && message[0] == VHID_ACK) {
                note_ack(slot, message[1]); // the writer on another thread looks for it
            } else if (got > 1 && message[0] == VHID_INPUT &&
                       static_cast<uint32_t>(got - 1) <= room) {
                uint32_t size = static_cast<uint32_t>(got - 1);
                memcpy(ring.next_buffer(), message + 1, size);
                ring.commit(size);
            }
        }
        if (ring.count > 0) {
            *count = ring.deliver(buffer, room);
            return PLAT_IO_DONE;
        }
        if (!call.wait(POLLIN, -1)) {
            return PLAT_IO_CANCELLED;
        }
    }
}

plat_io_result virtual_send(hid_slot *slot, uint8_t kind, const uint8_t *report, uint32_t length) {
    if (length == 0 || length + 2 > VHID_MAX_MESSAGE) {
        set_last_error(EINVAL);
        return PLAT_IO_FAILED;
    }
    const virtual_call call(slot);
    // Writes are numbered per connection; only the ACK with this number ends
    // this one. Its bit may still be set from the write that had the number
    // 256 writes ago.
    const auto sequence =
        static_cast<uint8_t>(slot->next_sequence.fetch_add(1, std::memory_order_acq_rel));
    forget_ack(slot, sequence);
    uint8_t message[VHID_MAX_MESSAGE];
    message[0] = kind;
    message[1] = sequence;
    memcpy(message + 2, report, length);
    const size_t message_length = size_t{length} + 2;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (slot->gone.load(std::memory_order_acquire)) {
            set_last_error(ENODEV);
            return PLAT_IO_GONE;
        }
        ssize_t sent = send(slot->fd, message, message_length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(message_length)) {
            break;
        }
        if (sent >= 0 || (!would_block(errno) && errno != EINTR)) {
            return send_failed(slot, sent >= 0 ? EIO : errno);
        }
        if (elapsed_ms(start) >= ack_timeout_ms) {
            set_last_error(ETIMEDOUT);
            return PLAT_IO_FAILED;
        }
        if (!call.wait(POLLOUT, look_again_ms)) {
            return PLAT_IO_CANCELLED;
        }
    }
    for (;;) {
        int got = virtual_receive(slot, message);
        if (got == received_gone || slot->gone.load(std::memory_order_acquire)) {
            set_last_error(ENODEV);
            return PLAT_IO_GONE;
        }
        if (got >= 2 && message[0] == VHID_ACK) {
            if (message[1] == sequence) {
                return PLAT_IO_DONE;
            }
            note_ack(slot, message[1]); // late, or another writer's
            continue;
        }
        if (got != received_nothing) {
            continue; // input that arrived meanwhile is not ours to keep
        }
        if (ack_noted(slot, sequence)) {
            return PLAT_IO_DONE; // a reader on another thread took it
        }
        long elapsed = elapsed_ms(start);
        if (elapsed >= ack_timeout_ms) {
            set_last_error(ETIMEDOUT);
            return PLAT_IO_FAILED;
        }
        long left = ack_timeout_ms - elapsed;
        if (!call.wait(POLLIN, left < look_again_ms ? static_cast<int>(left) : look_again_ms)) {
            return PLAT_IO_CANCELLED;
        }
    }
}

} // namespace linux_platform
