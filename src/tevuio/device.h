// The controller's two open interfaces, and the hand-over that lets one thread
// close a handle another thread may be using.
//
// Each handle lives in a slot with one user thread (the slider thread reads
// the input slot, the lighting thread writes the lighting slot). The user marks
// the slot busy and only then loads the handle; a closer takes the handle out
// of the slot and only then looks at the busy mark, cancelling the user's
// blocked I/O until the mark is clear, and closes the handle after that. Both
// pairs of steps are sequentially consistent, so either the user finds the slot
// empty or the closer finds it busy: a handle is never used after its close.
#ifndef TEVUIO_DEVICE_H
#define TEVUIO_DEVICE_H

#include "platform/platform.h"

#include <atomic>
#include <cstdint>

struct device_slot {
    // nullptr: none. PLAT_INVALID_FILE: the found interface failed to open.
    std::atomic<plat_file> file{nullptr};
    // Bumped each time the slot is given a new open handle.
    std::atomic<uint32_t> generation{0};
    std::atomic<bool> busy{false};
    // The thread that uses the slot; its blocked I/O is what a closer cancels.
    std::atomic<plat_thread> user{nullptr};
};

struct device_state {
    device_slot input;    // interface 0 (or any), read by the slider thread
    device_slot lighting; // interface 1, written by the lighting thread
    // A search found and opened the controller: after a loss, search again.
    std::atomic<bool> was_connected{false};
    // The controller went away; the slider thread is searching for it.
    std::atomic<bool> lost{false};
    // The interface init's successful search asked for (0, or 0xFF for any):
    // a search for a lost controller asks for the same.
    std::atomic<uint8_t> input_interface{0};
};
extern device_state device;

// A handle that can be used for I/O: not nullptr, not PLAT_INVALID_FILE.
inline bool device_file_open(plat_file file) {
    return file != nullptr && file != PLAT_INVALID_FILE;
}

// Marks the slot busy and returns its handle, and the handle's generation when
// asked. When the handle cannot be used (none, or a failed open) the mark is
// cleared again and the result is not open.
plat_file device_acquire(device_slot &slot, uint32_t *generation = nullptr);
// Ends a use that device_acquire began with an open handle.
void device_release(device_slot &slot);
// Puts next in the slot, then closes what the slot held once its user has let
// go of it (cancelling the user's blocked I/O meanwhile). The caller must not
// be in a use of the slot.
void device_replace(device_slot &slot, plat_file next);

// Ends a thread that uses a slot: its stop flag must be set already. Cancels
// its blocked I/O until it has ended (it may enter a new read or write after
// a cancel), then clears the slot's user and closes the thread.
void device_end_user(device_slot &slot, plat_thread thread);

#endif
