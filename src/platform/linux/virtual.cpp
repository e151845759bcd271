// Virtual HID interfaces: SOCK_SEQPACKET sockets served by a program that
// plays the controller (see virtual_hid.h), listed from the folder that
// TEVUIO_VIRTUAL_HID_DIR names.
#include "platform/linux/linux_internal.h"
#include "platform/virtual_hid.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace linux_platform {
namespace vhid {

namespace {

// Calls on one interface that a cancel wakes at once (a reader and a writer,
// and room to spare); a further one looks for the cancel every few ms.
constexpr int max_waiters = 4;

// An eventfd that one blocked call on an interface at a time polls beside
// the socket, so that plat_hid_cancel wakes it and no other.
struct cancel_waiter {
    std::atomic<bool> busy{false};
    int wake_fd; // made when the interface is opened, closed with it; -1 for none
};

// What the backend keeps for one open handle.
struct virtual_slot {
    int fd; // the connection; set before the handle opens
    cancel_waiter waiters[max_waiters];
    // The number of the next write on the connection, and one bit per number
    // for the ACKs a reader (or another writer) came across.
    std::atomic<uint32_t> next_sequence;
    std::atomic<uint32_t> acks_seen[256 / 32];
};

constexpr uint32_t max_sockets = 64; // listed from the folder at most
constexpr size_t name_room = 256;

struct socket_name {
    char text[name_room];
    int32_t vendor_id;
    int32_t interface;
};

// The backend's state: a slot per handle, and the socket names of the last
// listing (the library serialises its searches).
struct virtual_state {
    virtual_slot slots[max_handles] = {};
    socket_name names[max_sockets] = {};
};
virtual_state state;

virtual_slot &slot_of(const hid_handle *handle) {
    return state.slots[handle_index(handle)];
}

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
int receive(hid_handle *handle, uint8_t *message) {
    const int fd = slot_of(handle).fd;
    ssize_t got = recv(fd, message, VHID_MAX_MESSAGE, MSG_DONTWAIT | MSG_TRUNC);
    if (got > VHID_MAX_MESSAGE) {
        return received_skipped; // dropped, never cut
    }
    if (got > 0) {
        return static_cast<int>(got);
    }
    if (got < 0 && (would_block(errno) || errno == EINTR)) {
        return received_nothing;
    }
    if (got == 0 && !peer_hung_up(fd)) {
        return received_skipped;
    }
    handle->gone.store(true, std::memory_order_release);
    return received_gone;
}

// The ACKs of one connection that were read by a call other than the write
// they answer, one bit per sequence number.
uint32_t ack_bit(uint8_t sequence) {
    return 1u << (sequence % 32u);
}
void note_ack(virtual_slot &slot, uint8_t sequence) {
    slot.acks_seen[sequence / 32u].fetch_or(ack_bit(sequence), std::memory_order_acq_rel);
}
void forget_ack(virtual_slot &slot, uint8_t sequence) {
    slot.acks_seen[sequence / 32u].fetch_and(~ack_bit(sequence), std::memory_order_acq_rel);
}
bool ack_noted(const virtual_slot &slot, uint8_t sequence) {
    return (slot.acks_seen[sequence / 32u].load(std::memory_order_acquire) & ack_bit(sequence)) !=
           0;
}

// A call on a virtual interface: the cancel generation it began under, and
// one of the slot's eventfds, its own while the call lasts, to wait on beside
// the socket (none when all are taken: it then looks every look_again_ms).
class virtual_call {
  public:
    explicit virtual_call(const hid_handle *handle)
        : handle_(handle), slot_(slot_of(handle)),
          generation_(handle->cancel_generation.load(std::memory_order_acquire)) {
        for (cancel_waiter &waiter : slot_.waiters) {
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
        if (cancelled_since(handle_, generation_)) {
            set_last_error(ECANCELED);
            return false;
        }
        if (wake_fd < 0 && (timeout_ms < 0 || timeout_ms > look_again_ms)) {
            timeout_ms = look_again_ms;
        }
        pollfd fds[2] = {{slot_.fd, events, 0}, {wake_fd, POLLIN, 0}};
        poll(fds, wake_fd >= 0 ? 2 : 1, timeout_ms);
        return true;
    }

  private:
    const hid_handle *handle_;
    virtual_slot &slot_;
    uint32_t generation_;
    cancel_waiter *waiter_ = nullptr;
};

long elapsed_ms(const timespec &start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
}

// Closes the slot's eventfds.
void close_waiters(virtual_slot &slot) {
    for (cancel_waiter &waiter : slot.waiters) {
        if (waiter.wake_fd >= 0) {
            ::close(waiter.wake_fd);
            waiter.wake_fd = -1;
        }
    }
}

void list(const listing_sink &sink) {
    const char *folder = getenv(VHID_DIR_ENV);
    if (!folder || !*folder || strlen(folder) >= plat_path_room) {
        return;
    }
    DIR *dir = opendir(folder);
    if (!dir) {
        return;
    }
    socket_name *const names = state.names;
    uint32_t count = 0;
    char full[plat_path_room + 8];
    while (dirent *item = readdir(dir)) {
        socket_name found{};
        if (count >= max_sockets || strlen(item->d_name) >= name_room ||
            !vhid_parse_name(item->d_name, &found.vendor_id, &found.interface)) {
            continue;
        }
        snprintf(full, sizeof full, "%s/%s", folder, item->d_name);
        struct stat info;
        if (stat(full, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            continue;
        }
        // Insertion into a sorted list keeps the order stable between runs.
        uint32_t at = count;
        while (at > 0 && strcmp(names[at - 1].text, item->d_name) > 0) {
            names[at] = names[at - 1];
            --at;
        }
        snprintf(found.text, name_room, "%s", item->d_name);
        names[at] = found;
        ++count;
    }
    closedir(dir);
    char folder_slash[plat_path_room + 8];
    snprintf(folder_slash, sizeof folder_slash, "%s/", folder);
    for (uint32_t i = 0; i < count; ++i) {
        sink.add(names[i].vendor_id, names[i].interface, folder_slash, names[i].text);
    }
}

hid_handle *open(const char *socket_path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (strlen(socket_path) >= sizeof address.sun_path) {
        set_last_error(ENAMETOOLONG);
        return nullptr;
    }
    memcpy(address.sun_path, socket_path, strlen(socket_path) + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        set_last_error(errno);
        return nullptr;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        set_last_error(errno);
        ::close(fd);
        return nullptr;
    }
    hid_handle *handle = claim_handle();
    if (!handle) {
        ::close(fd);
        set_last_error(EMFILE);
        return nullptr;
    }
    virtual_slot &slot = slot_of(handle);
    slot.next_sequence.store(0, std::memory_order_release);
    for (std::atomic<uint32_t> &acks : slot.acks_seen) {
        acks.store(0, std::memory_order_release);
    }
    for (cancel_waiter &waiter : slot.waiters) {
        waiter.wake_fd = -1;
    }
    for (cancel_waiter &waiter : slot.waiters) {
        waiter.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (waiter.wake_fd < 0) {
            set_last_error(errno);
            ::close(fd);
            close_waiters(slot);
            release_handle(handle);
            return nullptr;
        }
    }
    slot.fd = fd;
    return handle;
}

plat_io_result read(hid_handle *handle, uint8_t *buffer, uint32_t room, uint32_t *count) {
    virtual_slot &slot = slot_of(handle);
    report_ring ring{handle, queue_depth_of(handle)};
    const virtual_call call(handle);
    uint8_t message[VHID_MAX_MESSAGE];
    for (;;) {
        // Take everything queued now; keep the newest reports.
        for (;;) {
            int got = receive(handle, message);
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

// Sends the report and waits for the controller's ACK of it.
plat_io_result send(hid_handle *handle, plat_report_kind kind, const uint8_t *report,
                    uint32_t length) {
    if (length == 0 || length + 2 > VHID_MAX_MESSAGE) {
        set_last_error(EINVAL);
        return PLAT_IO_FAILED;
    }
    virtual_slot &slot = slot_of(handle);
    const virtual_call call(handle);
    // Writes are numbered per connection; only the ACK with this number ends
    // this one. Its bit may still be set from the write that had the number
    // 256 writes ago.
    const auto sequence =
        static_cast<uint8_t>(slot.next_sequence.fetch_add(1, std::memory_order_acq_rel));
    forget_ack(slot, sequence);
    uint8_t message[VHID_MAX_MESSAGE];
    message[0] = kind == PLAT_REPORT_FEATURE ? VHID_FEATURE : VHID_OUTPUT;
    message[1] = sequence;
    memcpy(message + 2, report, length);
    const size_t message_length = size_t{length} + 2;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (handle->gone.load(std::memory_order_acquire)) {
            set_last_error(ENODEV);
            return PLAT_IO_GONE;
        }
        ssize_t sent = ::send(slot.fd, message, message_length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(message_length)) {
            break;
        }
        if (sent >= 0 || (!would_block(errno) && errno != EINTR)) {
            return send_failed(handle, sent >= 0 ? EIO : errno);
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
        int got = receive(handle, message);
        if (got == received_gone || handle->gone.load(std::memory_order_acquire)) {
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

void cancel(hid_handle *handle) {
    for (cancel_waiter &waiter : slot_of(handle).waiters) {
        if (waiter.wake_fd >= 0) {
            signal_eventfd(waiter.wake_fd);
        }
    }
}

void close(hid_handle *handle) {
    virtual_slot &slot = slot_of(handle);
    ::close(slot.fd);
    slot.fd = -1;
    close_waiters(slot);
}

} // namespace

const hid_backend backend = {VHID_PATH_PREFIX, list, open, read, send, cancel, close};

} // namespace vhid
} // namespace linux_platform
