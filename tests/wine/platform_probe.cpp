// Checks of the Windows platform layer itself, run under wine with the test
// setupapi.dll and hid.dll beside it: listing, opening, reads and writes on
// the simulated controller's pipes, cancelling a blocked read, the INI reader,
// the host image, keys, threads and output.
//
// Prints one "PASS name" or "FAIL name: detail" line per check on stderr, then
// "DONE". Standard output carries only what plat_vprint wrote, for the runner
// to compare byte for byte.
#include "platform/platform.h"
#include "report_kit.h"
#include "sim.h"
#include "verdicts.h"

#include <setupapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using verdict::check;
using verdict::failures;

void print(const char *format, ...) {
    va_list args;
    va_start(args, format);
    plat_vprint(format, args);
    va_end(args);
}

std::string pid_suffix() {
    return std::to_string(GetCurrentProcessId());
}

void check_listing() {
    std::string a = "\\\\.\\pipe\\hid#vid_0f0d&pid_0001&mi_01#probe";
    std::string b = "\\\\.\\pipe\\HID#VID_0F0D&PID_0001#" + std::string(870, 'x');
    std::string c = "\\\\.\\pipe\\" + std::string(1020, 'y'); // record over 1024 bytes
    SetEnvironmentVariableA(SIM_ENV_PATHS, (a + ";" + b + ";" + c).c_str());
    plat_list list = plat_hid_list_open();
    check(list != nullptr, "list opens");
    if (list == nullptr)
        return;
    static plat_hid_interface entry;
    memset(&entry, 0x55, sizeof entry);
    check(plat_hid_list_entry(list, 0, &entry) == PLAT_ENTRY_OK && a == entry.path &&
              entry.vendor_id == 0x0f0d && entry.interface_number == 1,
          "entry 0: path, vendor and interface", entry.path);
    check(plat_hid_list_entry(list, 1, &entry) == PLAT_ENTRY_OK && b == entry.path &&
              entry.vendor_id == -1 && entry.interface_number == -1,
          "entry 1: a 900-character path whole; upper-case identifiers name nothing");
    check(plat_hid_list_entry(list, 2, &entry) == PLAT_ENTRY_SKIP,
          "an entry whose record exceeds 1024 bytes is skipped");
    check(plat_hid_list_entry(list, 3, &entry) == PLAT_ENTRY_END,
          "the walk ends after the last entry");
    plat_hid_list_close(list);

    typedef void (*stats_fn)(LONG *, LONG *, DWORD *);
    stats_fn stats = reinterpret_cast<stats_fn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("setupapi.dll"), "sim_setupapi_stats")));
    check(stats != nullptr, "test setupapi.dll is the one loaded");
    if (stats != nullptr) {
        LONG opened = 0, destroyed = 0;
        DWORD flags = 0;
        stats(&opened, &destroyed, &flags);
        check(flags == 0x12, "list asked for present device interfaces (0x12)",
              std::to_string(flags));
        check(opened == 1 && destroyed == 1, "list released");
    }

    SetEnvironmentVariableA(SIM_ENV_PATHS, "");
    list = plat_hid_list_open();
    check(list != nullptr && plat_hid_list_entry(list, 0, &entry) == PLAT_ENTRY_END,
          "empty list walks nothing");
    if (list != nullptr)
        plat_hid_list_close(list);

    SetEnvironmentVariableA(SIM_ENV_NO_LIST, "1");
    check(plat_hid_list_open() == nullptr, "no list gives nullptr");
    SetEnvironmentVariableA(SIM_ENV_NO_LIST, nullptr);
}

// One read, with the result and count as a string ("data 9", "cancelled 0").
std::string read_once(plat_file file, uint8_t *buffer, uint32_t room) {
    uint32_t count = 99;
    const plat_io_result r = plat_hid_read(file, buffer, room, &count);
    const char *name = r == PLAT_IO_DONE        ? "data "
                       : r == PLAT_IO_CANCELLED ? "cancelled "
                       : r == PLAT_IO_GONE      ? "gone "
                                                : "? ";
    return name + std::to_string(count);
}

struct io_job {
    plat_file file;
    uint8_t buffer[64];
    std::string result;
    volatile LONG writes; // writes that went through
    volatile LONG done;
};

