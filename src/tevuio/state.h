// The library's single static state, one instance per process. Each field has
// one writer; every field another thread reads is atomic.
#ifndef TEVUIO_STATE_H
#define TEVUIO_STATE_H

#include "platform/platform.h"
#include "tevuio/device.h"
#include "utils/config.h"

#include <atomic>
#include <cstdint>

#define TEVUIO_CONFIG_FILE ".\\morvantel.ini"
#define TEVUIO_VENDOR_ID 0x0F0D
#define TEVUIO_ANY_INTERFACE 0xFF

// Written by init (while the threads are stopped), read by the host's calls.
extern io_config config;

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

// Coin state: touched only by the coin-counter call on the host's thread.
extern uint16_t coin_count;
extern bool coin_key_down;

// Worker threads (start and stop run on one host thread) and their stop flags.
// The slider thread cancels the lighting thread's I/O when it closes the
// lighting interface, hence the atomic.
extern plat_thread slider_thread;
extern std::atomic<plat_thread> lighting_thread;
extern std::atomic<bool> slider_stop;
extern std::atomic<bool> lighting_stop;

// LED reports: the setter writes a buffer only while its flag is clear and
// sets the flag (release) after the last byte; the lighting thread reads the
// flag (acquire), sends, then clears it (release).
extern uint8_t led_report_low[49];     // report 0x04: device LEDs 0-15
extern uint8_t led_report_high[49];    // report 0x05: device LEDs 16-31
extern uint8_t led_feature_report[64]; // report 0x0B: ID, length, LZF block
extern uint8_t led_staging[96];        // a frame in device LED order
extern std::atomic<bool> led_low_dirty;
extern std::atomic<bool> led_high_dirty;
extern std::atomic<bool> led_feature_pending;
extern uint8_t lamp_levels[4]; // lighting thread only
// Set when a compressed frame was queued: the halves' record no longer matches
// what the controller shows, so the next uncompressed frame goes out in full.
// Setter's thread only.
extern bool led_halves_stale;

// printf-style line to standard output, unflushed. Messages carry their own "\r\n".
void log_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Returns every field to its load-time value, the failure count included.
// For tests only: a process never unloads its state otherwise.
void state_reset_for_tests();

#endif
