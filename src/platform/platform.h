// The operating-system services the library uses. Each platform has one
// implementation (platform_win32.cpp; the folder linux/); the tests link a
// fake. Nothing else in the library calls the operating system.
#ifndef TEVUIO_PLATFORM_H
#define TEVUIO_PLATFORM_H

#include <cstdarg>
#include <cstdint>

// An open HID interface. nullptr means none; PLAT_INVALID_FILE is what a
// failed open gives (the platform's invalid-handle value).
typedef void *plat_file;
#define PLAT_INVALID_FILE (reinterpret_cast<plat_file>(static_cast<intptr_t>(-1)))

// The list of present HID interfaces, walked by index.
typedef void *plat_list;

typedef void *plat_thread;
typedef unsigned (*plat_thread_fn)(void *arg);

// --- HID interface listing -------------------------------------------------
// nullptr when no list can be had.
plat_list plat_hid_list_open();
// false ends the walk (no entry at this index, or the enumeration failed).
// Otherwise *detail_size is the size of the entry's detail record (its path
// included), 0 when that cannot be had.
bool plat_hid_list_entry(plat_list list, uint32_t index, uint32_t *detail_size);
// Fetches the path of the entry, NUL-terminated, into path (room for 1024
// bytes); detail_size is what plat_hid_list_entry gave. false on failure.
bool plat_hid_list_path(plat_list list, uint32_t index, char *path, uint32_t detail_size);
void plat_hid_list_close(plat_list list);

// --- HID I/O, all synchronous ----------------------------------------------
// Opens a listed path for reading and writing; PLAT_INVALID_FILE on failure
// (plat_last_error tells why).
plat_file plat_hid_open(const char *path);
// What a read of an input interface gave.
enum plat_read_result {
    PLAT_READ_DATA,      // *count bytes (possibly 0 or an odd length) are in buffer
    PLAT_READ_CANCELLED, // plat_thread_cancel_io ended the read; the device is still there
    PLAT_READ_GONE,      // the device is gone: unplugged, hung up, or any other read error
};
// One read of at most room bytes: the newest one or two queued input reports,
// each whole as the device sent it (room is twice the report length; a platform
// that delivers one report per read returns the newest queued one). Blocks until
// a report is there, the read is cancelled, or the device is gone. A report that
// does not fit is dropped, never cut; two reports are joined only when both are
// of the same length and both fit.
plat_read_result plat_hid_read(plat_file file, uint8_t *buffer, uint32_t room, uint32_t *count);
// Output report, byte 0 is its ID. Returns once the platform has taken it;
// false when it failed or was cancelled.
bool plat_hid_write(plat_file file, const uint8_t *report, uint32_t length);
// Feature report, byte 0 is its ID; false when it failed or was cancelled.
bool plat_hid_set_feature(plat_file file, const uint8_t *report, uint32_t length);
// Closes an interface that plat_hid_open gave (not nullptr, not
// PLAT_INVALID_FILE). No other thread may be using it.
void plat_hid_close(plat_file file);
// Keep at most this many input reports queued on the interface.
bool plat_hid_set_input_queue(plat_file file, uint32_t reports);
// The calling thread's last error code.
unsigned long plat_last_error();

// --- Keyboard ----------------------------------------------------------------
// Whether the key with this virtual-key code is down now, whatever has focus.
bool plat_key_down(uint8_t vk);

// --- Configuration and host image -------------------------------------------
// The integer value of key in section of an INI file, as the Windows reader
// gives it, or def when the file, section or key is missing.
uint32_t plat_ini_uint(const char *section, const char *key, int32_t def, const char *file_name);
// Load address of the host's main program image.
uint64_t plat_host_image_base();
// Whether the byte at offset from that address can be read for the life of
// the process: inside the image on Windows; inside a readable loaded segment
// of the main program on Linux (not in a gap between two segments).
// *image_size gets the image's size in bytes (the span of its segments).
bool plat_host_byte_readable(uint64_t offset, uint64_t *image_size);

// --- Threads -------------------------------------------------------------------
// Starts fn(arg) on a new thread with the default stack; nullptr on failure.
plat_thread plat_thread_start(plat_thread_fn fn, void *arg);
// Waits at most timeout_ms for the thread to end; true when it has ended.
bool plat_thread_wait(plat_thread thread, uint32_t timeout_ms);
// Makes a plat_hid_read, plat_hid_write or plat_hid_set_feature that the
// thread is blocked in now end at once (a read with PLAT_READ_CANCELLED, a
// write with false). A call the thread enters later is not affected.
void plat_thread_cancel_io(plat_thread thread);
void plat_thread_close(plat_thread thread);
void plat_sleep_ms(uint32_t ms);
// Milliseconds on a monotonic clock with an arbitrary start.
uint64_t plat_now_ms();

// --- Standard output and exit ------------------------------------------------
// Formats to the process's buffered standard output, without flushing.
void plat_vprint(const char *format, va_list args);
// Ends the process through the runtime's orderly exit (exit handlers run,
// buffered output is flushed).
[[noreturn]] void plat_exit(int status);

#endif
