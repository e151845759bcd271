// Threads of the platform's own (pthreads), each with an eventfd that
// plat_thread_wake counts on and plat_wait polls, and the thread's last error
// code.
#include "platform/linux/linux_internal.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace linux_platform {

namespace {

// The platform's own threads: a slot each, taken by plat_thread_start and
// given back by plat_thread_close once the thread is joined.
struct thread_table {
    thread_slot slots[max_threads];
};
thread_table threads;

// What the platform keeps for each thread, the host's included.
struct thread_state {
    unsigned long last_error = 0;
    thread_slot *slot = nullptr; // the thread's slot when the platform started it
};
thread_local thread_state this_thread;

void *thread_trampoline(void *raw) {
    thread_slot *slot = static_cast<thread_slot *>(raw);
    this_thread.slot = slot;
    slot->fn(slot->arg);
    return nullptr;
}

} // namespace

void set_last_error(int code) {
    this_thread.last_error = static_cast<unsigned long>(code);
}

void drain_eventfd(int fd) {
    uint64_t count;
    while (read(fd, &count, sizeof count) > 0) {
    }
}

void signal_eventfd(int fd) {
    uint64_t one = 1;
    if (write(fd, &one, sizeof one) < 0) {
        // The counter is full: a wake-up is pending anyway.
    }
}

} // namespace linux_platform

using namespace linux_platform;

unsigned long plat_last_error() {
    return this_thread.last_error;
}

plat_thread plat_thread_start(plat_thread_fn fn, void *arg) {
    if (!fn) {
        return nullptr;
    }
    for (thread_slot &slot : threads.slots) {
        bool expected = false;
        if (!slot.used.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
            continue;
        }
        slot.fn = fn;
        slot.arg = arg;
        slot.joined = false;
        slot.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (slot.wake_fd < 0 || pthread_create(&slot.handle, nullptr, thread_trampoline, &slot)) {
            if (slot.wake_fd >= 0) {
                close(slot.wake_fd);
            }
            slot.wake_fd = -1;
            slot.used.store(false, std::memory_order_release);
            return nullptr;
        }
        return &slot;
    }
    return nullptr;
}

bool plat_thread_wait(plat_thread thread, uint32_t timeout_ms) {
    thread_slot *slot = static_cast<thread_slot *>(thread);
    if (!slot) {
        return true;
    }
    if (slot->joined) {
        return true;
    }
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(slot->handle, nullptr, &deadline) == 0) {
        slot->joined = true;
        return true;
    }
    return false;
}

void plat_thread_close(plat_thread thread) {
    thread_slot *slot = static_cast<thread_slot *>(thread);
    if (!slot) {
        return;
    }
    if (!slot->joined) {
        pthread_detach(slot->handle);
    }
    // A detached thread may still run; its slot and eventfd stay reserved.
    if (slot->joined) {
        close(slot->wake_fd);
        slot->wake_fd = -1;
        slot->used.store(false, std::memory_order_release);
    }
}

void plat_sleep_ms(uint32_t ms) {
    timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

void plat_pacer_open(plat_pacer *pacer) {
    // Sleeps and poll timeouts are already fine-grained here.
    pacer->pacing = PLAT_PACING_PLAIN;
    pacer->timer = nullptr;
}

void plat_pacer_close(plat_pacer *) {}

namespace {

// How long a wait whose poll fails for want of memory sleeps before it looks
// at its eventfd again.
constexpr uint32_t failed_poll_pause_ms = 10;

// Milliseconds from now to deadline (plat_now_ms), 0 once it has passed.
int time_left_ms(uint64_t deadline) {
    uint64_t now = plat_now_ms();
    uint64_t left = deadline > now ? deadline - now : 0;
    return left < INT_MAX ? static_cast<int>(left) : INT_MAX;
}

} // namespace

void plat_wait(const plat_pacer *, uint32_t ms) {
    if (!this_thread.slot) {
        plat_sleep_ms(ms);
        return;
    }
    const int wake_fd = this_thread.slot->wake_fd;
    const uint64_t deadline = plat_now_ms() + ms;
    for (;;) {
        int timeout = ms == plat_wait_forever ? -1 : time_left_ms(deadline);
        pollfd wake{wake_fd, POLLIN, 0};
        int ready = poll(&wake, 1, timeout);
        if (ready > 0) {
            // Every wake-up sent so far ends this wait and no later one.
            drain_eventfd(wake_fd);
            return;
        }
        if (timeout == 0) {
            return;
        }
        if (ready < 0 && errno != EINTR) {
            plat_sleep_ms(failed_poll_pause_ms);
        } // else a signal, or the clock's rounding: wait for what is left
    }
}

void plat_thread_wake(plat_thread thread) {
    thread_slot *slot = static_cast<thread_slot *>(thread);
    if (slot) {
        signal_eventfd(slot->wake_fd);
    }
}

uint64_t plat_now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}
