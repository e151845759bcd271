// A minimal game host for the end-to-end tests: initialises the library,
// starts the slider, lets it run for a moment and stops it again. Prints how
// many callbacks it saw and "stopped" once the stop call has returned.
#include "tevuio.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
std::atomic<unsigned> callbacks{0};
void on_slider(const uint8_t *) {
    callbacks.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const unsigned run_ms = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 200;
    if (tevu_io_jvs_init() != 0) {
        printf("init failed\n");
        return 1;
    }
    tevu_io_slider_init();
    tevu_io_slider_start(on_slider);
    printf("started\n");
    usleep(run_ms * 1000);
    tevu_io_slider_stop();
    printf("stopped after %u callbacks\n", callbacks.load());
    return 0;
}