unsigned blocked_reader(void *arg) {
    io_job *job = static_cast<io_job *>(arg);
    job->result = read_once(job->file, job->buffer, 18);
    InterlockedExchange(&job->done, 1);
    return 7;
}

// Writes lamp reports until a write does not go through.
unsigned blocked_writer(void *arg) {
    io_job *job = static_cast<io_job *>(arg);
    const uint8_t report[49] = {0x06, 1, 2, 3, 4};
    plat_io_result result;
    while ((result = plat_hid_send(job->file, PLAT_REPORT_OUTPUT, report, sizeof report)) ==
           PLAT_IO_DONE)
        InterlockedIncrement(&job->writes);
    job->result = result == PLAT_IO_CANCELLED ? "cancelled" : std::to_string(result);
    InterlockedExchange(&job->done, 1);
    return 0;
}

// Starts fn on job, lets it block, cancels it; true when it ended at once
// (within the generous bound of a hang detector).
bool cancel_blocked(plat_thread_fn fn, io_job *job, const char *what) {
    job->done = 0;
    plat_thread thread = plat_thread_start(fn, job);
    if (thread == nullptr)
        return false;
    LONG writes = -1;
    for (int i = 0; i < 50 && job->writes != writes; ++i) { // until the writes stop
        writes = job->writes;
        Sleep(100);
    }
    check(job->done == 0, (std::string(what) + " waits").c_str(), "it returned");
    // On a loaded machine the thread may not have entered its call yet, and a
    // cancel affects only a call already waiting: cancel again, at most 10 times.
    DWORD start = GetTickCount();
    int cancels = 0;
    bool ended = false;
    while (!ended && cancels < 10) {
        plat_hid_cancel(job->file);
        ended = plat_thread_wait(thread, 500);
        ++cancels;
    }
    fprintf(stderr, "INFO %s: cancelled after %ld writes, returned after %lu ms, %d cancel(s)\n",
            what, job->writes, GetTickCount() - start, cancels);
    plat_thread_close(thread);
    return ended && job->done == 1;
}

// The report lengths the HID class driver holds the calls to, with its error
// codes (1784: no room for the input report, or an empty report; 87: an ID
// without a report of that kind on the interface, a report shorter than its
// own length, or a queue depth outside 2-512). A longer report is cut to its
// own length. input: the call goes to interface 0.
void check_lengths(plat_file input, sim_interface *input_sim, plat_file lights,
                   sim_interface *light) {
    struct length_case {
        const char *what;
        bool input, feature;
        uint8_t id;
        uint32_t length;
        unsigned long error;
    } cases[] = {
        {"output report of 48 bytes: error 87", false, false, 0x04, 48, 87},
        {"empty output report: error 1784", false, false, 0x04, 0, 1784},
        {"output report with the feature's ID: error 87", false, false, 0x0B, 49, 87},
        {"output report on interface 0: error 87", true, false, 0x04, 49, 87},
        {"output report of 50 bytes: 49 of them sent", false, false, 0x04, 50, 0},
        {"feature report of 63 bytes: error 87", false, true, 0x0B, 63, 87},
        {"feature report with an output ID: error 87", false, true, 0x04, 64, 87},
        {"feature report of 65 bytes: 64 of them sent", false, true, 0x0B, 65, 0},
    };
    for (const length_case &c : cases) {
        uint8_t report[65] = {c.id, 1, 2, 3};
        plat_file file = c.input ? input : lights;
        const plat_io_result r = c.feature
                                     ? plat_hid_send(file, PLAT_REPORT_FEATURE, report, c.length)
                                     : plat_hid_send(file, PLAT_REPORT_OUTPUT, report, c.length);
        const unsigned long error = plat_last_error();
        const bytes sent(report, report + (c.feature ? 64 : 49));
        const bool ok =
            c.error != 0 ? r == PLAT_IO_FAILED && error == c.error
                         : r == PLAT_IO_DONE && sim_wait_for(light, 5000, [&](const sim_record &m) {
                               return !m.messages.empty() && m.messages.back() == sent;
                           });
        check(ok, c.what, std::to_string(r) + ", error " + std::to_string(error));
    }
    uint8_t buffer[9];
    sim_send(input_sim, kit::input_report(0x0001, 0x80808080));
    std::string got = read_once(input, buffer, 8);
    check(got == "gone 0" && plat_last_error() == ERROR_INVALID_USER_BUFFER,
          "a read into 8 bytes: error 1784", got + ", error " + std::to_string(plat_last_error()));
    got = read_once(input, buffer, 9);
    check(got == "data 9", "the report waits for a read of 9 bytes", got);
    const uint32_t depths[] = {1, 513};
    for (uint32_t depth : depths)
        check(!plat_hid_set_input_queue(input, depth) && plat_last_error() == 87,
              ("queue depth " + std::to_string(depth) + ": error 87").c_str());
}

