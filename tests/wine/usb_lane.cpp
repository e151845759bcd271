// The library against a real USB controller through wine's own HID stack
// (setupapi, hid.dll, hidclass, winebus over hidraw), in the VM of
// tests/vm/wine-lane.sh: the controller is tevu-vctl's USB gadget. Loads
// tevuio.dll as a game does (by name from its folder, relocated, the eight
// functions by name) and drives one whole session in one process, since a
// wine process takes many seconds to start there. It checks what only the
// real HID stack shows (reports in and out byte for byte, their order, loss and
// return, cancelled reads); the library's rules are the unit tests'.
//
// The controller plays the commands this program appends to the file named by
// TEVU_LANE_SCRIPT (one per line, read by tevu-vctl --script -); what it took
// from the host is read back from its --log file (TEVU_LANE_LOG: "O hex" or
// "F hex" per report). Both are Windows paths (Z:\...).
//
// Verdicts on stderr ("PASS x" / "FAIL x: why", "INFO" figures, "DONE n"); the
// bytes the library should print on standard output go to expected_stdout.bin.
#include "host_kit.h"
#include "report_kit.h"
#include "sim.h"
#include "tevuio.h"
#include "verdicts.h"

#include <windows.h>

extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace verdict;

namespace {

// --- The controller -----------------------------------------------------------

std::string script_path, log_path;

void say(const std::string &command) {
    FILE *f = fopen(script_path.c_str(), "ab");
    fprintf(f, "%s\n", command.c_str());
    fclose(f);
}

// One report the controller took, and whether it was a feature report.
struct taken {
    bool feature;
    bytes report;
};

std::vector<taken> controller_log() {
    std::vector<taken> out;
    FILE *f = fopen(log_path.c_str(), "rb");
    if (f == nullptr)
        return out;
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) {
        const size_t n = strlen(line);
        if (n < 4 || line[n - 1] != '\n' || (line[0] != 'O' && line[0] != 'F'))
            continue; // a line still being written
        taken t{line[0] == 'F', {}};
        for (char *p = line + 2; *p != '\0' && *p != '\n';) {
            char *end = nullptr;
            const unsigned long v = strtoul(p, &end, 16);
            if (end == p)
                break;
            t.report.push_back(static_cast<uint8_t>(v));
            p = end;
        }
        out.push_back(t);
    }
    fclose(f);
    return out;
}

// The LEDs shown (host order) after each light report from index first on.
std::vector<bytes> shown_frames(const std::vector<taken> &log, size_t first) {
    std::vector<bytes> out;
    bytes leds(96, 0);
    for (size_t i = 0; i < log.size(); ++i)
        if (kit::apply_led_report(leds.data(), log[i].report.data(), log[i].report.size()) &&
            i >= first)
            out.push_back(leds);
    return out;
}

bytes last_lamps(const std::vector<taken> &log) {
    for (size_t i = log.size(); i-- > 0;)
        if (!log[i].report.empty() && log[i].report[0] == report::lamp_id)
            return log[i].report;
    return {};
}

// The controller's interface paths wine lists now (lower case).
std::vector<std::string> listed() {
    std::vector<std::string> out;
    GUID hid;
    HidD_GetHidGuid(&hid);
    HDEVINFO list =
        SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE)
        return out;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(list, nullptr, &hid, i, &data); ++i) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
            char room[1024];
        } d;
        d.detail.cbSize = sizeof d.detail;
        if (!SetupDiGetDeviceInterfaceDetailA(list, &data, &d.detail, sizeof d, nullptr, nullptr))
            continue;
        std::string path = d.detail.DevicePath;
        for (char &c : path)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (path.find("vid_0f0d") != std::string::npos)
            out.push_back(path);
    }
    SetupDiDestroyDeviceInfoList(list);
    return out;
}

std::string joined(const std::vector<std::string> &paths) {
    std::string out;
    for (const std::string &p : paths)
        out += (out.empty() ? "" : " ") + p;
    return out;
}

// --- What the slider callback saw ------------------------------------------------

volatile LONG calls;
volatile LONG newest_touch; // bit per touched cell of the newest callback

void on_slider(const uint8_t *pressure) {
    uint32_t cells = 0;
    for (int i = 0; i < 32; ++i)
        cells |= pressure[i] == 200 ? (1u << i) : 0u;
    InterlockedExchange(&newest_touch, static_cast<LONG>(cells));
    InterlockedIncrement(&calls);
}

bool touch_seen(LONG cells, DWORD timeout_ms) {
    return wait_until(timeout_ms, [&] { return newest_touch == cells; });
}

