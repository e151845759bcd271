// The configuration load (seventeen INI keys through the platform's reader)
// from a 10 MiB file whose keys come last: the file is scanned once per load.
// Each iteration changes the file's times first, so no answer is reused.
#include "tevuio/config.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string write_big_ini() {
    char pattern[] = "/tmp/tevuio-ini-bench-XXXXXX";
    int fd = mkstemp(pattern);
    std::string filler;
    for (int i = 0; filler.size() < 10u * 1024 * 1024; ++i) {
        filler += "[filler" + std::to_string(i % 97) + "]\r\nname" + std::to_string(i) +
                  " = some value that is not a number, " + std::string(40, 'x') + "\r\n";
    }
    filler += "[io3]\r\ntest=0x41\r\n[buttons]\r\nkey1=0x27\r\n[slider]\r\ncell8=0x50\r\n";
    if (write(fd, filler.data(), filler.size()) != static_cast<ssize_t>(filler.size())) {
        std::abort();
    }
    close(fd);
    return pattern;
}

void BM_ConfigLoadFrom10MiB(benchmark::State &state) {
    const std::string path = write_big_ini();
    io_config config{};
    for (auto _ : state) {
        state.PauseTiming();
        utimensat(AT_FDCWD, path.c_str(), nullptr, 0); // new times: no cached answers
        usleep(20000);
        state.ResumeTiming();
        io_config_load(&config, path.c_str());
        benchmark::DoNotOptimize(config);
    }
    unlink(path.c_str());
}
BENCHMARK(BM_ConfigLoadFrom10MiB)->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace
