// tevutest: checks a controller and its configuration without the game.
//
// Loads tevuio like a game does, starts the slider and then prints every
// change of the slider pressures and of the two button bytes, lighting each
// cell that is firmly touched on the controller. Runs until Ctrl+C.
// "--doctor" checks the configuration and the controller once and ends
// (doctor.cpp); "--help" lists the options.
#include "tevuio.h"
#include "tevutest/doctor.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Touched only by the callback, on the library's slider thread.
uint8_t last_pressure[32];
uint8_t last_opbtn;
uint8_t last_gamebtn;
uint8_t colour_frame[96];

// Pressures above this come from the controller (200); keyboard touches (20)
// stay dark.
const uint8_t lit_threshold = 40;

void slider_callback(const uint8_t *pressure) {
    if (memcmp(pressure, last_pressure, sizeof last_pressure) != 0) {
        printf("Init OK. Running input loop. Press Ctrl+C to exit.\r\n");
        printf("slider value changed! pressure array:\r\n");
        for (int i = 0; i < 32; i++) {
            printf("%02x ", pressure[i]);
        }
        printf("\r\n");
        memcpy(last_pressure, pressure, sizeof last_pressure);
    }

    for (size_t i = 0; i < 32; i++) {
        const bool lit = pressure[i] > lit_threshold;
        colour_frame[3 * i] = lit ? 0x7F : 0x00;
        colour_frame[3 * i + 1] = lit ? 0x23 : 0x00;
        colour_frame[3 * i + 2] = 0x00;
    }
    tevu_io_slider_set_leds(colour_frame);

    uint8_t opbtn = 0;
    uint8_t gamebtn = 0;
    tevu_io_jvs_poll(&opbtn, &gamebtn);
    if (opbtn != last_opbtn) {
        printf("opbtn changed!\r\n%02x\r\n", opbtn);
        last_opbtn = opbtn;
    }
    if (gamebtn != last_gamebtn) {
        printf("buttons changed!\r\n%02x\r\n", gamebtn);
        last_gamebtn = gamebtn;
    }
}

// The work happens on the library's threads; the main thread only waits,
// without using the processor, until the user interrupts the process.
[[noreturn]] void wait_forever() {
    for (;;) {
#ifdef _WIN32
        Sleep(INFINITE);
#else
        pause();
#endif
    }
}

const char usage[] = "Usage: tevutest [--doctor | --help]\r\n"
                     "  (no option)  start the library and print every change of the slider\r\n"
                     "               and the buttons, lighting touched cells; Ctrl+C ends it\r\n"
                     "  --doctor     check the INI file, the controller, its input and its\r\n"
                     "               lights once, then end: exit status 0 all is well,\r\n"
                     "               1 with warnings, 2 the controller cannot be used\r\n"
                     "  --help       this text\r\n";

} // namespace

int main(int argc, char **argv) {
    // Every line reaches a pipe or file at once, so an interrupted run loses
    // nothing. The library prints through the same stream.
    setvbuf(stdout, nullptr, _IONBF, 0);
#ifdef _WIN32
    // The texts carry their own "\r\n"; text mode would double the "\r".
    _setmode(_fileno(stdout), _O_BINARY);
#endif

    if (argc > 1) {
        const bool doctor = strcmp(argv[1], "--doctor") == 0;
        const bool help = strcmp(argv[1], "--help") == 0;
        if (argc == 2 && doctor) {
            return doctor_run();
        }
        if (argc == 2 && help) {
            fputs(usage, stdout);
            return 0;
        }
        fprintf(stderr, "tevutest: unknown option %s\r\n%s", argv[doctor || help ? 2 : 1], usage);
        return 2;
    }

    printf("tevuTEST\r\n---------\r\n");

    printf("tevu_io_jvs_init() : ");
    if (tevu_io_jvs_init() == -1) {
        printf("ERROR\r\n");
        exit(-1);
    }
    printf("OK\r\n");

    printf("tevu_io_slider_init() : ");
    tevu_io_slider_init();
    printf("OK\r\n");

    printf("tevu_io_slider_start() : ");
    tevu_io_slider_start(slider_callback);
    printf("OK\r\n");

    printf("Init OK. Running input loop. Press Ctrl+C to exit.\r\n");

    wait_forever();
}
