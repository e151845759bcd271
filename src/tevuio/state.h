// The library's single static state, one instance per process. Each field has
// one writer; every field another thread reads is atomic.
#ifndef TEVUIO_STATE_H
#define TEVUIO_STATE_H

#include "platform/platform.h"
#include "tevuio/config.h"
#include "tevuio/device.h"

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
    std::atomic<uint8_t> vk_button[5];
    std::atomic<uint8_t> vk_cell[8];
    std::atomic<uint8_t> vk_test;
    std::atomic<uint8_t> vk_service;
    std::atomic<uint8_t> vk_coin;
    std::atomic<uint64_t> lamp_state_address;

    void publish(const io_config &loaded);
};
extern live_config config;
// A binding's key code, for a plat_key_down.
inline uint8_t key_of(const std::atomic<uint8_t> &binding) {
    return binding.load(std::memory_order_relaxed);
}

// Init's searches that found nothing, process-wide, never reset (the third one
// ends the process). The slider thread's searches for a lost controller do not
// count.
extern uint8_t open_failure_count;

// The newest input report 0x01, as the fields that are read from it. Written
// by the slider thread only; read by polling and the lighting thread.
struct input_report_fields {
    std::atomic<uint16_t> buttons; // bytes 1-2, little-endian
    std::atomic<uint32_t> slider;  // bytes 4-7, little-endian
};
extern input_report_fields latest_report;
// The slider word of an untouched slider; latest_report starts with it.
#define TEVUIO_SLIDER_UNTOUCHED 0x80808080u

// Coin state, as one word so that host threads that count coins at once
// agree: bit 0 is set while the coin key was seen down, the bits above count
// the presses (the count wraps at 16 bits when it is handed out). Every change
// is a compare-and-exchange from the word its caller saw before it looked at
// the key, so the key states that take effect are in the order they were seen.
constexpr uint32_t coin_key_down_bit = 1u;
constexpr uint32_t coin_one = 2u;
extern std::atomic<uint32_t> coin_state;

// Worker threads (start and stop run on one host thread) and their stop flags.
// The slider thread cancels the lighting thread's I/O when it closes the
// lighting interface, hence the atomic.
extern plat_thread slider_thread;
extern std::atomic<plat_thread> lighting_thread;
extern std::atomic<bool> slider_stop;
extern std::atomic<bool> lighting_stop;

// LED frames from the host to the lighting thread: a triple buffer. The setter
// copies a frame into its back buffer and exchanges that buffer with the
// newest one, marked fresh; the lighting thread, when the newest is fresh,
// exchanges its front buffer with it. Each buffer is held by exactly one of
// back, newest and front at a time, so none is written while it is read, and
// a frame set while an older one waits replaces it.
constexpr uint8_t led_frame_fresh = 0x04;
constexpr uint8_t led_frame_index = 0x03;
struct led_frame_exchange {
    uint8_t frames[3][96];       // host LED order
    std::atomic<uint8_t> newest; // buffer index, with led_frame_fresh until taken
    uint8_t back;                // the setter's buffer; the setter's thread only
};
extern led_frame_exchange led_frames;

// What the lighting thread knows of the controller's LEDs. Its own; kept
// across stop and start (starting and joining the thread order the accesses).
struct led_output_state {
    uint8_t front;   // buffer of the frame taken last
    bool have_frame; // the front buffer holds a frame the host set
    bool unsent;     // that frame is not yet on the controller whole
    // The payloads of led_report_low and led_report_high are what the
    // controller shows in that half (false after a compressed frame, a failed
    // write or a new handle).
    bool low_known;
    bool high_known;
    uint32_t generation; // of the lighting handle written to last
};
extern led_output_state led_output;

// Report buffers: init writes the IDs (byte 0), the lighting thread the rest.
extern uint8_t led_report_low[49];     // report 0x04: device LEDs 0-15
extern uint8_t led_report_high[49];    // report 0x05: device LEDs 16-31
extern uint8_t led_feature_report[64]; // report 0x0B: ID, length, LZF block, zeros
extern uint8_t lamp_levels[4];         // lighting thread only

// printf-style line to standard output, unflushed. Messages carry their own "\r\n".
void log_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Returns every field to its load-time value, the failure count included.
// For tests only: a process never unloads its state otherwise.
void state_reset_for_tests();

#endif
