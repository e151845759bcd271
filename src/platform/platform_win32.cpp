// Windows implementation of the platform layer: SetupAPI and HID services for
// the controller, synchronous file I/O on its interfaces, the INI reader, the
// host image, the keyboard, threads and standard output.
//
// Static buffers only; the library makes one device listing at a time (from
// init, the slider thread or the lighting thread), so the listing's scratch
// state needs no guard of its own.
#include "platform/platform.h"
#include "platform/win32_paths.h"

#include <windows.h>

// hidsdi.h declares its functions without C linkage of its own.
extern "C" {
#include <hidsdi.h>
}
#include <process.h>
#include <setupapi.h>
#include <timeapi.h>

#include <assert.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

// The class of HID interfaces, which a listing is made of and walked by.
GUID hid_class() {
    GUID guid;
    HidD_GetHidGuid(&guid);
    return guid;
}

// A detail record is fetched into this buffer (path included).
constexpr DWORD detail_buffer_size = plat_path_room;
union detail_buffer {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A record;
    unsigned char bytes[detail_buffer_size];
};

bool list_interface(plat_list list, uint32_t index, SP_DEVICE_INTERFACE_DATA *data) {
    const GUID guid = hid_class();
    data->cbSize = sizeof *data;
    return SetupDiEnumDeviceInterfaces(static_cast<HDEVINFO>(list), nullptr, &guid, index, data) !=
           FALSE;
}

// Names for the INI reader are short ASCII; longer ones are cut.
constexpr int wide_name_size = 260;
void widen(const char *text, wchar_t *out) {
    int i = 0;
    for (; i < wide_name_size - 1 && text[i] != '\0'; ++i)
        out[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    out[i] = L'\0';
}

// The platform's threads. _beginthreadex calls its routine with the system's
// calling convention, which on 32-bit x86 is not the one of plat_thread_fn:
// each thread starts through this trampoline, which takes its routine from
// its record. The record also holds the thread's wake-up event, an
// auto-reset event that keeps a wake sent before the thread waits.
struct thread_record {
    std::atomic<bool> used;
    std::atomic<DWORD> id; // of the running thread, 0 until it runs
    HANDLE thread;
    HANDLE wake; // made with the record's first use and kept
    plat_thread_fn fn;
    void *arg;
};
// The file's one piece of state.
constexpr int thread_record_count = 16;
thread_record thread_records[thread_record_count];

unsigned __stdcall thread_trampoline(void *record_pointer) {
    thread_record *record = static_cast<thread_record *>(record_pointer);
    record->id.store(GetCurrentThreadId(), std::memory_order_release);
    return record->fn(record->arg);
}

// The record of the calling thread; nullptr on a thread the platform did not
// start. (A lookup rather than thread-local storage, which the runtime would
// allocate on the heap.)
thread_record *current_record() {
    const DWORD self = GetCurrentThreadId();
    for (thread_record &record : thread_records)
        if (record.id.load(std::memory_order_acquire) == self &&
            record.used.load(std::memory_order_acquire))
            return &record;
    return nullptr;
}

} // namespace

// --- HID interface listing -------------------------------------------------

plat_list plat_hid_list_open() {
    const GUID guid = hid_class();
    HDEVINFO list =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE)
        return nullptr;
    return list;
}

plat_entry_result plat_hid_list_entry(plat_list list, uint32_t index, plat_hid_interface *entry) {
    SP_DEVICE_INTERFACE_DATA data;
    if (!list_interface(list, index, &data))
        return PLAT_ENTRY_END;
    // The size query fails with ERROR_INSUFFICIENT_BUFFER by design; only the
    // size it reports matters.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(static_cast<HDEVINFO>(list), &data, nullptr, 0, &required,
                                     nullptr);
    if (required == 0 || required > detail_buffer_size)
        return PLAT_ENTRY_SKIP;
    detail_buffer detail;
    detail.record.cbSize = sizeof detail.record;
    if (!SetupDiGetDeviceInterfaceDetailA(static_cast<HDEVINFO>(list), &data, &detail.record,
                                          required, nullptr, nullptr))
        return PLAT_ENTRY_SKIP;
    // The path ends inside the record; copy at most what the buffer can hold.
    const char *source = detail.record.DevicePath;
    const uint32_t limit =
        detail_buffer_size -
        static_cast<uint32_t>(source - reinterpret_cast<const char *>(detail.bytes));
    uint32_t i = 0;
    for (; i < limit - 1 && i < plat_path_room - 1 && source[i] != '\0'; ++i)
        entry->path[i] = source[i];
    entry->path[i] = '\0';
    entry->vendor_id = win32_paths::vendor_of(entry->path);
    entry->interface_number = win32_paths::interface_of(entry->path);
    return PLAT_ENTRY_OK;
}