void check_io() {
    std::string missing = "\\\\.\\pipe\\hid#vid_0f0d&mi_00#absent" + pid_suffix();
    plat_file bad = plat_hid_open(missing.c_str());
    check(bad == PLAT_INVALID_FILE, "opening a missing interface gives the invalid value");
    check(plat_last_error() == ERROR_FILE_NOT_FOUND, "its last error is 2",
          std::to_string(plat_last_error()));

    std::string name = "\\\\.\\pipe\\hid#vid_0f0d&pid_0001&mi_00#probe" + pid_suffix();
    sim_interface *sim = sim_open(name);
    plat_file file = plat_hid_open(name.c_str());
    check(file != PLAT_INVALID_FILE && file != nullptr, "opening a listed interface",
          std::to_string(plat_last_error()));
    check(sim_wait_connected(sim, 5000), "controller sees the open");
    std::string light_name = "\\\\.\\pipe\\hid#vid_0f0d&pid_0001&mi_01#probe" + pid_suffix();
    sim_interface *light = sim_open(light_name);
    plat_file lights = plat_hid_open(light_name.c_str());
    check(lights != PLAT_INVALID_FILE && sim_wait_connected(light, 5000), "opening interface 1");

    // A second open of a one-instance pipe is refused while the first holds it.
    plat_file busy = plat_hid_open(name.c_str());
    check(busy == PLAT_INVALID_FILE && plat_last_error() == ERROR_PIPE_BUSY,
          "a busy interface fails with error 231", std::to_string(plat_last_error()));

    uint8_t buffer[18];
    bytes one = kit::input_report(0x1234, 0x80808081);
    sim_send(sim, one);
    std::string got = read_once(file, buffer, sizeof buffer);
    check(got == "data 9" && bytes(buffer, buffer + 9) == one, "a read returns one queued report",
          got);
    bytes two = kit::input_report(0x0001, 0x80808080);
    bytes newer = kit::input_report(0x0002, 0x00808080);
    two.insert(two.end(), newer.begin(), newer.end());
    sim_send(sim, two);
    got = read_once(file, buffer, sizeof buffer);
    check(got == "data 18" && bytes(buffer, buffer + 18) == two,
          "a read returns two queued reports", got);
    // A message longer than the room is dropped whole, not cut. (A pipe's
    // client reads in byte mode unless told otherwise; a HID interface keeps
    // its reports whole, as message mode does.)
    DWORD mode = PIPE_READMODE_MESSAGE;
    check(SetNamedPipeHandleState(static_cast<HANDLE>(file), &mode, nullptr, nullptr),
          "message read mode");
    sim_send(sim, bytes(100, 0x01));
    sim_send(sim, one);
    got = read_once(file, buffer, sizeof buffer);
    check(got == "data 0", "a 100-byte message in 18 bytes of room is dropped", got);
    got = read_once(file, buffer, sizeof buffer);
    check(got == "data 9" && bytes(buffer, buffer + 9) == one, "the report after it is whole", got);

    uint8_t report[49] = {0x06, 0xff, 0x00, 0xff, 0x00};
    check(plat_hid_send(lights, PLAT_REPORT_OUTPUT, report, sizeof report) == PLAT_IO_DONE,
          "an output report is written");
    uint8_t feature[64] = {0x0b, 9, 1, 2, 3};
    check(plat_hid_send(lights, PLAT_REPORT_FEATURE, feature, sizeof feature) == PLAT_IO_DONE,
          "a feature report is sent");
    check(plat_hid_set_input_queue(file, 2), "queue depth accepted");
    bool seen =
        sim_wait_for(light, 5000, [](const sim_record &r) { return r.messages.size() >= 2; });
    sim_record rec = sim_snapshot(light);
    check(seen && rec.lamp_count == 1 && rec.messages[0] == bytes(report, report + 49) &&
              rec.messages[1] == bytes(feature, feature + 64),
          "controller receives the 49-byte output and the 64-byte feature report");
    seen = sim_wait_for(sim, 5000, [](const sim_record &r) { return r.messages.size() >= 1; });
    rec = sim_snapshot(sim);
    check(seen && rec.messages[0] == bytes{SIM_QUEUE_TAG, 2, 0, 0, 0},
          "controller is told a queue depth of 2");
    check_lengths(file, sim, lights, light);
    SetEnvironmentVariableA(SIM_ENV_QUEUE_ERROR, "0x1f");
    check(!plat_hid_set_input_queue(file, 2) && plat_last_error() == 31,
          "a refused queue depth keeps its error code", std::to_string(plat_last_error()));
    SetEnvironmentVariableA(SIM_ENV_QUEUE_ERROR, nullptr);

    got = read_once(nullptr, buffer, sizeof buffer);
    check(got == "gone 0", "a read on a null handle: gone", got);
    got = read_once(PLAT_INVALID_FILE, buffer, sizeof buffer);
    check(got == "gone 0", "a read on the invalid handle: gone", got);
    check(plat_hid_send(nullptr, PLAT_REPORT_OUTPUT, report, sizeof report) == PLAT_IO_GONE,
          "a write on a null handle: gone");

    // A read blocked on a silent controller, then cancelled from another thread.
    static io_job job;
    job.file = file;
    check(cancel_blocked(blocked_reader, &job, "blocked read") && job.result == "cancelled 0",
          "cancelling a blocked read: cancelled, and the thread ends", job.result);

    // A read entered after the cancel is not affected: it still gets the report.
    sim_send(sim, one);
    got = read_once(file, buffer, sizeof buffer);
    check(got == "data 9" && bytes(buffer, buffer + 9) == one, "the next read works normally", got);

    // A controller that takes no more reports: writes block until cancelled.
    sim_stall(light, true);
    job.file = lights;
    job.writes = 0;
    check(cancel_blocked(blocked_writer, &job, "blocked write") && job.writes > 0 &&
              job.result == "cancelled",
          "cancelling a blocked write: cancelled, and the thread ends", job.result);
    sim_stall(light, false);
    check(plat_hid_send(lights, PLAT_REPORT_OUTPUT, report, sizeof report) == PLAT_IO_DONE,
          "a write after the cancel is taken");
    job.file = file;

    // Unplugged: a read that waits, and every read after it, say gone.
    job.done = 0;
    plat_thread reader = plat_thread_start(blocked_reader, &job);
    Sleep(200);
    sim_unplug(sim);
    bool ended = plat_thread_wait(reader, 5000);
    plat_thread_close(reader);
    check(ended && job.result == "gone 0", "unplugging ends a waiting read: gone", job.result);
    got = read_once(file, buffer, sizeof buffer);
    check(got == "gone 0", "a read after the unplug: gone", got);
    sim_unplug(light);
    check(plat_hid_send(lights, PLAT_REPORT_OUTPUT, report, sizeof report) == PLAT_IO_GONE,
          "a write after the unplug: gone");
    plat_hid_close(lights);
    check(plat_hid_open(name.c_str()) == PLAT_INVALID_FILE &&
              plat_last_error() == ERROR_FILE_NOT_FOUND,
          "an unplugged interface cannot be opened", std::to_string(plat_last_error()));
    const DWORD handles_open = sim_handle_count();
    plat_hid_close(file);
    const DWORD handles_closed = sim_handle_count();
    check(handles_closed == handles_open - 1, "closing the interface frees its handle",
          std::to_string(handles_open) + " -> " + std::to_string(handles_closed));

    // Plugged back: the interface opens and reads again.
    sim_plug(sim);
    file = plat_hid_open(name.c_str());
    check(file != PLAT_INVALID_FILE && sim_wait_connected(sim, 5000), "reopened after a plug");
    sim_send(sim, one);
    got = read_once(file, buffer, sizeof buffer);
    check(got == "data 9", "a read after the plug", got);
    plat_hid_close(file);
}

