// The library (the 64-bit twin of tevuio.dll) driven through its exports under
// wine, against the simulated controller. One scenario per process, named by
// the first argument, run in a directory of its own.
//
// Verdicts go to stderr as "PASS name" / "FAIL name: detail", ending with
// "DONE" when the scenario ran to its end. Standard output carries only what
// the library printed; before anything that may print, the scenario appends
// the bytes it expects to expected_stdout.bin, which the runner compares with
// the real output (also for the scenarios that end in the library's exit).
#include "report_kit.h"
#include "sim.h"
#include "tevuio.h"
#include "verdicts.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

using namespace verdict;

namespace {

std::string pipe_path(const std::string &middle, const std::string &tag) {
    return "\\\\.\\pipe\\hid#" + middle + "#" + tag + std::to_string(GetCurrentProcessId());
}

void list_paths(const std::string &paths) {
    SetEnvironmentVariableA(SIM_ENV_PATHS, paths.c_str());
}

// --- What the slider callback saw ------------------------------------------

CRITICAL_SECTION seen_lock;
std::vector<bytes> seen_pressures; // guarded by seen_lock
volatile LONG callback_calls;
volatile LONG callback_thread;

void record_pressure(const uint8_t *pressure) {
    InterlockedExchange(&callback_thread, static_cast<LONG>(GetCurrentThreadId()));
    EnterCriticalSection(&seen_lock);
    seen_pressures.push_back(bytes(pressure, pressure + 32));
    LeaveCriticalSection(&seen_lock);
    InterlockedIncrement(&callback_calls);
}

std::vector<bytes> pressures() {
    EnterCriticalSection(&seen_lock);
    std::vector<bytes> copy = seen_pressures;
    LeaveCriticalSection(&seen_lock);
    return copy;
}

bool wait_calls(LONG at_least, DWORD timeout_ms) {
    return wait_until(
        timeout_ms, [&] { return callback_calls >= at_least; }, 2);
}

bytes pressure_with(std::initializer_list<std::pair<int, uint8_t>> cells) {
    bytes p(32, 0);
    for (auto &c : cells)
        p[static_cast<size_t>(c.first)] = c.second;
    return p;
}

// Sends one message and waits until the callback has run for it.
bool feed(sim_interface *input, const bytes &message) {
    LONG before = callback_calls;
    return sim_send(input, message) && wait_calls(before + 1, 5000);
}

// --- Light reports ---------------------------------------------------------

// The light reports (0x04, 0x05, 0x0B) the controller received, in order.
std::vector<bytes> light_reports(const sim_record &r) {
    std::vector<bytes> out;
    for (const bytes &m : r.messages)
        if (!m.empty() && m[0] != 0x06)
            out.push_back(m);
    return out;
}

bool wait_lamp(sim_interface *lighting, const bytes &expected) {
    return sim_wait_for(lighting, 5000,
                        [&](const sim_record &r) { return r.last_lamp == expected; });
}

size_t wait_lights(sim_interface *lighting, size_t count) {
    sim_wait_for(lighting, 5000,
                 [&](const sim_record &r) { return light_reports(r).size() >= count; });
    return light_reports(sim_snapshot(lighting)).size();
}

// A frame of 96 different bytes: it goes out as reports 0x04 and 0x05.
void uncompressible_frame(uint8_t *frame) {
    for (int i = 0; i < 96; ++i)
        frame[i] = static_cast<uint8_t>(i * 2 + 1);
}

// --- Scenarios -------------------------------------------------------------

// The init that gives up: it prints its line and ends the process with code 1,
// which the runner checks; name is the check that fails should it return.
void init_ends_process(const std::string &name) {
    fflush(stdout);
    expect_stdout("Could not init device after multiple attempts. Exiting.\r\n");
    fprintf(stderr, "EXPECT-EXIT 1\n");
    fflush(stderr);
    tevu_io_jvs_init();
    check(false, name, "it returned");
}

// A controller with both interfaces, listed (paths: both, for listing it again).
struct controller {
    sim_interface *input;
    sim_interface *lighting;
    std::string in_path;
    std::string light_path;
    std::string paths;
};

controller open_controller(const std::string &tag) {
    const std::string in_path = pipe_path("vid_0f0d&pid_0092&mi_00", "in" + tag);
    const std::string light_path = pipe_path("vid_0f0d&pid_0092&mi_01", "light" + tag);
    list_paths(in_path + ";" + light_path);
    return controller{sim_open(in_path), sim_open(light_path), in_path, light_path,
                      in_path + ";" + light_path};
}

// A controller with both interfaces, listed, and an init that finds it
// without a word.
controller init_controller() {
    const controller c = open_controller("");
    expect_stdout("");
    check(tevu_io_jvs_init() == 0, "init");
    return c;
}

// Stops the slider; the time it took, in ms.
DWORD timed_stop() {
    const DWORD start = GetTickCount();
    tevu_io_slider_stop();
    return GetTickCount() - start;
}

// No controller: two counted searches per init, the third ends the process.
void scenario_no_controller(bool with_list) {
    list_paths(pipe_path("vid_045e&pid_0001&mi_00", "other"));
    if (!with_list)
        SetEnvironmentVariableA(SIM_ENV_NO_LIST, "1");
    expect_stdout("");
    check(tevu_io_jvs_init() == -1, "init without a controller returns -1");
    init_ends_process("second init ends the process");
}

// The normal controller: interface 0 for input, interface 1 for lights. The
// mappings, the choice of report for a frame, restarts and the reports a
// change sends are the library's own, tested without a platform; here one
// report of each kind goes through Windows' calls, in and out.
void scenario_two_interfaces() {
    const controller c = open_controller("");
    sim_interface *input = c.input, *lighting = c.lighting;
    // Lighting listed first: the search goes by interface, not by order.
    list_paths(c.light_path + ";" + c.in_path);
    expect_stdout("");
    check(tevu_io_jvs_init() == 0, "init finds both interfaces");
    check(sim_wait_connected(input, 5000) && sim_wait_connected(lighting, 5000),
          "both interfaces opened");
    bool told = sim_wait_for(input, 5000, [](const sim_record &r) { return !r.messages.empty(); });
    check(told && sim_snapshot(input).messages[0] == bytes{SIM_QUEUE_TAG, 2, 0, 0, 0},
          "input queue depth set to 2");

    tevu_io_slider_start(record_pressure);
    check(wait_lamp(lighting, kit::lamp_report(0xff, 0xff, 0xff, 0xff)),
          "lamp report 0x06 written");
    check(feed(input, kit::input_report(0x1000, kit::slider_touching({5}))), "touch report");
    check(pressures().back() == pressure_with({{5, 200}}), "touch on cell 5 gives 200 there",
          sim_hex(pressures().back()));
    check(static_cast<DWORD>(callback_thread) != GetCurrentThreadId(),
          "callback runs on the slider thread");

    // An all-black frame goes as feature report 0x0B, 96 different bytes as
    // output reports 0x04 and 0x05.
    sim_clear(lighting);
    uint8_t frame[96] = {};
    tevu_io_slider_set_leds(frame);
    check(wait_lights(lighting, 1) == 1, "black frame sent once");
    std::vector<bytes> lights = light_reports(sim_snapshot(lighting));
    const bytes head{0x0b, 9, 0x01, 0x00, 0x00, 0xe0, 0x53, 0x00, 0x01, 0x00, 0x00};
    check(lights.size() == 1 && lights[0].size() == 64 &&
              bytes(lights[0].begin(), lights[0].begin() + 11) == head,
          "black frame is feature report 0x0B with its 9-byte block",
          lights.empty() ? "" : sim_hex(lights[0]));
    sim_clear(lighting);
    uncompressible_frame(frame);
    tevu_io_slider_set_leds(frame);
    check(wait_lights(lighting, 2) == 2, "uncompressible frame sent as two reports");
    const bytes low = kit::half_report(frame, false), high = kit::half_report(frame, true);
    lights = light_reports(sim_snapshot(lighting));
    check(lights.size() == 2 && lights[0] == low && lights[1] == high,
          "reports 0x04 and 0x05 carry host LED 31 first",
          lights.size() == 2 ? sim_hex(lights[0]) + " " + sim_hex(lights[1]) : "");

    // Stop with a silent controller: the blocked read is cancelled.
    const DWORD took = timed_stop();
    check(took < 5000, "stop returns with a silent controller", std::to_string(took) + " ms");
    // Lamp reports still in the pipe drain first; then nothing more comes.
    Sleep(300);
    uint64_t lamps = sim_snapshot(lighting).lamp_count;
    Sleep(300);
    check(sim_snapshot(lighting).lamp_count == lamps, "lighting thread stopped");
}

// A listed interface that cannot be opened: the error the library prints is
// the one Windows gave its open (the pipe is busy: 0xE7), for the search of
// interface 0 and the one of any interface.
void scenario_open_fails() {
    std::string path = pipe_path("vid_0f0d&pid_0001&mi_00", "busy");
    sim_interface *sim = sim_open(path);
    // Hold the only instance of the pipe, so the library's open finds it busy.
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    check(holder != INVALID_HANDLE_VALUE && sim_wait_connected(sim, 5000), "pipe held");
    list_paths(path);
    const std::string busy = "Could not open detected device (err = e7).\r\n";
    expect_stdout(busy + busy);
    check(tevu_io_jvs_init() == -1, "init fails on a busy interface");
}

// The stand-in hid.dll refuses the queue depth: the library prints the
// code Windows gave it.
void scenario_queue_refused() {
    open_controller("");
    SetEnvironmentVariableA(SIM_ENV_QUEUE_ERROR, "87");
    expect_stdout("Error 87 setnuminputbuff\r\n");
    check(tevu_io_jvs_init() == -1, "init fails when the queue depth is refused");
}

// The host's lamp-state byte, found through hid_offset in morvantel.ini.
volatile uint8_t lamp_state_byte;

void write_ini(unsigned long long offset) {
    FILE *f = fopen("morvantel.ini", "wb");
    fprintf(f, "[tevuio]\r\nhid_offset = %llu\r\n", offset);
    fclose(f);
}

void scenario_lamp_offset() {
    sim_interface *lighting = open_controller("").lighting;
    const uintptr_t base = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
    write_ini(reinterpret_cast<uintptr_t>(&lamp_state_byte) - base);
    lamp_state_byte = 0x48;
    expect_stdout("");
    check(tevu_io_jvs_init() == 0, "init with hid_offset");
    tevu_io_slider_start(record_pressure);
    check(wait_lamp(lighting, kit::lamp_report(0xff, 0xff, 0x00, 0x00)),
          "byte 0x48 lights lamps 0 and 1");
    tevu_io_slider_stop();

    // An offset beyond the program's image: reported with the image's size.
    IMAGE_NT_HEADERS *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(
        base + static_cast<uintptr_t>(reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew));
    char line[200];
    snprintf(line, sizeof line,
             "hid_offset 0x%lx lies outside the host image (0x%lx bytes); lamps follow the "
             "controller's buttons.\r\n",
             0x7fff0000ul, static_cast<unsigned long>(nt->OptionalHeader.SizeOfImage));
    write_ini(0x7fff0000);
    open_controller("2");
    expect_stdout(line);
    check(tevu_io_jvs_init() == 0, "init with an offset outside the image");
    DeleteFileA("morvantel.ini");
}

// Waits until poll gives the expected bytes (a simulated key reaches the
// async key state a little later).
bool poll_becomes(uint8_t want_op, uint8_t want_game) {
    uint8_t op = 0xee, game = 0xee;
    const bool became = wait_until(
        3000,
        [&] {
            tevu_io_jvs_poll(&op, &game);
            return op == want_op && game == want_game;
        },
        10);
    if (!became)
        fprintf(stderr, "INFO poll gave %02x %02x\n", op, game);
    return became;
}

// A key bound to poll's bytes.
struct key_case {
    BYTE vk;
    uint8_t op, game;
    const char *name;
};

uint16_t coins() {
    uint16_t count = 0xeeee;
    tevu_io_jvs_read_coin_counter(&count);
    return count;
}

// The bindings as the real keyboard state shows them, each key pressed alone:
// poll gives the bytes of each of keys, the coin key counts one coin, and slider
// key 8 gives 20 at cells 28 to 31 while the slider runs. The slider thread
// samples its keys before it waits for a report, so the report that answers a
// pass already waiting may carry the keys from before a change; the one after
// it cannot.
void check_bindings(sim_interface *input, std::initializer_list<key_case> keys, BYTE coin,
                    BYTE cell8) {
    check(poll_becomes(0, 0), "no key down");
    for (const key_case &k : keys) {
        sim_key(k.vk, true);
        check(poll_becomes(k.op, k.game), k.name);
        sim_key(k.vk, false);
    }
    const uint16_t before = coins();
    sim_key(coin, true);
    check(coins() == before + 1, "the coin key counts one coin");
    sim_key(coin, false);
    tevu_io_slider_start(record_pressure);
    sim_key(cell8, true);
    const bytes report = kit::input_report(0, 0x80808080);
    check(feed(input, report) && feed(input, report), "untouched reports");
    check(pressures().back() == pressure_with({{28, 20}, {29, 20}, {30, 20}, {31, 20}}),
          "slider key 8 gives 20 at cells 28 to 31", sim_hex(pressures().back()));
    sim_key(cell8, false);
}

// Key bindings from morvantel.ini in the current folder through the
// platform's INI reader. What a binding does is the unit tests'.
void scenario_keys() {
    FILE *f = fopen("morvantel.ini", "wb");
    fputs("; bindings of this test\r\n[io3]\r\ntest = 0x54\r\ncoin = 67\r\n"
          "[buttons]\r\nkey1=66\r\n[slider]\r\ncell8 = 76\r\n",
          f);
    fclose(f);
    std::string in_path = pipe_path("vid_0f0d&pid_0092&mi_00", "in");
    sim_interface *input = sim_open(in_path);
    list_paths(in_path);
    expect_stdout("");
    check(tevu_io_jvs_init() == 0, "init with bindings and no lighting interface");
    check_bindings(input,
                   {{'T', 0x01, 0x00, "test bound to T (0x54)"},
                    {'B', 0x00, 0x01, "game button 1 bound to B (66)"}},
                   'C', 'L');
    tevu_io_slider_stop();
    DeleteFileA("morvantel.ini");
}

// The packaged sample morvantel.ini (Windows line ends, comments) read by the
// platform's INI reader: every binding at its default, no lamp address.
void scenario_sample_ini() {
    FILE *f = fopen("morvantel.ini", "rb");
    check(f != nullptr, "the sample morvantel.ini is in the current directory");
    if (f != nullptr)
        fclose(f);
    const controller c = open_controller("");
    expect_stdout("");
    check(tevu_io_jvs_init() == 0, "init with the sample file");
    check_bindings(c.input,
                   {{'1', 0x01, 0, "test is digit 1"},
                    {'2', 0x02, 0, "service is digit 2"},
                    {VK_RIGHT, 0, 0x01, "button 1 is right"},
                    {VK_DOWN, 0, 0x02, "button 2 is down"},
                    {VK_LEFT, 0, 0x04, "button 3 is left"},
                    {VK_UP, 0, 0x08, "button 4 is up"},
                    {VK_SPACE, 0, 0x10, "button 5 is space"}},
                   '3', 'P');
    check(wait_lamp(c.lighting, kit::lamp_report(0xff, 0xff, 0xff, 0xff)),
          "no lamp address: lamps follow the (released) buttons");
    tevu_io_slider_stop();
}

// A controller that streams reports, each touching the next cell.
volatile LONG pump_running = 1;

DWORD WINAPI pump_reports(void *arg) {
    sim_interface *input = static_cast<sim_interface *>(arg);
    uint32_t n = 0;
    while (pump_running) {
        sim_send(input, kit::input_report(0, kit::slider_touching({static_cast<int>(n++ % 32)})));
        Sleep(1);
    }
    return 0;
}

// --- The controller's life after init ---------------------------------------

void unplug(const controller &c) {
    sim_unplug(c.input);
    sim_unplug(c.lighting);
}

void plug(const controller &c) {
    sim_plug(c.input);
    sim_plug(c.lighting);
}

// Waits until poll reads no button and the callback's newest pressures are
// all 0; the time it took, or -1 after timeout_ms.
long wait_released(DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    const auto released = [] {
        uint8_t op = 0xee, game = 0xee;
        tevu_io_jvs_poll(&op, &game);
        const std::vector<bytes> seen = pressures();
        return op == 0 && game == 0 && !seen.empty() && seen.back() == bytes(32, 0);
    };
    return wait_until(timeout_ms, released, 1) ? static_cast<long>(GetTickCount() - start) : -1;
}

// Sends a report touching cell and waits until the callback shows it; the
// time from start, or -1.
long wait_touch_seen(sim_interface *input, int cell, DWORD start) {
    if (!sim_wait_connected(input, 5000) ||
        !feed(input, kit::input_report(0, kit::slider_touching({cell}))) ||
        pressures().back() != pressure_with({{cell, 200}}))
        return -1;
    return static_cast<long>(GetTickCount() - start);
}

// Unplugged while a cell is touched and buttons are held, then plugged back,
// the host running all along; then 19 more unplugs for the reconnect times.
// What the library does on a loss and a return is the unit tests'; here the
// pipes break and come back under wine.
void scenario_unplug() {
    const controller c = init_controller();
    tevu_io_slider_start(record_pressure);
    check(feed(c.input, kit::input_report(0x1001, kit::slider_touching({5}))), "touch and buttons");
    uint8_t op = 0, game = 0;
    tevu_io_jvs_poll(&op, &game);
    check(op == 0x01 && game == 0x04 && pressures().back() == pressure_with({{5, 200}}),
          "cell 5 touched, test and game button 3 held");

    std::vector<long> released, reconnect;
    int dark = 0;
    for (int round = 0; round < 20; ++round) {
        expect_stdout(lost_line);
        unplug(c);
        released.push_back(wait_released(2000));
        // Plug at different points of the search interval.
        Sleep(static_cast<DWORD>(50 + 97 * round % 600));
        expect_stdout(found_line);
        sim_clear(c.lighting);
        const DWORD start = GetTickCount();
        plug(c);
        reconnect.push_back(wait_touch_seen(c.input, round % 32, start));
        dark += sim_wait_for(c.lighting, 2000, [](const sim_record &r) { return r.lamp_count > 0; })
                    ? 0
                    : 1;
    }
    check(std::count(released.begin(), released.end(), -1) == 0,
          "every unplug releases the buttons and every pressure (within 2 s)");
    check(std::count(reconnect.begin(), reconnect.end(), -1) == 0,
          "every plug is followed by a touch seen without a new init (within 5 s)");
    check(dark == 0, "lamp reports resume after every plug", std::to_string(dark) + " did not");
    info("unplug to inputs released: " + figures(released));
    info("reconnect, plug to first touch seen: " + figures(reconnect));
    tevu_io_slider_stop();
}

// Stops in each state of the controller: 10 rounds of start and stop each, 20
// while it streams reports, where a cancel may meet a read that has just
// completed, or none at all.
void scenario_stops() {
    const controller c = init_controller();
    check(sim_wait_connected(c.input, 5000), "input open");
    HANDLE pump = nullptr;
    const char *const states[] = {"streaming", "silent", "lighting stalled", "lost"};
    for (const char *state : states) {
        const std::string name = state;
        const bool streaming = name == "streaming";
        if (streaming) {
            pump = CreateThread(nullptr, 0, pump_reports, c.input, 0, nullptr);
        } else if (name == "silent") {
            InterlockedExchange(&pump_running, 0);
            WaitForSingleObject(pump, 5000);
        } else if (name == "lighting stalled") {
            sim_stall(c.lighting, true);
        } else {
            // Unplugged while the lighting thread is blocked in a write: the
            // loss must not wait for that write.
            expect_stdout(lost_line);
            tevu_io_slider_start(record_pressure);
            Sleep(300);
            unplug(c);
            check(wait_released(2000) >= 0, "lost while the lighting stalls: released");
            tevu_io_slider_stop();
        }
        std::vector<long> took;
        int idle = 0;
        for (int round = 0; round < (streaming ? 20 : 10); ++round) {
            const LONG before = callback_calls;
            tevu_io_slider_start(record_pressure);
            if (streaming)
                idle += wait_calls(before + 3, 5000) ? 0 : 1;
            else
                Sleep(name == "lighting stalled" ? 300 : 100); // writes fill the stalled pipe
            took.push_back(static_cast<long>(timed_stop()));
        }
        const LONG calls = callback_calls;
        Sleep(100);
        check(callback_calls == calls, name + ": no callback after stop");
        check(*std::max_element(took.begin(), took.end()) < 2000,
              name + ": every stop returns (within 2 s)");
        info("stop, " + name + ": " + figures(took));
        if (!streaming)
            continue;
        check(idle == 0, "streaming: every start delivers reports",
              std::to_string(idle) + " did not");
        bool one_cell = true;
        for (const bytes &p : pressures())
            one_cell = one_cell && std::count(p.begin(), p.end(), 200) == 1 &&
                       std::count(p.begin(), p.end(), 0) == 31;
        check(one_cell, "streaming: every callback saw exactly one touched cell");
    }
}

// The inits in a row of the init scenarios: 1,000, or TEVU_SCENARIO_INITS
// (fewer, for slow machines).
int inits_in_a_row() {
    const char *wanted = getenv("TEVU_SCENARIO_INITS");
    return wanted != nullptr ? atoi(wanted) : 1000;
}

// Init i of a row that alternates between controllers a and b: each takes
// the one the init before did not hold, once it is free again after the init
// before that closed it; lights: with its lighting interface listed. Adds the
// time init took to took; false when it failed.
bool init_next(const controller &a, const controller &b, int i, bool lights,
               std::vector<long> *took) {
    const controller &next = i % 2 == 0 ? a : b;
    const bool free = sim_wait_listening(next.input, 5000) &&
                      (!lights || sim_wait_listening(next.lighting, 5000));
    list_paths(lights ? next.paths : next.in_path);
    const DWORD start = GetTickCount();
    const bool ok = tevu_io_jvs_init() == 0;
    took->push_back(static_cast<long>(GetTickCount() - start));
    return free && ok;
}

// 1,000 inits in a row (inits_in_a_row), each replacing the handles of the
// one before: the process's handle count stays where it was.
void scenario_init_handles() {
    const controller a = open_controller("a");
    const controller b = open_controller("b");
    expect_stdout("");
    int failed = 0;
    DWORD before = 0;
    std::vector<long> took;
    const int inits = inits_in_a_row();
    const std::string n = std::to_string(inits);
    for (int i = 0; i < inits + 2; ++i) {
        failed += init_next(a, b, i, true, &took) ? 0 : 1;
        if (i == 1) // the first two may set up what stays for good
            before = sim_handle_count();
    }
    const DWORD after = sim_handle_count();
    info(n + " inits: " + figures(took) + "; handles " + std::to_string(before) + " before, " +
         std::to_string(after) + " after");
    check(failed == 0, n + " inits all succeed", std::to_string(failed) + " failed");
    check(after <= before + 4, n + " inits leave the handle count where it was",
          std::to_string(before) + " -> " + std::to_string(after));
}

// --- The host's own I/O and calls while the slider runs -----------------------

// The host's pipe, which the callback writes to once and blocks on.
HANDLE host_pipe_reader, host_pipe_writer;
volatile LONG host_write_entered, host_write_done;
BOOL host_write_ok;
DWORD host_write_bytes, host_write_error;
char host_chunk[8192];

void writing_callback(const uint8_t *pressure) {
    record_pressure(pressure);
    if (InterlockedCompareExchange(&host_write_entered, 1, 0) != 0)
        return;
    host_write_ok =
        WriteFile(host_pipe_writer, host_chunk, sizeof host_chunk, &host_write_bytes, nullptr);
    host_write_error = host_write_ok ? 0 : GetLastError();
    InterlockedExchange(&host_write_done, 1);
}

DWORD WINAPI run_stop(void *) {
    tevu_io_slider_stop();
    return 0;
}

// Stop while the host's callback is blocked in a write of its own: stop cancels
// only the library's I/O, so the host's write completes once its reader reads,
// and stop returns once the callback has.
void scenario_host_write_stop() {
    const controller c = init_controller();
    check(CreatePipe(&host_pipe_reader, &host_pipe_writer, nullptr, 1024) != FALSE,
          "host pipe created");
    tevu_io_slider_start(writing_callback);
    check(sim_wait_connected(c.input, 5000) && sim_send(c.input, kit::input_report(0, 0)),
          "a report reaches the library");
    wait_until(
        5000, [] { return host_write_entered != 0; }, 1);
    Sleep(100); // the write fills the pipe and blocks
    HANDLE stopper = CreateThread(nullptr, 0, run_stop, nullptr, 0, nullptr);
    Sleep(300); // stop cancels the library's I/O meanwhile
    check(host_write_done == 0, "the host's write still waits while stop runs",
          "it ended with error " + std::to_string(host_write_error));
    DWORD got = 0, total = 0;
    static char sink[sizeof host_chunk];
    while (total < sizeof sink &&
           ReadFile(host_pipe_reader, sink, sizeof sink - total, &got, nullptr) != FALSE)
        total += got;
    const DWORD drained = GetTickCount();
    const bool stopped = WaitForSingleObject(stopper, 5000) == WAIT_OBJECT_0;
    const DWORD took = GetTickCount() - drained;
    check(host_write_ok && host_write_bytes == sizeof host_chunk,
          "the host's write completes whole",
          "error " + std::to_string(host_write_error) + ", " + std::to_string(host_write_bytes) +
              " bytes");
    check(stopped, "stop returns once the callback has");
    fprintf(stderr, "INFO stop returned %lu ms after the host's write could complete\n", took);
}

// Init while the slider runs, as a host that ignores the rule may call it: it
// returns at once each time and the slider goes on. The inits alternate
// between two controllers that both stream reports, so the slider thread
// always has a read to be in; then two inits that find no lighting interface.
void scenario_init_running() {
    const controller a = open_controller("a");
    const controller b = open_controller("b");
    expect_stdout("");
    list_paths(a.paths);
    check(tevu_io_jvs_init() == 0, "init");
    tevu_io_slider_start(record_pressure);
    HANDLE pumps[2] = {CreateThread(nullptr, 0, pump_reports, a.input, 0, nullptr),
                       CreateThread(nullptr, 0, pump_reports, b.input, 0, nullptr)};
    std::vector<long> took;
    int failed = 0;
    // A tenth of the inits in a row, and two more without a lighting interface.
    const int with_lights = inits_in_a_row() / 10;
    for (int i = 1; i <= with_lights + 2; ++i) {
        failed += init_next(a, b, i, i <= with_lights, &took) ? 0 : 1;
        const LONG calls = callback_calls;
        failed += wait_calls(calls + 2, 5000) ? 0 : 1;
    }
    check(failed == 0,
          std::to_string(with_lights + 2) +
              " inits while running succeed, and the slider goes on after each",
          std::to_string(failed) + " failed");
    check(*std::max_element(took.begin(), took.end()) < 5000, "every init returns");
    info("init while running: " + figures(took));
    info("stop after the inits: " + std::to_string(timed_stop()) + " ms");
    InterlockedExchange(&pump_running, 0);
    WaitForMultipleObjects(2, pumps, TRUE, 5000);
}

// Without a controller the slider runs on the keyboard alone, paced at about a
// millisecond a pass (the figure is for the log: under wine a 1 ms sleep lasts
// about 1 ms whatever the pacing).
void scenario_keyboard_pace() {
    list_paths("");
    expect_stdout("");
    check(tevu_io_jvs_init() == -1, "init without a controller fails");
    tevu_io_slider_start(record_pressure);
    Sleep(200);
    const LONG before = callback_calls;
    Sleep(2000);
    const LONG passes = callback_calls - before;
    tevu_io_slider_stop();
    check(passes > 0, "the slider runs without a controller");
    fprintf(stderr, "INFO slider passes without a controller: %ld a second\n", passes / 2);
}

} // namespace

