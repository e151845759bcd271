// Simulated controller for the wine tests: each HID interface is the server
// end of a message-mode named pipe whose name is the interface path that the
// test setupapi.dll lists. The library opens the client end with CreateFileA,
// so its ReadFile/WriteFile calls are the real ones.
//
// Input interface: the test sends reports (one pipe message each; an 18-byte
// message stands for two reports queued at once). Lighting interface: every
// message the library writes is recorded (output reports 0x04/0x05/0x06 and,
// through the test hid.dll, feature report 0x0B). The test hid.dll also writes
// a queue-depth record (sim_queue_tag) to the input interface.
#ifndef TEVU_WINE_SIM_H
#define TEVU_WINE_SIM_H

#include "report_kit.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> bytes;

// First byte of the record the test hid.dll writes for HidD_SetNumInputBuffers:
// the tag, then the depth as 32-bit little-endian.
#define SIM_QUEUE_TAG 0xF0

// Environment variables read by the test DLLs.
#define SIM_ENV_PATHS "TEVU_SIM_PATHS"             // interface paths, separated by ';'
#define SIM_ENV_NO_LIST "TEVU_SIM_NO_LIST"         // set: no device list can be had
#define SIM_ENV_QUEUE_ERROR "TEVU_SIM_QUEUE_ERROR" // set: queue depth refused with this code

struct sim_interface;

// Creates the pipe (one instance) and a thread that waits for a client and
// records what it writes; when the client leaves it waits for the next one.
// name is the full path, \\.\pipe\... .
sim_interface *sim_open(const std::string &name);
// Unplugs the interface: it leaves the listing (TEVU_SIM_PATHS) and its pipe
// is closed, so the client's pending and later calls fail (broken pipe) and
// opening it fails (file not found). What was recorded is kept.
void sim_unplug(sim_interface *s);
// Plugs it back: the pipe is created again, and listed again (last) when the
// unplug took it out of the listing.
void sim_plug(sim_interface *s);
// Stops taking messages (true) or takes them again (false). Once the pipe's
// small inbound buffer is full, the client's writes block.
void sim_stall(sim_interface *s, bool stalled);
// Waits until the library has opened the interface; false after timeout_ms.
bool sim_wait_connected(sim_interface *s, DWORD timeout_ms);
// Waits until the interface is free for a new client; false after timeout_ms.
bool sim_wait_listening(sim_interface *s, DWORD timeout_ms);
// One message to the client (waiting up to 5 s for it to connect); false when
// it could not be written.
bool sim_send(sim_interface *s, const bytes &message);

// What the client wrote, in order. Lamp reports (0x06) are folded: only the
// first and each changed one are kept in messages; lamp_count counts all.
struct sim_record {
    std::vector<bytes> messages;
    uint64_t lamp_count = 0;
    bytes last_lamp;
};
sim_record sim_snapshot(sim_interface *s);
// Forgets what was recorded so far.
void sim_clear(sim_interface *s);
// The LEDs (host order) that the light reports in r show, from all dark.
inline bytes sim_leds_shown(const sim_record &r) {
    bytes shown(96, 0);
    for (const bytes &m : r.messages)
        kit::apply_led_report(shown.data(), m.data(), m.size());
    return shown;
}
// Looks every every_ms until pred() holds; false when it still does not after
// timeout_ms.
template <class Pred> bool wait_until(DWORD timeout_ms, Pred pred, DWORD every_ms = 5) {
    const DWORD start = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - start > timeout_ms)
            return false;
        Sleep(every_ms);
    }
    return true;
}
// Waits until pred(record) holds; false after timeout_ms.
template <class Pred> bool sim_wait_for(sim_interface *s, DWORD timeout_ms, Pred pred) {
    return wait_until(timeout_ms, [&] { return pred(sim_snapshot(s)); });
}

// The handles this process has open. wine's GetProcessHandleCount answers 0;
// then they are counted by asking for each handle value's flags.
DWORD sim_handle_count();

std::string sim_hex(const bytes &b);
// Presses or releases a key and waits until the async key state shows it.
void sim_key(BYTE vk, bool down);

#endif
