#include "tevuio/device.h"

namespace {

// How long a closer waits between cancelling the user's I/O and looking again.
constexpr uint32_t close_poll_ms = 1;
// How long stop waits between cancelling a thread's I/O and trying again.
constexpr uint32_t stop_poll_ms = 10;

} // namespace

plat_file device_acquire(device_slot &slot, uint32_t *generation) {
    for (;;) {
        const plat_file file = slot.file.load(std::memory_order_seq_cst);
        if (!device_file_open(file))
            return file;
        slot.in_use.store(file, std::memory_order_seq_cst);
        if (slot.file.load(std::memory_order_seq_cst) == file) {
            if (generation != nullptr)
                *generation = slot.generation.load(std::memory_order_acquire);
            return file;
        }
        // Replaced meanwhile: its closer may already have looked. Let go.
        slot.in_use.store(nullptr, std::memory_order_seq_cst);
    }
}

void device_release(device_slot &slot) {
    slot.in_use.store(nullptr, std::memory_order_seq_cst);
}

void device_replace(device_slot &slot, plat_file next) {
    const plat_file old = slot.file.exchange(next, std::memory_order_seq_cst);
    if (device_file_open(next))
        slot.generation.fetch_add(1, std::memory_order_acq_rel);
    if (!device_file_open(old))
        return;
    // Only a use of this very handle holds it; the user may already be using
    // the next one, and that use is none of this closer's business.
    while (slot.in_use.load(std::memory_order_seq_cst) == old) {
        plat_hid_cancel(old);
        plat_sleep_ms(close_poll_ms);
    }
    while (slot.cancellers.load(std::memory_order_seq_cst) != 0)
        plat_sleep_ms(close_poll_ms);
    plat_hid_close(old);
}

void device_cancel(device_slot &slot) {
    slot.cancellers.fetch_add(1, std::memory_order_seq_cst);
    const plat_file file = slot.file.load(std::memory_order_seq_cst);
    if (device_file_open(file))
        plat_hid_cancel(file);
    slot.cancellers.fetch_sub(1, std::memory_order_seq_cst);
}

void device_end_user(device_slot &slot) {
    const plat_thread thread = slot.user.load(std::memory_order_acquire);
    if (thread == nullptr)
        return;
    for (;;) {
        device_cancel(slot);
        plat_thread_wake(thread);
        if (plat_thread_wait(thread, stop_poll_ms))
            break;
    }
    plat_thread_close(thread);
    slot.user.store(nullptr, std::memory_order_release);
}

void device_wake_user(device_slot &slot) {
    const plat_thread thread = slot.user.load(std::memory_order_acquire);
    if (thread != nullptr)
        plat_thread_wake(thread);
}
