// Test replacement of hid.dll. The interfaces are named pipes of the simulated
// controller, so feature reports are written to the pipe as they are (report
// ID 0x0B tells them apart) and the input queue depth is announced to it with
// a tagged record, unless TEVU_SIM_QUEUE_ERROR asks to refuse it with that
// error code.
//
// It also stands in for the HID class driver's checks of report lengths,
// which a pipe does not make. When it is loaded it redirects the kernel32
// imports CreateFileA, ReadFile, WriteFile and CloseHandle of every module
// that imports hid.dll (the library, or the platform probe) to the hooks
// below. A handle opened on a simulated interface path is then held to that
// interface's reports, with the checks and error codes of wine 8.0's
// hidclass.sys (device.c): pdo_read, pdo_write and hid_device_xfer_report.
// Other handles pass through untouched.
#include "sim.h"

#include <psapi.h>

#include <cstdlib>
#include <cstring>

namespace {

// The controller's reports as its report descriptors give them: the length
// of each kind of report of an ID, its ID byte included (0: none of that
// kind). Stated here on their own, not taken from the library, so that a
// library that gets a length wrong is refused.
struct report_lengths {
    uint8_t id;
    uint32_t input, output, feature;
};
struct interface_reports {
    const report_lengths *reports;
    size_t count;
    uint32_t input_length; // the longest input report: the least a read may take
};
const report_lengths input_reports[] = {{0x01, 9, 0, 0}};
const report_lengths lighting_reports[] = {
    {0x04, 0, 49, 0}, {0x05, 0, 49, 0}, {0x06, 0, 49, 0}, {0x0B, 0, 0, 64}};
const interface_reports input_interface = {input_reports, 1, 9};
const interface_reports lighting_interface = {lighting_reports, 4, 0};

// A simulated interface path names interface 1 (the lighting one) with
// "mi_01"; "mi_00", or no interface part (a controller with one interface),
// is the input interface.
const interface_reports *interface_of_path(const char *path) {
    if (path == nullptr || std::strncmp(path, "\\\\.\\pipe\\hid#", 13) != 0)
        return nullptr;
    return std::strstr(path, "mi_01") != nullptr ? &lighting_interface : &input_interface;
}

// The open handles on simulated interfaces.
struct open_interface {
    HANDLE handle;
    const interface_reports *reports;
};
open_interface open_interfaces[64];
SRWLOCK open_lock = SRWLOCK_INIT;

void remember(HANDLE handle, const interface_reports *reports) {
    AcquireSRWLockExclusive(&open_lock);
    for (open_interface &open : open_interfaces)
        if (open.reports == nullptr) {
            open = {handle, reports};
            break;
        }
    ReleaseSRWLockExclusive(&open_lock);
}

void forget(HANDLE handle) {
    AcquireSRWLockExclusive(&open_lock);
    for (open_interface &open : open_interfaces)
        if (open.reports != nullptr && open.handle == handle)
            open = {};
    ReleaseSRWLockExclusive(&open_lock);
}

const interface_reports *reports_of(HANDLE handle) {
    const interface_reports *found = nullptr;
    AcquireSRWLockShared(&open_lock);
    for (const open_interface &open : open_interfaces)
        if (open.reports != nullptr && open.handle == handle)
            found = open.reports;
    ReleaseSRWLockShared(&open_lock);
    return found;
}

enum report_kind { OUTPUT_REPORT, FEATURE_REPORT };

// hid_device_xfer_report's checks of a report handed down: no buffer or an
// empty one is STATUS_INVALID_USER_BUFFER (ERROR_INVALID_USER_BUFFER, 1784);
// an ID without a report of that kind, or a buffer shorter than that report,
// STATUS_INVALID_PARAMETER (ERROR_INVALID_PARAMETER, 87). A longer buffer is
// taken, and only the report's own length goes to the device. Returns that
// length, or 0 with the error set.
DWORD report_length(const interface_reports *reports, const void *buffer, DWORD length,
                    report_kind kind) {
    if (buffer == nullptr || length == 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return 0;
    }
    const uint8_t id = *static_cast<const uint8_t *>(buffer);
    for (size_t i = 0; i < reports->count; ++i) {
        const report_lengths &report = reports->reports[i];
        const DWORD need = kind == OUTPUT_REPORT ? report.output : report.feature;
        if (report.id == id && need != 0 && length >= need)
            return need;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

HANDLE WINAPI hooked_CreateFileA(LPCSTR path, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE template_file) {
    const HANDLE handle =
        CreateFileA(path, access, share, security, disposition, flags, template_file);
    const interface_reports *reports = interface_of_path(path);
    if (handle != INVALID_HANDLE_VALUE && reports != nullptr)
        remember(handle, reports);
    return handle;
}

BOOL WINAPI hooked_CloseHandle(HANDLE handle) {
    forget(handle);
    return CloseHandle(handle);
}

// pdo_read: a buffer shorter than the longest input report is
// STATUS_INVALID_BUFFER_SIZE (ERROR_INVALID_USER_BUFFER, 1784), and the
// queued report stays queued.
BOOL WINAPI hooked_ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read,
                            LPOVERLAPPED overlapped) {
    const interface_reports *reports = reports_of(handle);
    if (reports != nullptr && length < reports->input_length) {
        if (read != nullptr)
            *read = 0;
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    return ReadFile(handle, buffer, length, read, overlapped);
}

// pdo_write: the checks above; then the device gets the report's length, and
// the count the write reports is what the device took less one (the class
// driver takes one byte off for a report with an ID, xfer_completion). The
// library's writes are synchronous.
BOOL WINAPI hooked_WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD written,
                             LPOVERLAPPED overlapped) {
    const interface_reports *reports = reports_of(handle);
    if (reports == nullptr)
        return WriteFile(handle, buffer, length, written, overlapped);
    if (written != nullptr)
        *written = 0;
    const DWORD send = report_length(reports, buffer, length, OUTPUT_REPORT);
    DWORD sent = 0;
    if (send == 0 || !WriteFile(handle, buffer, send, &sent, overlapped))
        return FALSE;
    if (written != nullptr && sent > 0)
        *written = sent - 1;
    return TRUE;
}

// Every module that imports hid.dll calls the hooks instead of kernel32's
// functions.
struct import_hook {
    const char *name;
    uintptr_t hook;
    uintptr_t original;
};
import_hook import_hooks[] = {
    {"CreateFileA", reinterpret_cast<uintptr_t>(&hooked_CreateFileA), 0},
    {"CloseHandle", reinterpret_cast<uintptr_t>(&hooked_CloseHandle), 0},
    {"ReadFile", reinterpret_cast<uintptr_t>(&hooked_ReadFile), 0},
    {"WriteFile", reinterpret_cast<uintptr_t>(&hooked_WriteFile), 0},
};

void hook_imports(HMODULE module) {
    unsigned char *base = reinterpret_cast<unsigned char *>(module);
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    const IMAGE_IMPORT_DESCRIPTOR *first =
        reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + directory.VirtualAddress);
    bool imports_hid = false;
    for (const IMAGE_IMPORT_DESCRIPTOR *d = first; d->Name != 0; ++d)
        imports_hid =
            imports_hid || _stricmp(reinterpret_cast<const char *>(base + d->Name), "hid.dll") == 0;
    if (!imports_hid)
        return;
    for (const IMAGE_IMPORT_DESCRIPTOR *d = first; d->Name != 0; ++d)
        for (IMAGE_THUNK_DATA *t = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
             t->u1.Function != 0; ++t)
            for (const import_hook &h : import_hooks) {
                if (t->u1.Function != h.original)
                    continue;
                DWORD protection = 0;
                VirtualProtect(&t->u1.Function, sizeof t->u1.Function, PAGE_READWRITE, &protection);
                t->u1.Function = h.hook;
                VirtualProtect(&t->u1.Function, sizeof t->u1.Function, protection, &protection);
            }
}

} // namespace

