// What the pieces of the Linux platform layer share: the thread slots (for
// wake-ups), the table of open HID handles (with what cancels their blocked
// I/O) and the calls of the HID backends behind them. Each piece keeps its
// state in one object of its own file. Nothing outside src/platform/linux
// includes this but the backend's own tests.
#ifndef TEVUIO_PLATFORM_LINUX_INTERNAL_H
#define TEVUIO_PLATFORM_LINUX_INTERNAL_H

#include "platform/platform.h"

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

// --- HID handles and their backends (hid.cpp) -------------------------------------
//
// Each kind of HID interface is a backend: hidraw nodes through hidapi
// (hidraw.cpp) and the sockets of a virtual controller (virtual.cpp). hid.cpp
// keeps the table of backends, the listing and the table of open handles, and
// hands each call to the handle's backend. A backend keeps its own slots, one
// for each handle of the table (the handle's index), and calls no other.

constexpr int max_handles = 64;
constexpr uint32_t max_queue_depth = 8;
constexpr uint32_t report_room = 256; // largest input report kept

enum handle_state : int { handle_free = 0, handle_claimed, handle_open };

struct hid_backend;

// An open HID interface, whichever its backend: plat_file points at it.
struct hid_handle {
    std::atomic<int> state{handle_free};
    const hid_backend *backend = nullptr; // set before the state turns open
    std::atomic<uint32_t> queue_depth{0}; // 2 from the claim on
    std::atomic<bool> gone{false};
    // Bumped by plat_hid_cancel; a blocked call compares it with the value it
    // saw on entry.
    std::atomic<uint32_t> cancel_generation{0};
    // Queue of the newest reports of one read (reader's thread only).
    uint8_t reports[max_queue_depth][report_room] = {};
    uint32_t report_sizes[max_queue_depth] = {};
};

// Where a backend's listing puts its interfaces: each under the backend's
// prefix, its path prefix + middle + rest.
struct listing_sink {
    const char *prefix;
    void add(int32_t vendor_id, int32_t interface, const char *middle, const char *rest) const;
};

// One kind of HID interface. Its paths start with prefix; the calls get a
// handle that the backend opened, that is not gone (close: any handle it opened).
struct hid_backend {
    const char *prefix;
    // Lists the present interfaces.
    void (*list)(const listing_sink &sink);
    // Opens the interface at path (what follows the prefix) and claims a
    // handle for it (claim_handle); nullptr with the last error set on failure.
    hid_handle *(*open)(const char *path);
    plat_io_result (*read)(hid_handle *handle, uint8_t *buffer, uint32_t room, uint32_t *count);
    // Sends one whole report (byte 0 its ID), of this kind.
    plat_io_result (*send)(hid_handle *handle, plat_report_kind kind, const uint8_t *report,
                           uint32_t length);
    // Wakes the calls blocked on the handle, after its cancel generation was
    // bumped; nullptr when those calls look for the bump themselves.
    void (*cancel)(hid_handle *handle);
    // Closes what open opened; the handle is given back to the table after.
    void (*close)(hid_handle *handle);
};

// A free handle, reset and marked claimed; nullptr when all are in use.
hid_handle *claim_handle();
// Gives a handle back to the table.
void release_handle(hid_handle *handle);
// The handle's place in the table, 0 to max_handles - 1: the index of the
// backend's slot for it.
int handle_index(const hid_handle *handle);
// The handle at that place (the tests close every one).
hid_handle *handle_at(int index);
// Whether plat_hid_cancel was called for the handle since generation.
inline bool cancelled_since(const hid_handle *handle, uint32_t generation) {
    return handle->cancel_generation.load(std::memory_order_acquire) != generation;
}
// What a write that failed with this errno gave: GONE (and the handle marked)
// for an interface that is not there any more, else FAILED.
plat_io_result send_failed(hid_handle *handle, int error);

// Keeps the newest `depth` reports of one read: count reports are held, the
// oldest at index first.
struct report_ring {
    hid_handle *handle;
    uint32_t depth;
    uint32_t first = 0;
    uint32_t count = 0;

    uint8_t *next_buffer() { return handle->reports[(first + count) % depth]; }
    void commit(uint32_t size) {
        handle->report_sizes[(first + count) % depth] = size;
        if (count < depth) {
            ++count;
        } else {
            first = (first + 1) % depth;
        }
    }
    // The newest report, after the ones before it of the same length as long
    // as they fit in room, oldest first. Every held report fits on its own.
    uint32_t deliver(uint8_t *buffer, uint32_t room) const {
        const uint32_t size = handle->report_sizes[(first + count - 1) % depth];
        uint32_t taken = 1;
        while (taken < count && handle->report_sizes[(first + count - 1 - taken) % depth] == size &&
               (taken + 1) * size <= room) {
            ++taken;
        }
        uint32_t written = 0;
        for (uint32_t i = count - taken; i < count; ++i) {
            uint32_t index = (first + i) % depth;
            memcpy(buffer + written, handle->reports[index], size);
            written += size;
        }
        return written;
    }
};

uint32_t queue_depth_of(hid_handle *handle);

// The backends, each its own file's, for the table in hid.cpp.
namespace hidraw {
extern const hid_backend backend;
}
namespace vhid {
extern const hid_backend backend;
}

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
