// What the pieces of the Linux platform layer share: the thread slots (for
// wake-ups), the table of open HID handles (with what cancels their blocked
// I/O) and the two kinds of HID interface behind them. Nothing outside
// src/platform/linux includes this but the backend's own tests.
#ifndef TEVUIO_PLATFORM_LINUX_INTERNAL_H
#define TEVUIO_PLATFORM_LINUX_INTERNAL_H

#include "platform/platform.h"

#include <hidapi.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <pthread.h>

namespace linux_platform {

// --- Errors and threads (threads.cpp) ------------------------------------------

void set_last_error(int code);

constexpr int max_threads = 16;

struct thread_slot {
    std::atomic<bool> used{false};
    pthread_t handle{};
    plat_thread_fn fn = nullptr;
    void *arg = nullptr;
    bool joined = false; // touched only by the thread that waits and closes
    // plat_thread_wake counts on it; plat_wait on the thread polls and empties it.
    int wake_fd = -1;
};

// Empties an eventfd (opened non-blocking).
void drain_eventfd(int fd);
// Adds one to an eventfd; a full counter has a wake-up pending anyway.
void signal_eventfd(int fd);

// --- HID handles (hid.cpp) -------------------------------------------------------

constexpr int max_handles = 64;
constexpr uint32_t max_queue_depth = 8;
constexpr uint32_t report_room = 256; // largest input report kept

enum handle_kind : int { kind_free = 0, kind_claimed, kind_hidraw, kind_virtual };

// Calls on one virtual interface that a cancel wakes at once (a reader and a
// writer, and room to spare); a further one looks for the cancel every few ms.
constexpr int max_waiters = 4;

// An eventfd that one blocked call on a file at a time polls beside the
// socket, so that plat_hid_cancel wakes it and no other.
struct cancel_waiter {
    std::atomic<bool> busy{false};
    int wake_fd = -1; // made when a virtual interface is opened, closed with it
};

struct hid_slot {
    std::atomic<int> kind{kind_free};
    hid_device *device = nullptr;
    int fd = -1;
    std::atomic<uint32_t> queue_depth{2};
    std::atomic<bool> gone{false};
    // Bumped by plat_hid_cancel; a blocked call compares it with the value it
    // saw on entry.
    std::atomic<uint32_t> cancel_generation{0};
    cancel_waiter waiters[max_waiters];
    // Virtual interfaces: the number of the next write on the connection, and
    // one bit per number for the ACKs a reader (or another writer) came across.
    std::atomic<uint32_t> next_sequence{0};
    std::atomic<uint32_t> acks_seen[256 / 32] = {};
    // Queue of the newest reports of one read (reader's thread only).
    uint8_t reports[max_queue_depth][report_room];
    uint32_t report_sizes[max_queue_depth];
};

extern hid_slot hid_slots[max_handles];

// The open slot a handle names, nullptr for anything else.
hid_slot *slot_of(plat_file file);
// A free slot, reset and marked claimed; nullptr when all are in use.
hid_slot *claim_slot();
// Gives a slot back to the table, with its eventfds (its device or socket
// closed already).
void release_slot(hid_slot *slot);
// Whether plat_hid_cancel was called for the file since generation.
inline bool cancelled_since(const hid_slot *slot, uint32_t generation) {
    return slot->cancel_generation.load(std::memory_order_acquire) != generation;
}
// What a write that failed with this errno gave: GONE (and the slot marked)
// for an interface that is not there any more, else FAILED.
plat_io_result send_failed(hid_slot *slot, int error);

// Keeps the newest `depth` reports of one read: count reports are held, the
// oldest at index first.
struct report_ring {
    hid_slot *slot;
    uint32_t depth;
    uint32_t first = 0;
    uint32_t count = 0;

    uint8_t *next_buffer() { return slot->reports[(first + count) % depth]; }
    void commit(uint32_t size) {
        slot->report_sizes[(first + count) % depth] = size;
        if (count < depth) {
            ++count;
        } else {
            first = (first + 1) % depth;
        }
    }
    // The newest report, after the ones before it of the same length as long
    // as they fit in room, oldest first. Every held report fits on its own.
    uint32_t deliver(uint8_t *buffer, uint32_t room) const {
        const uint32_t size = slot->report_sizes[(first + count - 1) % depth];
        uint32_t taken = 1;
        while (taken < count && slot->report_sizes[(first + count - 1 - taken) % depth] == size &&
               (taken + 1) * size <= room) {
            ++taken;
        }
        uint32_t written = 0;
        for (uint32_t i = count - taken; i < count; ++i) {
            uint32_t index = (first + i) % depth;
            memcpy(buffer + written, slot->reports[index], size);
            written += size;
        }
        return written;
    }
};

uint32_t queue_depth_of(hid_slot *slot);

// --- hidraw interfaces through hidapi (hidraw.cpp) -------------------------------

// path is what follows "hidraw:" in a listed path.
plat_file hidraw_open(const char *path);
plat_io_result hidraw_read(hid_slot *slot, uint8_t *buffer, uint32_t room, uint32_t *count);
// Sends one output report, or a feature report.
plat_io_result hidraw_send(hid_slot *slot, const uint8_t *report, uint32_t length, bool feature);

// --- Virtual interfaces (virtual.cpp) -----------------------------------------

// socket_path is what follows "virtual:" in a listed path.
plat_file virtual_open(const char *socket_path);
plat_io_result virtual_read(hid_slot *slot, uint8_t *buffer, uint32_t room, uint32_t *count);
// Sends one output or feature report and waits for the controller's ACK of it.
plat_io_result virtual_send(hid_slot *slot, uint8_t kind, const uint8_t *report, uint32_t length);

// --- Keyboard (keys.cpp) ---------------------------------------------------------

// The Linux key codes (at most two, 0 for none) a virtual-key code stands for.
uint16_t linux_key_code(uint8_t vk, int which);
// Looks for keyboards in this folder from now on (a test points it elsewhere).
void keyboard_use_folder(const char *folder);
int keyboard_count_now();

// --- INI integers (ini.cpp, ini_scan.cpp) -----------------------------------------

// The Windows reader hands the integer parser at most this many characters.
constexpr uint32_t ini_value_room = 29;
// Longest section or key name that can be found.
constexpr uint32_t name_room = 64;
// Characters kept from the start of a value: an opening quote and the room.
constexpr uint32_t value_kept_room = ini_value_room + 1;
// Queries one scan answers at most.
constexpr int max_queries = 32;

struct ini_name {
    char text[name_room + 1];
    uint32_t length; // name_room + 1 when too long to be found
};

// A name asked for, trimmed as the Windows reader trims it.
ini_name asked_name(const char *text);

struct ini_query {
    ini_name section;
    ini_name key;
};

// What the file says for one query.
struct ini_answer {
    bool found;     // the key is in the first section of its name
    bool has_value; // the key has '='
    uint64_t length;
    uint8_t first[value_kept_room];
    uint8_t last;
};

// The buffer a scan reads the file into, a chunk at a time: any file size
// without the heap.
struct ini_chunk {
    uint8_t bytes[1 << 16];
};

// Answers the queries from one pass over the open file (read from where it
// stands to its end, or until every query is settled), read into chunk.
void ini_scan_file(int fd, const ini_query *queries, ini_answer *answers, int count,
                   ini_chunk &chunk);
// The integer the Windows reader makes of an answer, def for none.
uint32_t ini_answer_value(const ini_answer &answer, int32_t def);
// The integer rule of the Windows reader applied to a value's text.
uint32_t windows_integer(const char *text);

} // namespace linux_platform

#endif