volatile LONG last_arg;

unsigned keep_arg(void *arg) {
    InterlockedExchange(&last_arg, static_cast<LONG>(reinterpret_cast<uintptr_t>(arg)));
    return 0;
}

unsigned wait_for_flag(void *arg) {
    volatile LONG *flag = static_cast<volatile LONG *>(arg);
    while (*flag == 0)
        Sleep(1);
    return 0;
}

struct wait_job {
    uint32_t ms;
    DWORD sleep_first_ms; // before the wait, so that a wake comes first
    volatile LONG done;
};

unsigned waiter(void *arg) {
    wait_job *job = static_cast<wait_job *>(arg);
    Sleep(job->sleep_first_ms);
    plat_wait(nullptr, job->ms);
    InterlockedExchange(&job->done, 1);
    return 0;
}

// A wait ended by a wake, whether the wake comes during the wait or before it.
bool woken(DWORD sleep_first_ms) {
    static wait_job job;
    job = wait_job{plat_wait_forever, sleep_first_ms, 0};
    plat_thread t = plat_thread_start(waiter, &job);
    if (sleep_first_ms == 0)
        Sleep(100);
    plat_thread_wake(t);
    const bool ended = plat_thread_wait(t, 5000);
    if (!ended) {
        plat_thread_wake(t);
        plat_thread_wait(t, 5000);
    }
    plat_thread_close(t);
    return ended && job.done == 1;
}

} // namespace

