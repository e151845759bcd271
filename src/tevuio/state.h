// The library's run state: one object, one instance per process, zero (or its
// stated default) at load. Its parts are grouped by concern; each field has
// one writer, and every field another thread reads is atomic.
#ifndef TEVUIO_STATE_H
#define TEVUIO_STATE_H

#include "platform/platform.h"
#include "tevuio.h"
#include "tevuio/config.h"
#include "tevuio/device.h"
#include "tevuio/reports.h"

#include <atomic>
#include <cstdint>

#define TEVUIO_CONFIG_FILE ".\\morvantel.ini"
#define TEVUIO_VENDOR_ID 0x0F0D
#define TEVUIO_ANY_INTERFACE 0xFF

// The configuration in force. Init writes it; the host's calls and both
// threads read it at any time, an init while the slider runs included. Each
// binding is one atomic byte, so a call that overlaps an init sees every key
// either as it was or as it becomes, never a torn value.
struct live_config {
    std::atomic<uint8_t> vk_button[report::game_button_count]{};
    std::atomic<uint8_t> vk_cell[report::slider_key_count]{};
    std::atomic<uint8_t> vk_test{0};
    std::atomic<uint8_t> vk_service{0};
    std::atomic<uint8_t> vk_coin{0};
    std::atomic<uint64_t> lamp_state_address{0};

    void publish(const io_config &loaded);
};
// A binding's key code, for a plat_key_down.
inline uint8_t key_of(const std::atomic<uint8_t> &binding) {
    return binding.load(std::memory_order_relaxed);
}

// The newest input report 0x01, as the fields that are read from it. Written
// by the slider thread only; read by polling and the lighting thread.
struct input_snapshot {
    std::atomic<uint16_t> buttons{0};                       // bytes 1-2, little-endian
    std::atomic<uint32_t> slider{report::slider_untouched}; // bytes 4-7, little-endian
};

// The coin counter, as one word so that host threads that count coins at once
// agree: bit 0 is set while the coin key was seen down, the bits above count
// the presses (the count wraps at 16 bits when it is handed out). Every change
// is a compare-and-exchange from the word its caller saw before it looked at
// the key, so the key states that take effect are in the order they were seen.
struct coin_counter {
    static constexpr uint32_t key_down_bit = 1u;
    static constexpr uint32_t one = 2u;
    std::atomic<uint32_t> word{0};
};

// The slider thread. Start and stop run on one host thread.
struct slider_worker {
    plat_thread thread = nullptr;
    std::atomic<bool> stop{false};
    // The callback of the running thread; written by start before the thread
    // exists, read only by that thread.
    tevu_io_slider_callback_t callback = nullptr;
};

// LED frames from the host to the lighting thread: a triple buffer. The setter
// copies a frame into its back buffer and exchanges that buffer with the
// newest one, marked fresh; the lighting thread, when the newest is fresh,
// exchanges its front buffer with it. Each buffer is held by exactly one of
// back, newest and front at a time, so none is written while it is read, and
// a frame set while an older one waits replaces it.
struct led_frame_exchange {
    static constexpr uint8_t fresh = 0x04;
    static constexpr uint8_t index = 0x03;
    uint8_t frames[3][report::frame_bytes]{}; // host LED order
    std::atomic<uint8_t> newest{0};           // buffer index, with fresh until taken
    uint8_t back = 1;                         // the setter's buffer; the setter's thread only
};

// What the lighting thread knows of the controller's LEDs. Its own; kept
// across stop and start (starting and joining the thread order the accesses).
struct led_output_record {
    uint8_t front = 2;       // buffer of the frame taken last
    bool have_frame = false; // the front buffer holds a frame the host set
    bool unsent = false;     // that frame is not yet on the controller whole
    // Per half (0: report 0x04, 1: report 0x05), what the controller shows in
    // device LED order, when known (not after a compressed frame, a failed
    // write or a new handle).
    uint8_t shown[2][report::half_bytes]{};
    bool known[2]{};
    uint32_t generation = 0; // of the lighting handle written to last
};

// The lighting thread, its frames and what it sent.
struct lighting_worker {
    // The slider thread wakes the lighting thread when it starts a search for
    // the lighting interface, hence the atomic.
    std::atomic<plat_thread> thread{nullptr};
    std::atomic<bool> stop{false};
    led_frame_exchange frames;
    led_output_record output;
};

struct tevuio_state {
    live_config config;
    // Init's searches that found nothing, process-wide, never reset (the
    // third one ends the process). Searches for a lost controller do not count.
    uint8_t open_failure_count = 0;
    device_state device;
    input_snapshot input;
    coin_counter coins;
    slider_worker slider;
    lighting_worker lighting;

    // Back to the load-time state, the failure count included. For tests
    // only: a process never unloads its state otherwise.
    void reset();
};
extern tevuio_state tevu;

// printf-style line to standard output, unflushed. Messages carry their own "\r\n".
void log_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