int main(int argc, char **argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    InitializeCriticalSection(&seen_lock);
    DeleteFileA("expected_stdout.bin");
    std::string name = argc > 1 ? argv[1] : "";
    if (name == "no-controller")
        scenario_no_controller(true);
    else if (name == "no-device-list")
        scenario_no_controller(false);
    else if (name == "two-interfaces")
        scenario_two_interfaces();
    else if (name == "open-fails")
        scenario_open_fails();
    else if (name == "queue-refused")
        scenario_queue_refused();
    else if (name == "lamp-offset")
        scenario_lamp_offset();
    else if (name == "unplug")
        scenario_unplug();
    else if (name == "stops")
        scenario_stops();
    else if (name == "init-handles")
        scenario_init_handles();
    else if (name == "keys")
        scenario_keys();
    else if (name == "sample-ini")
        scenario_sample_ini();
    else if (name == "host-write-stop")
        scenario_host_write_stop();
    else if (name == "init-running")
        scenario_init_running();
    else if (name == "keyboard-pace")
        scenario_keyboard_pace();
    else
        check(false, "scenario", "unknown scenario '" + name + "'");
    fflush(stdout);
    fprintf(stderr, "DONE %d failed\n", failures);
    fflush(stderr);
    // Worker threads of the simulator may still wait on their pipes.
    ExitProcess(failures == 0 ? 0 : 2);
}
