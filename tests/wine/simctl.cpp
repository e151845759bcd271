// The simulated controller as a program of its own, for runs of tevutest.exe:
//   simctl.exe "IN_PATH;LIGHT_PATH" EXPECTED_FILE
// Serves both interfaces, waits for the tool to open them, then plays a fixed
// script of input reports and key presses, and unplugs the controller at its
// end. After each step it checks the light reports that came back, and
// appends to EXPECTED_FILE the bytes the tool must print for that step.
// Verdicts on stderr ("PASS x" / "FAIL x: why").
#include "report_kit.h"
#include "sim.h"
#include "verdicts.h"

#include <cstdio>
#include <string>

using namespace verdict;

namespace {

std::string expected;

const char *const banner_line = "Init OK. Running input loop. Press Ctrl+C to exit.\r\n";

std::string pressure_lines(const bytes &p) {
    std::string s = banner_line;
    s += "slider value changed! pressure array:\r\n";
    char two[8];
    for (uint8_t v : p) {
        snprintf(two, sizeof two, "%02x ", v);
        s += two;
    }
    return s + "\r\n";
}

// Waits until the light reports received since the last clear show frame.
bool lights_show(sim_interface *lighting, const bytes &frame) {
    return sim_wait_for(lighting, 3000,
                        [&](const sim_record &r) { return sim_leds_shown(r) == frame; });
}

bytes frame_lighting(std::initializer_list<int> cells) {
    bytes f(96, 0);
    for (int c : cells) {
        f[static_cast<size_t>(3 * c)] = 0x7f;
        f[static_cast<size_t>(3 * c + 1)] = 0x23;
    }
    return f;
}

// One input message, then time for the tool to print what it makes of it.
void step(sim_interface *input, const bytes &message, const std::string &prints) {
    expected += prints;
    if (!sim_send(input, message))
        check(false, "report sent", "the tool closed the interface");
    Sleep(250);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: simctl IN_PATH;LIGHT_PATH EXPECTED_FILE\n");
        return 2;
    }
    std::string paths = argv[1];
    size_t split = paths.find(';');
    sim_interface *input = sim_open(paths.substr(0, split));
    sim_interface *lighting = sim_open(paths.substr(split + 1));
    expected = "tevuTEST\r\n---------\r\n"
               "tevu_io_jvs_init() : OK\r\n"
               "tevu_io_slider_init() : OK\r\n"
               "tevu_io_slider_start() : OK\r\n";
    expected += banner_line;

    // The tool starts beside this process; under qemu's TCG a wine process
    // can take most of a minute to start.
    bool up = sim_wait_connected(input, 120000) && sim_wait_connected(lighting, 5000);
    check(up, "the tool opened both interfaces");
    if (up) {
        check(
            sim_wait_for(
                input, 5000,
                [](const sim_record &r) {
                    return !r.messages.empty() && r.messages[0] == bytes{SIM_QUEUE_TAG, 2, 0, 0, 0};
                }),
            "input queue depth 2");
        check(sim_wait_for(lighting, 5000, [](const sim_record &r) { return r.lamp_count > 0; }),
              "lamp reports flow once the slider started");
        Sleep(300);

        const bytes none(32, 0);
        step(input, kit::input_report(0, 0x80808080), "");
        check(lights_show(lighting, frame_lighting({})), "dark frame while nothing is touched");

        bytes touch(32, 0);
        touch[3] = 200;
        sim_clear(lighting);
        step(input, kit::input_report(0, kit::slider_touching({3})), pressure_lines(touch));
        check(lights_show(lighting, frame_lighting({3})), "touched cell 3 lights LED 3");
        sim_clear(lighting);
        step(input, kit::input_report(0, 0x80808080), pressure_lines(none));
        check(lights_show(lighting, frame_lighting({})), "released cell goes dark");

        // Two reports in one read: the tool sees only the newer.
        bytes two = kit::input_report(0, kit::slider_touching({10}));
        bytes newer = kit::input_report(0, kit::slider_touching({20, 31}));
        two.insert(two.end(), newer.begin(), newer.end());
        bytes touch2(32, 0);
        touch2[20] = touch2[31] = 200;
        sim_clear(lighting);
        step(input, two, pressure_lines(touch2));
        check(lights_show(lighting, frame_lighting({20, 31})), "cells 20 and 31 lit");
        step(input, kit::input_report(0, 0x80808080), pressure_lines(none));

        step(input, kit::input_report(0x1000, 0x80808080), "opbtn changed!\r\n01\r\n");
        step(input, kit::input_report(0x0000, 0x80808080), "opbtn changed!\r\n00\r\n");
        step(input, kit::input_report(0x020F, 0x80808080), "buttons changed!\r\n1f\r\n");
        step(input, kit::input_report(0x0100, 0x80808080),
             "opbtn changed!\r\n02\r\nbuttons changed!\r\n00\r\n");
        step(input, kit::input_report(0x0000, 0x80808080), "opbtn changed!\r\n00\r\n");

        // Keys: the default test key (digit 1) and slider key 1 (Q).
        sim_key('1', true);
        step(input, kit::input_report(0, 0x80808080), "opbtn changed!\r\n01\r\n");
        sim_key('1', false);
        step(input, kit::input_report(0, 0x80808080), "opbtn changed!\r\n00\r\n");
        // The slider keys are sampled before the library waits for a report:
        // the report that answers a waiting pass may carry the keys from
        // before the change. Two reports each; only changes are printed.
        sim_key('Q', true);
        bytes keyed(32, 0);
        keyed[0] = keyed[1] = keyed[2] = keyed[3] = 20;
        sim_clear(lighting);
        step(input, kit::input_report(0, 0x80808080), "");
        step(input, kit::input_report(0, 0x80808080), pressure_lines(keyed));
        check(lights_show(lighting, frame_lighting({})), "keyboard touches stay dark");
        sim_key('Q', false);
        step(input, kit::input_report(0, 0x80808080), "");
        step(input, kit::input_report(0, 0x80808080), pressure_lines(none));

        // Unplugged at the end: the tool says so, and has nothing to release.
        sim_unplug(input);
        sim_unplug(lighting);
        expected += lost_line;
        Sleep(200);
    }

    FILE *f = fopen(argv[2], "wb");
    if (f != nullptr) {
        fwrite(expected.data(), 1, expected.size(), f);
        fclose(f);
    }
    fflush(stderr);
    ExitProcess(up ? 0 : 1);
}