// Waits until the newest lamp report the controller took is this one.
bool lamps_become(const bytes &lamps) {
    return wait_until(3000, [&] { return last_lamps(controller_log()) == lamps; });
}

// The frames the host sets, each shown whole before the next: a dark one and a
// lit cell (compressed, feature report 0x0B), 96 distinct bytes (reports 0x04
// and 0x05), then that frame with one LED changed in each half in turn (one
// half report each).
std::vector<bytes> test_frames() {
    bytes dark(96, 0), cell(96, 0), distinct(96);
    cell[3 * 9] = 0x7f;
    cell[3 * 9 + 1] = 0x23;
    for (int i = 0; i < 96; ++i)
        distinct[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 2 + 1);
    bytes first_changed = distinct, last_changed = distinct;
    first_changed[0] = 0xee;
    last_changed[0] = 0xee;
    last_changed[95] = 0xdd;
    return {dark, cell, distinct, first_changed, last_changed, cell};
}

// Each state the controller showed is one of the frames, in the order they
// were set (a state between the two halves of a frame lasts one report).
bool frames_in_order(const std::vector<bytes> &shown, const std::vector<bytes> &frames,
                     std::string *why) {
    size_t at = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        size_t k = at;
        while (k < frames.size() && frames[k] != shown[i])
            ++k;
        if (k < frames.size()) {
            at = k;
            continue;
        }
        const bool between =
            i + 1 < shown.size() && std::find(frames.begin() + static_cast<long>(at), frames.end(),
                                              shown[i + 1]) != frames.end();
        if (!between) {
            *why = "state " + std::to_string(i) + " of " + std::to_string(shown.size()) +
                   " is no frame set at or after frame " + std::to_string(at);
            return false;
        }
    }
    if (shown.empty() || shown.back() != frames.back()) {
        *why = "the last state is not the last frame";
        return false;
    }
    return true;
}

long since(DWORD start) {
    return static_cast<long>(GetTickCount() - start);
}

bool released(const tevuio_api &io) {
    uint8_t op = 0xee, game = 0xee;
    io.poll(&op, &game);
    return op == 0 && game == 0 && newest_touch == 0;
}