extern "C" {

// The modules loaded with this one have their imports bound by now.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    for (import_hook &h : import_hooks)
        h.original = reinterpret_cast<uintptr_t>(GetProcAddress(kernel32, h.name));
    HMODULE modules[256];
    DWORD size = 0;
    if (K32EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &size))
        for (DWORD i = 0; i < size / sizeof modules[0] && i < 256; ++i)
            hook_imports(modules[i]);
    return TRUE;
}

void WINAPI HidD_GetHidGuid(GUID *guid) {
    *guid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

// IOCTL_HID_SET_FEATURE: the checks of report_length.
BOOLEAN WINAPI HidD_SetFeature(HANDLE device, PVOID buffer, ULONG length) {
    const interface_reports *reports = reports_of(device);
    if (reports != nullptr &&
        (length = report_length(reports, buffer, length, FEATURE_REPORT)) == 0)
        return FALSE;
    DWORD written = 0;
    return WriteFile(device, buffer, length, &written, nullptr) && written == length;
}

// IOCTL_SET_NUM_DEVICE_INPUT_BUFFERS: hid_queue_resize takes 2 to 512 reports,
// else STATUS_INVALID_PARAMETER (ERROR_INVALID_PARAMETER, 87).
BOOLEAN WINAPI HidD_SetNumInputBuffers(HANDLE device, ULONG count) {
    if (count < 2 || count > 512) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char value[32];
    if (GetEnvironmentVariableA(SIM_ENV_QUEUE_ERROR, value, sizeof value) > 0) {
        SetLastError(static_cast<DWORD>(strtoul(value, nullptr, 0)));
        return FALSE;
    }
    const uint8_t record[5] = {SIM_QUEUE_TAG, static_cast<uint8_t>(count),
                               static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count >> 16),
                               static_cast<uint8_t>(count >> 24)};
    DWORD written = 0;
    if (!WriteFile(device, record, sizeof record, &written, nullptr))
        return FALSE; // the handle's own error stays in GetLastError
    return TRUE;
}

} // extern "C"
