// Loads tevuio.dll the way a game host does and drives a short session through
// it against the simulated controller. Run in the game's folder: the library
// is loaded by name from there, at an address other than its preferred one
// (the host reserves that range first, so the loader must relocate it), and
// its eight functions are found by name.
//
// Verdicts on stderr ("PASS x" / "FAIL x: why"), then "DONE" at the end.
#include "report_kit.h"
#include "sim.h"
#include "tevuio.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int failures;

bool check(bool ok, const std::string &name, const std::string &detail = "") {
    fprintf(stderr, ok ? "PASS %s\n" : "FAIL %s: %s\n", name.c_str(), detail.c_str());
    failures += ok ? 0 : 1;
    return ok;
}

std::string hex(uintptr_t v) {
    char s[32];
    snprintf(s, sizeof s, "0x%llx", static_cast<unsigned long long>(v));
    return s;
}

// The preferred base and size of the DLL's image, from its PE header.
bool preferred_range(const char *file, uintptr_t *base, SIZE_T *size) {
    FILE *f = fopen(file, "rb");
    if (f == nullptr)
        return false;
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS nt = {};
    bool ok = fread(&dos, sizeof dos, 1, f) == 1 && dos.e_magic == IMAGE_DOS_SIGNATURE &&
              fseek(f, dos.e_lfanew, SEEK_SET) == 0 && fread(&nt, sizeof nt, 1, f) == 1 &&
              nt.Signature == IMAGE_NT_SIGNATURE &&
              nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR_MAGIC;
    fclose(f);
    *base = static_cast<uintptr_t>(nt.OptionalHeader.ImageBase);
    *size = nt.OptionalHeader.SizeOfImage;
    return ok;
}

volatile LONG calls;
volatile LONG touched; // set once a callback saw cell 5 touched on the controller

void on_slider(const uint8_t *pressure) {
    InterlockedIncrement(&calls);
    if (pressure[5] == 200)
        InterlockedExchange(&touched, 1);
}

// Sends one input report and waits until the callback has run for it.
bool feed(sim_interface *input, const bytes &report) {
    const LONG before = calls;
    const DWORD start = GetTickCount();
    if (!sim_send(input, report))
        return false;
    while (calls == before && GetTickCount() - start < 5000)
        Sleep(2);
    return calls != before;
}

template <class F> F find(HMODULE m, const char *name) {
    FARPROC p = GetProcAddress(m, name);
    check(p != nullptr, std::string("GetProcAddress finds ") + name);
    return reinterpret_cast<F>(reinterpret_cast<void *>(p));
}

void session(HMODULE m) {
    auto version = find<decltype(&tevu_io_get_api_version)>(m, "tevu_io_get_api_version");
    auto jvs_init = find<decltype(&tevu_io_jvs_init)>(m, "tevu_io_jvs_init");
    auto jvs_poll = find<decltype(&tevu_io_jvs_poll)>(m, "tevu_io_jvs_poll");
    auto coins = find<decltype(&tevu_io_jvs_read_coin_counter)>(m, "tevu_io_jvs_read_coin_counter");
    auto slider_init = find<decltype(&tevu_io_slider_init)>(m, "tevu_io_slider_init");
    auto start = find<decltype(&tevu_io_slider_start)>(m, "tevu_io_slider_start");
    auto stop = find<decltype(&tevu_io_slider_stop)>(m, "tevu_io_slider_stop");
    auto set_leds = find<decltype(&tevu_io_slider_set_leds)>(m, "tevu_io_slider_set_leds");
    if (!version || !jvs_init || !jvs_poll || !coins || !slider_init || !start || !stop ||
        !set_leds)
        return;

    const std::string pipe = "\\\\.\\pipe\\hid#vid_0f0d&pid_0092&mi_0";
    const std::string id = "#host" + std::to_string(GetCurrentProcessId());
    sim_interface *input = sim_open(pipe + "0" + id);
    sim_interface *lighting = sim_open(pipe + "1" + id);
    SetEnvironmentVariableA(SIM_ENV_PATHS, (pipe + "0" + id + ";" + pipe + "1" + id).c_str());

    check(version() == 0x0100, "version is 0x0100");
    if (!check(jvs_init() == 0 && slider_init() == 0, "init and slider init return 0"))
        return;
    uint16_t count = 7;
    coins(&count);
    check(count == 0, "coin counter reads 0");
    start(on_slider);
    check(feed(input, kit::input_report(0, kit::slider_touching({5}))) && touched == 1,
          "the callback runs and sees a touch on cell 5", std::to_string(calls) + " calls");

    uint8_t frame[96] = {};
    frame[3 * 9] = 0x7f;
    set_leds(frame);
    check(sim_wait_for(lighting, 5000,
                       [&](const sim_record &r) {
                           bytes shown(96, 0);
                           for (const bytes &msg : r.messages)
                               kit::apply_led_report(shown.data(), msg.data(), msg.size());
                           return shown == bytes(frame, frame + 96);
                       }),
          "set_leds reaches the controller");

    uint8_t op = 0, game = 0;
    const bool fed = feed(input, kit::input_report(0x0001, 0x80808080));
    jvs_poll(&op, &game);
    check(fed && op == 0 && game == 0x04, "poll sees game button 3", hex(op) + " " + hex(game));

    const DWORD before = GetTickCount();
    stop();
    check(GetTickCount() - before < 5000, "stop returns");
}

} // namespace

int main() {
    uintptr_t base = 0;
    SIZE_T size = 0;
    if (!check(preferred_range("tevuio.dll", &base, &size), "the PE header gives the image base"))
        return 1;
    check(VirtualAlloc(reinterpret_cast<void *>(base), size, MEM_RESERVE, PAGE_NOACCESS) ==
              reinterpret_cast<void *>(base),
          "the preferred range " + hex(base) + " is reserved first");

    HMODULE m = LoadLibraryA("tevuio.dll");
    if (!check(m != nullptr, "LoadLibraryA(\"tevuio.dll\") loads it",
               "error " + std::to_string(GetLastError())))
        return 1;
    check(reinterpret_cast<uintptr_t>(m) != base, "the library is relocated",
          "loaded at " + hex(reinterpret_cast<uintptr_t>(m)));
    char path[MAX_PATH] = {}, folder[MAX_PATH] = {};
    GetModuleFileNameA(m, path, sizeof path);
    GetCurrentDirectoryA(sizeof folder, folder);
    check(std::string(path) == std::string(folder) + "\\tevuio.dll",
          "the library comes from the current folder", path);

    session(m);
    check(FreeLibrary(m) != FALSE && GetModuleHandleA("tevuio.dll") == nullptr,
          "FreeLibrary unloads it");
    fprintf(stderr, "DONE %d\n", failures);
    fflush(stderr);
    return failures == 0 ? 0 : 1;
}
