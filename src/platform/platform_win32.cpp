// Windows implementation of the platform layer: SetupAPI and HID services for
// the controller, synchronous file I/O on its interfaces, the INI reader, the
// host image, the keyboard, threads and standard output.
//
// Static buffers only; the device listing runs on the thread that calls init,
// so its scratch state needs no guard.
#include "platform/platform.h"

#include <windows.h>

// hidsdi.h declares its functions without C linkage of its own.
extern "C" {
#include <hidsdi.h>
}
#include <process.h>
#include <setupapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

// Class of the present HID interfaces, fetched when a listing is opened and
// used to walk it.
GUID hid_class_guid;

// Detail records are fetched into this buffer (path included).
constexpr DWORD detail_buffer_size = 1024;
union detail_buffer {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A record;
    unsigned char bytes[detail_buffer_size];
};
detail_buffer detail;

bool list_interface(plat_list list, uint32_t index, SP_DEVICE_INTERFACE_DATA *data) {
    data->cbSize = sizeof *data;
    return SetupDiEnumDeviceInterfaces(static_cast<HDEVINFO>(list), nullptr, &hid_class_guid, index,
                                       data) != FALSE;
}

// Names for the INI reader are short ASCII; longer ones are cut.
constexpr int wide_name_size = 260;
void widen(const char *text, wchar_t *out) {
    int i = 0;
    for (; i < wide_name_size - 1 && text[i] != '\0'; ++i)
        out[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    out[i] = L'\0';
}

// _beginthreadex calls its routine with the system's calling convention, which
// on 32-bit x86 is not the one of plat_thread_fn: each thread starts through
// this trampoline, which takes its routine from a slot of a small table.
struct thread_slot {
    plat_thread_fn fn;
    void *arg;
    // Set from the claim until the new thread has taken fn and arg.
    std::atomic<bool> in_use;
};
constexpr int thread_slot_count = 8;
thread_slot thread_slots[thread_slot_count];

unsigned __stdcall thread_trampoline(void *slot_pointer) {
    thread_slot *slot = static_cast<thread_slot *>(slot_pointer);
    plat_thread_fn fn = slot->fn;
    void *arg = slot->arg;
    slot->in_use.store(false, std::memory_order_release); // fn and arg were read first
    return fn(arg);
}

} // namespace

// --- HID interface listing -------------------------------------------------

plat_list plat_hid_list_open() {
    HidD_GetHidGuid(&hid_class_guid);
    HDEVINFO list = SetupDiGetClassDevsA(&hid_class_guid, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE)
        return nullptr;
    return list;
}

bool plat_hid_list_entry(plat_list list, uint32_t index, uint32_t *detail_size) {
    SP_DEVICE_INTERFACE_DATA data;
    if (!list_interface(list, index, &data))
        return false;
    // The size query fails with ERROR_INSUFFICIENT_BUFFER by design; only the
    // size it reports matters.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(static_cast<HDEVINFO>(list), &data, nullptr, 0, &required,
                                     nullptr);
    *detail_size = required;
    return true;
}

bool plat_hid_list_path(plat_list list, uint32_t index, char *path, uint32_t detail_size) {
    if (detail_size == 0 || detail_size > detail_buffer_size)
        return false;
    SP_DEVICE_INTERFACE_DATA data;
    if (!list_interface(list, index, &data))
        return false;
    detail.record.cbSize = sizeof detail.record;
    if (!SetupDiGetDeviceInterfaceDetailA(static_cast<HDEVINFO>(list), &data, &detail.record,
                                          detail_size, nullptr, nullptr))
        return false;
    // The path ends inside the record; copy at most what the buffer can hold.
    const char *source = detail.record.DevicePath;
    const uint32_t limit =
        detail_buffer_size -
        static_cast<uint32_t>(source - reinterpret_cast<const char *>(detail.bytes));
    uint32_t i = 0;
    for (; i < limit - 1 && source[i] != '\0'; ++i)
        path[i] = source[i];
    path[i] = '\0';
    return true;
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

plat_read_result plat_hid_read(plat_file file, uint8_t *buffer, uint32_t room, uint32_t *count) {
    const HANDLE handle = static_cast<HANDLE>(file);
    DWORD got = 0;
    *count = 0;
    if (ReadFile(handle, buffer, room, &got, nullptr)) {
        *count = got;
        return PLAT_READ_DATA;
    }
    // A message-mode interface hands out a longer message in pieces: take
    // the rest and drop the whole message rather than deliver a cut report.
    DWORD error = GetLastError();
    while (error == ERROR_MORE_DATA) {
        uint8_t rest[64];
        if (ReadFile(handle, rest, sizeof rest, &got, nullptr))
            return PLAT_READ_DATA;
        error = GetLastError();
    }
    // Only CancelSynchronousIo ends a read with this code. Any other failure
    // (the device was removed, the handle went bad) leaves nothing to read.
    return error == ERROR_OPERATION_ABORTED ? PLAT_READ_CANCELLED : PLAT_READ_GONE;
}

bool plat_hid_write(plat_file file, const uint8_t *report, uint32_t length) {
    DWORD written = 0;
    return WriteFile(static_cast<HANDLE>(file), report, length, &written, nullptr) &&
           written == length;
}

bool plat_hid_set_feature(plat_file file, const uint8_t *report, uint32_t length) {
    // The call only reads the buffer; its prototype lacks the const.
    return HidD_SetFeature(static_cast<HANDLE>(file), const_cast<uint8_t *>(report), length) !=
           FALSE;
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
    for (int i = 0; i < thread_slot_count; ++i) {
        thread_slot *slot = &thread_slots[i];
        bool expected = false;
        if (!slot->in_use.compare_exchange_strong(expected, true, std::memory_order_acquire))
            continue;
        slot->fn = fn;
        slot->arg = arg;
        uintptr_t thread = _beginthreadex(nullptr, 0, thread_trampoline, slot, 0, nullptr);
        if (thread == 0) {
            slot->in_use.store(false, std::memory_order_release);
            return nullptr;
        }
        return reinterpret_cast<plat_thread>(thread);
    }
    return nullptr; // every slot is held by a thread that has not started yet
}

bool plat_thread_wait(plat_thread thread, uint32_t timeout_ms) {
    return WaitForSingleObject(static_cast<HANDLE>(thread), timeout_ms) == WAIT_OBJECT_0;
}

void plat_thread_cancel_io(plat_thread thread) {
    // Ends the thread's pending synchronous ReadFile or WriteFile, and so also
    // a HidD_SetFeature, which waits in the same way.
    CancelSynchronousIo(static_cast<HANDLE>(thread));
}

void plat_thread_close(plat_thread thread) {
    CloseHandle(static_cast<HANDLE>(thread));
}

void plat_sleep_ms(uint32_t ms) {
    Sleep(ms);
}

uint64_t plat_now_ms() {
    return GetTickCount64();
}

// --- Standard output and exit ------------------------------------------------

void plat_vprint(const char *format, va_list args) {
    vprintf(format, args);
}

void plat_exit(int status) {
    exit(status);
}
