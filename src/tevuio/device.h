// An open interface of the controller in its slot, and the hand-over that
// lets one thread close a handle another thread may be using.
//
// Each handle lives in a slot with one user thread (the slider thread reads
// the input slot, the lighting thread writes the lighting slot). The user
// loads the handle, marks it in use, and loads it again: only when the slot
// still holds it does the user go on with it. A closer takes the handle out
// of the slot and only then looks at the mark, cancelling the user's blocked
// I/O on that handle while the mark names it, and closes the handle after
// that. All these steps are sequentially consistent, so either the user finds
// the handle gone or the closer finds it in use: a handle is never used after
// its close. A closer waits only for uses of the handle it removed, never for
// a use of the one that replaced it.
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
    // The handle the user thread is using now, nullptr between uses.
    std::atomic<plat_file> in_use{nullptr};
    // Threads that may be cancelling I/O on the slot's handle: it stays open
    // until they are done.
    std::atomic<uint32_t> cancellers{0};
    // The user thread while it runs, nullptr else. Set and cleared by the
    // thread that starts and stops it; others may wake it meanwhile.
    std::atomic<plat_thread> user{nullptr};
};

// A handle that can be used for I/O: not nullptr, not PLAT_INVALID_FILE.
inline bool device_file_open(plat_file file) {
    return file != nullptr && file != PLAT_INVALID_FILE;
}

// Begins a use of the slot's handle and returns it, and the handle's
// generation when asked. When the handle cannot be used (none, or a failed
// open) no use begins and the result is not open.
plat_file device_acquire(device_slot &slot, uint32_t *generation = nullptr);
// Ends a use that device_acquire began with an open handle.
void device_release(device_slot &slot);
// Puts next in the slot, then closes what the slot held once its user has let
// go of it (cancelling the user's blocked I/O on it meanwhile). The caller
// must not be in a use of the slot.
void device_replace(device_slot &slot, plat_file next);
// Cancels the I/O a thread is blocked in now on the slot's handle, if any.
void device_cancel(device_slot &slot);

// Ends the slot's user thread, if one runs: its stop flag must be set
// already. Cancels its blocked I/O and wakes its waits until it has ended (it
// may enter a new read or write after a cancel), then closes the thread.
void device_end_user(device_slot &slot);
// Wakes the slot's user thread, if one runs, from its current or next wait.
// Not while another thread may end it.
void device_wake_user(device_slot &slot);

#endif