namespace win32_pacing {
void open(plat_pacer *pacer, bool allow_timer, bool allow_resolution);
}

namespace {

// Average length of a 1 ms wait with a pacer, in ms.
double one_ms_waits(const plat_pacer *pacer) {
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    for (int i = 0; i < 100; ++i)
        plat_wait(pacer, 1);
    QueryPerformanceCounter(&after);
    return 1000.0 * static_cast<double>(after.QuadPart - before.QuadPart) /
           static_cast<double>(frequency.QuadPart) / 100.0;
}

// Which fine wait the pacer takes, and its fallbacks when the kinds before
// them are not to be had. The lengths are figures for the log: a 1 ms sleep
// lasts about 1 ms under wine whatever the pacing, unlike on stock Windows.
void check_pacing() {
    const char *names[] = {"plain", "raised resolution", "high-resolution timer"};
    plat_pacer pacer;
    plat_pacer_open(&pacer);
    check(pacer.pacing == PLAT_PACING_TIMER || pacer.pacing == PLAT_PACING_RESOLUTION,
          "the pacer takes a fine wait", names[pacer.pacing]);
    fprintf(stderr, "INFO pacer: %s, a 1 ms wait lasts %.2f ms\n", names[pacer.pacing],
            one_ms_waits(&pacer));
    plat_pacer_close(&pacer);
    check(pacer.pacing == PLAT_PACING_PLAIN && pacer.timer == nullptr, "a closed pacer is plain");
    win32_pacing::open(&pacer, false, true);
    check(pacer.pacing == PLAT_PACING_RESOLUTION, "without the timer: the raised resolution",
          names[pacer.pacing]);
    fprintf(stderr, "INFO raised resolution: a 1 ms wait lasts %.2f ms\n", one_ms_waits(&pacer));
    plat_pacer_close(&pacer);
    win32_pacing::open(&pacer, false, false);
    check(pacer.pacing == PLAT_PACING_PLAIN, "without either: plain waits", names[pacer.pacing]);
    fprintf(stderr, "INFO plain: a 1 ms wait lasts %.2f ms\n", one_ms_waits(&pacer));
    plat_pacer_close(&pacer);
}

void check_threads() {
    check(woken(0), "a wake ends a wait without limit");
    check(woken(200), "a wake sent before the wait is not lost");
    check_pacing();
    bool all = true;
    for (uintptr_t i = 1; i <= 40; ++i) {
        InterlockedExchange(&last_arg, 0);
        plat_thread t = plat_thread_start(keep_arg, reinterpret_cast<void *>(i));
        if (t == nullptr || !plat_thread_wait(t, 5000) || static_cast<uintptr_t>(last_arg) != i)
            all = false;
        if (t != nullptr)
            plat_thread_close(t);
    }
    check(all, "40 threads in turn get their routine and argument");
    static volatile LONG flag = 0;
    plat_thread t = plat_thread_start(wait_for_flag, const_cast<LONG *>(&flag));
    check(t != nullptr && !plat_thread_wait(t, 50), "waiting on a running thread times out");
    InterlockedExchange(&flag, 1);
    check(plat_thread_wait(t, 5000), "waiting on an ending thread returns true");
    plat_thread_close(t);
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    plat_sleep_ms(100);
    QueryPerformanceCounter(&after);
    const double ms = 1000.0 * static_cast<double>(after.QuadPart - before.QuadPart) /
                      static_cast<double>(frequency.QuadPart);
    check(ms >= 95.0, "sleep waits at least its time", std::to_string(ms) + " ms");
    const uint64_t now = plat_now_ms();
    plat_sleep_ms(50);
    const uint64_t later = plat_now_ms();
    check(later >= now + 45 && later < now + 5000, "the clock advances with a sleep",
          std::to_string(later - now) + " ms");
}

void check_ini() {
    FILE *f = fopen("probe.ini", "wb");
    fputs("[tevuio]\r\nhid_offset = 4096\r\n[io3]\r\ntest = 0x41\r\ncoin=321\r\n"
          "service = banana\r\n",
          f);
    fclose(f);
    check(plat_ini_uint("tevuio", "hid_offset", 0, ".\\probe.ini") == 4096, "ini decimal");
    check(plat_ini_uint("io3", "test", 0x31, ".\\probe.ini") == 0x41, "ini hexadecimal");
    check(plat_ini_uint("io3", "coin", 0x33, ".\\probe.ini") == 321, "ini above 255 kept whole");
    check(plat_ini_uint("io3", "service", 0x32, ".\\probe.ini") == 0, "ini non-number reads as 0");
    check(plat_ini_uint("io3", "absent", 0x32, ".\\probe.ini") == 0x32, "ini missing key");
    check(plat_ini_uint("slider", "cell1", 0x51, ".\\probe.ini") == 0x51, "ini missing section");
    check(plat_ini_uint("io3", "test", 0x31, ".\\no-such-file.ini") == 0x31, "ini missing file");
    DeleteFileA("probe.ini");
}

uint8_t image_byte = 0x48;

void check_image() {
    uint64_t base = plat_host_image_base();
    uint64_t size = 0;
    check(plat_host_byte_readable(0, &size), "the image's first byte is readable");
    check(base == reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)) && base != 0,
          "image base is the main program's");
    uint64_t at = reinterpret_cast<uintptr_t>(&image_byte);
    check(size > 0 && at > base && at < base + size, "a global byte lies inside the image");
    check(size % 0x1000 == 0, "image size is whole pages");
    check(!plat_host_byte_readable(size, &size), "the byte after the image is not");
}

void check_keys() {
    // The simulated press reaches the async key state with a small delay.
    keybd_event('K', 0, 0, 0);
    DWORD start = GetTickCount();
    bool down = false;
    while (!down && GetTickCount() - start < 2000) {
        down = plat_key_down('K');
        Sleep(5);
    }
    keybd_event('K', 0, KEYEVENTF_KEYUP, 0);
    bool up = false;
    start = GetTickCount();
    while (!up && GetTickCount() - start < 2000) {
        up = !plat_key_down('K');
        Sleep(5);
    }
    check(down && up, "a simulated key press is seen down, then up");
    check(!plat_key_down('J'), "an untouched key reads up");
}

} // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);
    check_listing();
    check_io();
    check_threads();
    check_ini();
    check_image();
    check_keys();
    print("line %lu err = %lx\r\n", 231ul, 231ul);
    print("%s", "no newline translation\n");
    fprintf(stderr, "DONE %d failed\n", failures);
    return failures == 0 ? 0 : 2;
}