void session(const tevuio_api &io) {
    say("rate 125");
    if (!check(io.jvs_init() == 0, "init returns 0"))
        return;
    io.start(on_slider);

    // Touches: the time from the command to the callback, and the pace.
    std::vector<long> latency;
    for (int i = 0; i < 10; ++i) {
        const int cell = (i * 7) % 31;
        DWORD start = GetTickCount();
        say("touch " + std::to_string(cell));
        latency.push_back(touch_seen(static_cast<LONG>(1u << cell), 5000) ? since(start) : -1);
        say("release all");
        touch_seen(0, 5000);
    }
    check(std::count(latency.begin(), latency.end(), -1) == 0,
          "ten touches on the controller reach the callback, each cell at 200");
    info("command to callback through wine's HID stack: " + figures(latency));
    LONG before = calls;
    Sleep(2000);
    info("callbacks per second at 125 reports a second: " + std::to_string((calls - before) / 2));

    // The lamp report, byte for byte: nothing held, every lamp lit.
    check(lamps_become(kit::lamp_report(0xff, 0xff, 0xff, 0xff)),
          "lamp report 0x06: every lamp lit");

    // LEDs by both paths, frame by frame.
    const std::vector<bytes> frames = test_frames();
    const size_t first_report = controller_log().size();
    bool each = true;
    for (const bytes &frame : frames) {
        io.set_leds(frame.data());
        each = each && wait_until(30000, [&] {
                   const std::vector<bytes> shown = shown_frames(controller_log(), 0);
                   return !shown.empty() && shown.back() == frame;
               });
    }
    check(each, "each frame set is shown at the controller");
    std::string why;
    const std::vector<taken> log = controller_log();
    check(frames_in_order(shown_frames(log, first_report), frames, &why),
          "the controller shows only the frames set, in order", why);
    bool feature = false, halves = false;
    for (size_t i = first_report; i < log.size(); ++i) {
        feature = feature || (log[i].feature && log[i].report[0] == report::feature_id);
        halves = halves || (!log[i].feature && log[i].report[0] == report::led_high_id);
    }
    check(feature && halves, "frames went both as feature report 0x0B and as reports 0x04/0x05");

    // Init while the slider runs: it returns at once and the slider goes on.
    for (int i = 0; i < 3; ++i) {
        DWORD start = GetTickCount();
        const bool ok = io.jvs_init() == 0;
        const long took = since(start);
        const LONG at = calls;
        check(ok && wait_until(5000, [&] { return calls > at + 2; }),
              "init " + std::to_string(i + 1) + " while running returns 0 and the slider goes on",
              std::to_string(took) + " ms");
    }

    // Unplug while touched, plug back: released, connected again,
    // touches work and the last frame is shown again.
    const bytes last = frames.back();
    std::vector<long> release_ms, reconnect_ms, lights_ms;
    for (int round = 1; round <= 3; ++round) {
        const std::string n = " (round " + std::to_string(round) + ")";
        say("touch 5");
        check(touch_seen(1L << 5, 5000), "touched before the unplug" + n);
        expect_stdout(lost_line);
        DWORD start = GetTickCount();
        say("unplug");
        const bool gone = wait_until(10000, [&] { return released(io); });
        check(gone, "unplugged: every pressure released" + n);
        release_ms.push_back(gone ? since(start) : -1);
        say("release all");
        Sleep(1000);
        expect_stdout(found_line);
        const size_t plugged_at = controller_log().size();
        start = GetTickCount();
        say("plug");
        say("touch 9");
        const bool back = touch_seen(1L << 9, 60000);
        check(back, "plugged back: a touch is seen without a new init" + n);
        reconnect_ms.push_back(back ? since(start) : -1);
        const bool lit = wait_until(60000, [&] {
            const std::vector<bytes> shown = shown_frames(controller_log(), plugged_at);
            return !shown.empty() && shown.back() == last;
        });
        check(lit, "the last frame is shown again after the return" + n, joined(listed()));
        lights_ms.push_back(lit ? since(start) : -1);
        check(wait_until(5000,
                         [&] {
                             return last_lamps(controller_log()).size() == 49 &&
                                    controller_log().size() > plugged_at + 2;
                         }),
              "lamp reports flow again" + n);
        say("release all");
        touch_seen(0, 5000);
    }
    info("release after the unplug: " + figures(release_ms));
    info("plug to first touch seen: " + figures(reconnect_ms));
    info("plug to the last frame shown again: " + figures(lights_ms));

    // Stop in each state of the controller.
    for (const char *state : {"streaming", "silent", "lost"}) {
        const std::string name = state;
        if (name == "silent") {
            say("silent on");
        } else if (name == "lost") {
            // A touch held while unplugged reads released only once the
            // library has seen the loss.
            say("silent off");
            say("touch 3");
            const bool touched = touch_seen(1L << 3, 10000);
            expect_stdout(lost_line);
            say("unplug");
            check(touched && wait_until(20000, [&] { return released(io); }),
                  "lost before the stops");
            say("release all");
        }
        std::vector<long> took;
        for (int i = 0; i < 3; ++i) {
            Sleep(300);
            const DWORD start = GetTickCount();
            io.stop();
            took.push_back(since(start));
            if (i < 2)
                io.start(on_slider);
        }
        const LONG at = calls;
        Sleep(200);
        check(calls == at, name + ": no callback after stop");
        check(*std::max_element(took.begin(), took.end()) < 30000, name + ": every stop returns");
        info("stop, " + name + ": " + figures(took));
        if (name != "lost")
            io.start(on_slider);
    }
    say("plug");
}

} // namespace

int main() {
    const char *script = getenv("TEVU_LANE_SCRIPT");
    const char *log = getenv("TEVU_LANE_LOG");
    if (script == nullptr || log == nullptr) {
        fprintf(stderr, "FAIL TEVU_LANE_SCRIPT and TEVU_LANE_LOG name the controller's files\n");
        return 2;
    }
    // How long wine took to start this process: the launcher's clock
    // (Unix milliseconds, TEVU_LANE_LAUNCH_MS) against the system time now.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long unix_ms =
        ((static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10000) -
        11644473600000ULL;
    if (const char *launch = getenv("TEVU_LANE_LAUNCH_MS"))
        info("wine started the process in " +
             std::to_string(unix_ms - strtoull(launch, nullptr, 10)) + " ms");
    // The library's lines carry their own "\r\n": no text-mode translation.
    _setmode(_fileno(stdout), _O_BINARY);
    script_path = script;
    log_path = log;
    DeleteFileA("expected_stdout.bin");
    expect_stdout("");
    // wine's bus driver lists the controller some time after the first process starts.
    const DWORD start = GetTickCount();
    const bool both = wait_until(120000, [] { return listed().size() >= 2; });
    info("wine lists the controller " + std::to_string(since(start)) +
         " ms after the start: " + joined(listed()));
    check(both, "wine lists the controller's two interfaces");

    tevuio_api io{};
    HMODULE m = load_like_a_host(&io);
    if (m == nullptr)
        return 1;
    session(io);
    fflush(stdout);
    unload(m);
    fprintf(stderr, "DONE %d\n", failures);
    return failures == 0 ? 0 : 1;
}
