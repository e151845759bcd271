#include "tevuio/device.h"

device_state device;

namespace {

// How long a closer waits between cancelling the user's I/O and looking again.
constexpr uint32_t close_poll_ms = 1;
// How long stop waits between cancelling a thread's I/O and trying again.
constexpr uint32_t stop_poll_ms = 10;

} // namespace

plat_file device_acquire(device_slot &slot, uint32_t *generation) {
    slot.busy.store(true, std::memory_order_seq_cst);
    const plat_file file = slot.file.load(std::memory_order_seq_cst);
    if (!device_file_open(file)) {
        slot.busy.store(false, std::memory_order_release);
        return file;
    }
    if (generation != nullptr)
        *generation = slot.generation.load(std::memory_order_acquire);
    return file;
}

void device_release(device_slot &slot) {
    slot.busy.store(false, std::memory_order_release);
}

void device_replace(device_slot &slot, plat_file next) {
    const plat_file old = slot.file.exchange(next, std::memory_order_seq_cst);
    if (device_file_open(next))
        slot.generation.fetch_add(1, std::memory_order_acq_rel);
    if (!device_file_open(old))
        return;
    while (slot.busy.load(std::memory_order_seq_cst)) {
        const plat_thread user = slot.user.load(std::memory_order_acquire);
        if (user != nullptr)
            plat_thread_cancel_io(user);
        plat_sleep_ms(close_poll_ms);
    }
    plat_hid_close(old);
}

void device_end_user(device_slot &slot, plat_thread thread) {
    for (;;) {
        plat_thread_cancel_io(thread);
        if (plat_thread_wait(thread, stop_poll_ms))
            break;
    }
    slot.user.store(nullptr, std::memory_order_release);
    plat_thread_close(thread);
}
