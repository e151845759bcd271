// Test replacement of hid.dll. The interfaces are named pipes of the simulated
// controller, so feature reports are written to the pipe as they are (report
// ID 0x0B tells them apart) and the input queue depth is announced to it with
// a tagged record, unless TEVU_SIM_QUEUE_ERROR asks to refuse it with that
// error code.
#include "sim.h"

#include <cstdlib>

extern "C" {

void WINAPI HidD_GetHidGuid(GUID *guid) {
    *guid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

BOOLEAN WINAPI HidD_SetFeature(HANDLE device, PVOID buffer, ULONG length) {
    DWORD written = 0;
    return WriteFile(device, buffer, length, &written, nullptr) && written == length;
}

BOOLEAN WINAPI HidD_SetNumInputBuffers(HANDLE device, ULONG count) {
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
