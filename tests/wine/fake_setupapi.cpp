// Test replacement of setupapi.dll: lists the HID interface paths named in
// the environment (TEVU_SIM_PATHS, separated by ';'), read when a list is
// opened, and checks the arguments the way the real calls do.
#include "sim.h"

// Defines the functions itself rather than importing them.
#define _SETUPAPI_
#include <setupapi.h>

#include <cstddef>
#include <cstring>

namespace {

const GUID hid_guid = {
    0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

struct device_list {
    std::vector<std::string> paths;
};

LONG lists_opened;
LONG lists_destroyed;
DWORD last_flags;

} // namespace

extern "C" {

// Test hook: how many lists were handed out and released, and the last flags.
__declspec(dllexport) void sim_setupapi_stats(LONG *opened, LONG *destroyed, DWORD *flags) {
    *opened = lists_opened;
    *destroyed = lists_destroyed;
    *flags = last_flags;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *guid, PCSTR, HWND, DWORD flags) {
    last_flags = flags;
    char value[8192];
    if (GetEnvironmentVariableA(SIM_ENV_NO_LIST, value, sizeof value) > 0 || guid == nullptr ||
        memcmp(guid, &hid_guid, sizeof hid_guid) != 0 ||
        flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    device_list *list = new device_list;
    DWORD n = GetEnvironmentVariableA(SIM_ENV_PATHS, value, sizeof value);
    if (n > 0 && n < sizeof value) {
        std::string all(value, n);
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(';', start);
            if (end == std::string::npos)
                end = all.size();
            if (end > start)
                list->paths.push_back(all.substr(start, end - start));
            start = end + 1;
        }
    }
    InterlockedIncrement(&lists_opened);
    return list;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO info, PSP_DEVINFO_DATA, const GUID *guid,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    device_list *list = static_cast<device_list *>(info);
    if (list == nullptr || data == nullptr || data->cbSize != sizeof *data || guid == nullptr ||
        memcmp(guid, &hid_guid, sizeof hid_guid) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (index >= list->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = hid_guid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO info, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                             PDWORD required, PSP_DEVINFO_DATA) {
    device_list *list = static_cast<device_list *>(info);
    if (list == nullptr || data == nullptr || data->cbSize != sizeof *data || data->Reserved == 0 ||
        data->Reserved > list->paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string &path = list->paths[data->Reserved - 1];
    DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                    path.size() + 1);
    if (required != nullptr)
        *required = need;
    if (detail == nullptr) {
        SetLastError(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO info) {
    delete static_cast<device_list *>(info);
    InterlockedIncrement(&lists_destroyed);
    return TRUE;
}

} // extern "C"
