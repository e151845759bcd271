// Loads tevuio.dll the way a game host does and drives a short session through
// it against the simulated controller. Run in the game's folder: the library
// is loaded by name from there, at an address other than its preferred one
// (the host reserves that range first, so the loader must relocate it), and
// its eight functions are found by name.
//
// Verdicts on stderr ("PASS x" / "FAIL x: why"), then "DONE" at the end.
#include "host_kit.h"
#include "report_kit.h"
#include "sim.h"
#include "tevuio.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using verdict::check;
using verdict::failures;

std::string hex(uintptr_t v) {
    char s[32];
    snprintf(s, sizeof s, "0x%llx", static_cast<unsigned long long>(v));
    return s;
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
    return sim_send(input, report) && wait_until(5000, [&] { return calls != before; });
}

void session(const tevuio_api &io) {
    const auto version = io.version;
    const auto jvs_init = io.jvs_init;
    const auto jvs_poll = io.poll;
    const auto coins = io.coins;
    const auto slider_init = io.slider_init;
    const auto start = io.start;
    const auto stop = io.stop;
    const auto set_leds = io.set_leds;

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
    check(sim_wait_for(
              lighting, 5000,
              [&](const sim_record &r) { return sim_leds_shown(r) == bytes(frame, frame + 96); }),
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
    tevuio_api io{};
    HMODULE m = load_like_a_host(&io);
    if (m == nullptr)
        return 1;
    session(io);
    unload(m);
    fprintf(stderr, "DONE %d\n", failures);
    fflush(stderr);
    return failures == 0 ? 0 : 1;
}
