// tevuio: cabinet I/O for a USB touch-slider controller.
//
// The host loads the library by name and calls these eight functions. All of
// them use the C calling convention and plain, undecorated names.
//
// Threads: init, start and stop are made from one host thread. Init belongs
// before start or after stop; an init while the slider runs is safe all the
// same: it returns promptly, and the slider goes on with what it opened.
// Polling and the coin counter may be called from any host threads at any
// time, an init meanwhile included (each key binding reads either as it was
// or as the init makes it), and a coin press counts once whichever threads
// ask. set_leds from one host thread at a time. The slider callback may poll
// and set LEDs, never init, start or stop. Stop cancels only the library's
// own reads and writes: whatever the host does in its callback is left alone.
//
// A controller that goes away while the slider runs releases every input at
// once; the library looks for it again and goes on when it is back, without a
// new init.
#ifndef TEVUIO_H
#define TEVUIO_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(TEVUIO_BUILDING)
#define TEVUIO_API
#else
#define TEVUIO_API __declspec(dllimport)
#endif
#else
#define TEVUIO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// 32 cells, index 0 to 31: 0 untouched, 20 touched by a key, 200 touched on
// the controller. Valid only during the callback.
typedef void (*tevu_io_slider_callback_t)(const uint8_t *pressure);

// Always 0x0100. May be called at any time.
TEVUIO_API uint16_t tevu_io_get_api_version(void);

// Loads ".\morvantel.ini" and opens the controller, closing the interfaces an
// earlier init opened. 0 on success, -1 on failure.
TEVUIO_API int32_t tevu_io_jvs_init(void);

// opbtn: bit 0 test, bit 1 service. gamebtn: bits 0-4 game buttons 1-5.
TEVUIO_API void tevu_io_jvs_poll(uint8_t *opbtn, uint8_t *gamebtn);

// Writes the coin count; a null pointer does nothing.
TEVUIO_API void tevu_io_jvs_read_coin_counter(uint16_t *count);

// Does nothing; always 0.
TEVUIO_API int32_t tevu_io_slider_init(void);

// Starts the slider thread (and the lighting thread when the controller has a
// lighting interface). The callback runs on the slider thread.
TEVUIO_API void tevu_io_slider_start(tevu_io_slider_callback_t callback);

// Stops both threads and waits for them; a blocked read or write is cancelled,
// so it returns promptly whatever the controller does. Never call it from the
// callback.
TEVUIO_API void tevu_io_slider_stop(void);

// Queues 32 RGB triples (96 bytes, host LED order) for the slider LEDs.
// Never blocks. From one host thread at a time (the slider callback counts as
// one).
TEVUIO_API void tevu_io_slider_set_leds(const uint8_t *rgb);

#ifdef __cplusplus
}
#endif

#endif