void plat_hid_list_close(plat_list list) {
    SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(list));
}

// --- HID I/O ---------------------------------------------------------------

plat_file plat_hid_open(const char *path) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    return file; // INVALID_HANDLE_VALUE is PLAT_INVALID_FILE
}

namespace {

// What a failed write or feature report says of the device.
plat_io_result write_failure(DWORD error) {
    switch (error) {
    case ERROR_OPERATION_ABORTED: // plat_hid_cancel
        return PLAT_IO_CANCELLED;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
        return PLAT_IO_GONE;
    default:
        return PLAT_IO_FAILED;
    }
}

} // namespace

plat_io_result plat_hid_read(plat_file file, uint8_t *buffer, uint32_t room, uint32_t *count) {
    const HANDLE handle = static_cast<HANDLE>(file);
    DWORD got = 0;
    *count = 0;
    if (ReadFile(handle, buffer, room, &got, nullptr)) {
        *count = got;
        return PLAT_IO_DONE;
    }
    // A message-mode interface hands out a longer message in pieces: take
    // the rest and drop the whole message rather than deliver a cut report.
    DWORD error = GetLastError();
    while (error == ERROR_MORE_DATA) {
        uint8_t rest[64];
        if (ReadFile(handle, rest, sizeof rest, &got, nullptr))
            return PLAT_IO_DONE;
        error = GetLastError();
    }
    // Only plat_hid_cancel ends a read with this code. Any other failure (the
    // device was removed, the handle went bad) leaves nothing to read.
    return error == ERROR_OPERATION_ABORTED ? PLAT_IO_CANCELLED : PLAT_IO_GONE;
}

plat_io_result plat_hid_send(plat_file file, plat_report_kind kind, const uint8_t *report,
                             uint32_t length) {
    const HANDLE handle = static_cast<HANDLE>(file);
    BOOL sent;
    if (kind == PLAT_REPORT_FEATURE) {
        // The call only reads the buffer; its prototype lacks the const.
        sent = HidD_SetFeature(handle, const_cast<uint8_t *>(report), length);
    } else {
        // The HID class driver sends the whole report or fails the write. The
        // count it reports is not the report's length: for a report with an ID
        // it is one less than what the device took (48 for a 49-byte report).
        DWORD written = 0;
        sent = WriteFile(handle, report, length, &written, nullptr);
    }
    return sent ? PLAT_IO_DONE : write_failure(GetLastError());
}

void plat_hid_cancel(plat_file file) {
    // Cancels the I/O of this process on this handle only, whichever thread
    // waits in it, and so also a HidD_SetFeature, which waits in the same
    // way. Cancelling by thread would also end whatever the host does on
    // that thread, such as a write of its own from inside the slider callback.
    CancelIoEx(static_cast<HANDLE>(file), nullptr);
}

void plat_hid_close(plat_file file) {
    CloseHandle(static_cast<HANDLE>(file));
}

bool plat_hid_set_input_queue(plat_file file, uint32_t reports) {
    return HidD_SetNumInputBuffers(static_cast<HANDLE>(file), reports) != FALSE;
}

unsigned long plat_last_error() {
    return GetLastError();
}

// --- Keyboard ----------------------------------------------------------------

bool plat_key_down(uint8_t vk) {
    return (GetAsyncKeyState(vk) & 0x8000) != 0;
}

// --- Configuration and host image -------------------------------------------

uint32_t plat_ini_uint(const char *section, const char *key, int32_t def, const char *file_name) {
    wchar_t wide_section[wide_name_size];
    wchar_t wide_key[wide_name_size];
    wchar_t wide_file[wide_name_size];
    widen(section, wide_section);
    widen(key, wide_key);
    widen(file_name, wide_file);
    return GetPrivateProfileIntW(wide_section, wide_key, def, wide_file);
}

uint64_t plat_host_image_base() {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)));
}

namespace {

uint64_t host_image_size() {
    const unsigned char *base = reinterpret_cast<const unsigned char *>(GetModuleHandleA(nullptr));
    if (base == nullptr)
        return 0;
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        return 0;
    return nt->OptionalHeader.SizeOfImage;
}

} // namespace

// Windows maps the whole image, SizeOfImage bytes from its base.
bool plat_host_byte_readable(uint64_t offset, uint64_t *image_size) {
    const uint64_t size = host_image_size();
    if (image_size != nullptr)
        *image_size = size;
    return offset < size;
}

