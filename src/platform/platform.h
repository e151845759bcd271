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
// A listed path, its NUL included, fits this room; a longer one is skipped.
constexpr uint32_t plat_path_room = 1024;
// One present HID interface, as the platform names it.
struct plat_hid_interface {
    int32_t vendor_id;        // USB vendor ID, -1 when the platform cannot tell it
    int32_t interface_number; // USB interface number, -1 for a device without one
    char path[plat_path_room];
};
enum plat_entry_result {
    PLAT_ENTRY_END,  // no entry at this index, or the enumeration failed: the walk ends
    PLAT_ENTRY_SKIP, // the entry cannot be read (its record is missing or too large)
    PLAT_ENTRY_OK,   // *entry describes it
};
// nullptr when no list can be had. One listing at a time: the library
// serialises its searches.
plat_list plat_hid_list_open();
plat_entry_result plat_hid_list_entry(plat_list list, uint32_t index, plat_hid_interface *entry);
void plat_hid_list_close(plat_list list);

// --- HID I/O, all synchronous ----------------------------------------------
// Opens a listed path for reading and writing; PLAT_INVALID_FILE on failure
// (plat_last_error tells why).
plat_file plat_hid_open(const char *path);
// What a read or write on an interface gave.
enum plat_io_result {
    PLAT_IO_DONE,      // read: *count bytes (possibly 0 or an odd length) are in buffer;
                       // write: the platform took the whole report
    PLAT_IO_CANCELLED, // plat_hid_cancel ended it; the device is still there
    PLAT_IO_FAILED,    // write only: the device refused the report but is still there
    PLAT_IO_GONE,      // the device is gone: unplugged, hung up, or any other read error
};
// One read of at most room bytes: the newest one or two queued input reports,
// each whole as the device sent it (room is twice the report length; a platform
// that delivers one report per read returns the newest queued one). Blocks until
// a report is there, the read is cancelled, or the device is gone. A report that
// does not fit is dropped, never cut; two reports are joined only when both are
// of the same length and both fit. A signal that interrupts the wait is not an
// unplug: the read goes on.
plat_io_result plat_hid_read(plat_file file, uint8_t *buffer, uint32_t room, uint32_t *count);
// How a report goes to the device.
enum plat_report_kind {
    PLAT_REPORT_OUTPUT,  // an output report
    PLAT_REPORT_FEATURE, // a feature report (over the control pipe)
};
// Sends one whole report of this kind, byte 0 its ID. Returns once the
// platform has taken it.
plat_io_result plat_hid_send(plat_file file, plat_report_kind kind, const uint8_t *report,
                             uint32_t length);
// Makes a plat_hid_read or plat_hid_send that some thread is blocked in now
// on this file end at once with PLAT_IO_CANCELLED. A call entered later is
// not affected, and no I/O on any other file (the host's own included) is
// touched. The file must stay open during the call.
void plat_hid_cancel(plat_file file);
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
void plat_thread_close(plat_thread thread);
// Sleeps the calling thread, whichever it is. Not ended early by anything.
void plat_sleep_ms(uint32_t ms);
// Milliseconds on a monotonic clock with an arbitrary start.
uint64_t plat_now_ms();

// Waits of the library's own threads. What makes a wait of 1 ms last about
// 1 ms where the system's timer is coarse: a high-resolution waitable timer
// where the system has one, else a timer resolution raised while the pacer is
// open, else nothing (plain waits).
enum plat_pacing {
    PLAT_PACING_PLAIN,      // plain waits, at the system's own resolution
    PLAT_PACING_RESOLUTION, // the system timer's resolution raised to 1 ms
    PLAT_PACING_TIMER,      // a high-resolution waitable timer
};
struct plat_pacer {
    plat_pacing pacing;
    void *timer; // PLAT_PACING_TIMER: the timer
};
// Opens and closes a pacer, on the thread that waits with it.
void plat_pacer_open(plat_pacer *pacer);
void plat_pacer_close(plat_pacer *pacer);
constexpr uint32_t plat_wait_forever = 0xFFFFFFFFu;
// Waits at most ms (plat_wait_forever: no limit) on the calling thread, one
// that plat_thread_start started, with the pacer (nullptr: a plain wait). It
// ends early when plat_thread_wake was called for the thread since its
// previous wait ended; no wake-up is lost. No spinning.
void plat_wait(const plat_pacer *pacer, uint32_t ms);
void plat_thread_wake(plat_thread thread);

// --- Standard output and exit ------------------------------------------------
// Formats to the process's buffered standard output, without flushing.
void plat_vprint(const char *format, va_list args);
// Ends the process through the runtime's orderly exit (exit handlers run,
// buffered output is flushed).
[[noreturn]] void plat_exit(int status);
// A failed check (check.h): reported through the C runtime's own assertion
// report (expression, file, line, and the function where the runtime names
// one), which ends the process abnormally.
[[noreturn]] void plat_check_failed(const char *expression, const char *file, unsigned line,
                                    const char *function);

#endif