// --- Threads -------------------------------------------------------------------

plat_thread plat_thread_start(plat_thread_fn fn, void *arg) {
    for (thread_record &record : thread_records) {
        bool expected = false;
        if (!record.used.compare_exchange_strong(expected, true, std::memory_order_acquire))
            continue;
        if (record.wake == nullptr)
            record.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        else
            ResetEvent(record.wake);
        record.fn = fn;
        record.arg = arg;
        record.id.store(0, std::memory_order_release);
        const uintptr_t thread =
            record.wake == nullptr
                ? 0
                : _beginthreadex(nullptr, 0, thread_trampoline, &record, 0, nullptr);
        if (thread == 0) {
            record.used.store(false, std::memory_order_release);
            return nullptr;
        }
        record.thread = reinterpret_cast<HANDLE>(thread);
        return &record;
    }
    return nullptr; // every record is held by a thread not closed yet
}

bool plat_thread_wait(plat_thread thread, uint32_t timeout_ms) {
    return WaitForSingleObject(static_cast<thread_record *>(thread)->thread, timeout_ms) ==
           WAIT_OBJECT_0;
}

void plat_thread_close(plat_thread thread) {
    thread_record *record = static_cast<thread_record *>(thread);
    CloseHandle(record->thread);
    record->thread = nullptr;
    record->id.store(0, std::memory_order_release);
    record->used.store(false, std::memory_order_release);
}

void plat_sleep_ms(uint32_t ms) {
    Sleep(ms);
}

uint64_t plat_now_ms() {
    return GetTickCount64();
}

namespace {

// High-resolution waitable timers came with Windows 10 1803; older systems
// refuse the flag.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

} // namespace

namespace win32_pacing {

// Opens the pacer with the first kind of fine wait the system grants, among
// those allowed (the platform probe checks each fallback by leaving out the
// kinds before it).
void open(plat_pacer *pacer, bool allow_timer, bool allow_resolution) {
    pacer->pacing = PLAT_PACING_PLAIN;
    pacer->timer = nullptr;
    if (allow_timer) {
        HANDLE timer =
            CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                   TIMER_MODIFY_STATE | SYNCHRONIZE);
        if (timer != nullptr) {
            pacer->pacing = PLAT_PACING_TIMER;
            pacer->timer = timer;
            return;
        }
    }
    // The system timer's resolution is process-wide and counted: raised
    // here, given back at close.
    if (allow_resolution && timeBeginPeriod(1) == TIMERR_NOERROR)
        pacer->pacing = PLAT_PACING_RESOLUTION;
}

} // namespace win32_pacing

void plat_pacer_open(plat_pacer *pacer) {
    win32_pacing::open(pacer, true, true);
}

void plat_pacer_close(plat_pacer *pacer) {
    if (pacer->pacing == PLAT_PACING_TIMER)
        CloseHandle(static_cast<HANDLE>(pacer->timer));
    else if (pacer->pacing == PLAT_PACING_RESOLUTION)
        timeEndPeriod(1);
    pacer->pacing = PLAT_PACING_PLAIN;
    pacer->timer = nullptr;
}

void plat_wait(const plat_pacer *pacer, uint32_t ms) {
    const thread_record *self = current_record();
    const HANDLE wake = self != nullptr ? self->wake : nullptr;
    if (wake == nullptr) {
        Sleep(ms == plat_wait_forever ? INFINITE : ms);
        return;
    }
    if (ms != plat_wait_forever && pacer != nullptr && pacer->pacing == PLAT_PACING_TIMER) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(ms) * 10000; // relative, in 100 ns
        const HANDLE timer = static_cast<HANDLE>(pacer->timer);
        if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
            const HANDLE both[2] = {wake, timer};
            WaitForMultipleObjects(2, both, FALSE, INFINITE);
            return;
        }
    }
    WaitForSingleObject(wake, ms == plat_wait_forever ? INFINITE : ms);
}

void plat_thread_wake(plat_thread thread) {
    SetEvent(static_cast<thread_record *>(thread)->wake);
}

// --- Standard output and exit ------------------------------------------------

void plat_vprint(const char *format, va_list args) {
    vprintf(format, args);
}

void plat_exit(int status) {
    exit(status);
}

void plat_check_failed(const char *expression, const char *file, unsigned line, const char *) {
    // The runtime's report, as assert makes it; it ends the process itself.
    _assert(expression, file, line);
    abort();
}
