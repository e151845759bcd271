// Measures the controller's life after init on Linux, as a game host sees it:
// the library is loaded with dlopen and driven through its exports while a
// tevu-vctl in a private folder plays the controller (its script comes from a
// pipe, a step at a time).
//
//   reconnect   time from "plug" to the first callback that sees the touched
//               cell again, after a loss of a random length (0.2-1.2 s)
//   stop        how long tevu_io_slider_stop takes: controller connected,
//               lost and being searched for, connected but silent
//   cpu         the host process's CPU (getrusage) while the controller is
//               unplugged, and while it is connected and sending
//   lamps       (--lamp-load) light reports a second and the host's CPU
//               against a controller that takes every report at once
//
// usage: reconnect_bench [--library PATH] [--vctl PATH] [--runs N]
//                        [--seconds S] [--connected-cpu-only | --lamp-load]
// --connected-cpu-only measures only the connected CPU, so a library from
// before the reconnection work can be compared on the same load.
// The library's own lines go to a file; its counts are checked at the end.
#include "tevuio.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct library {
    decltype(&tevu_io_jvs_init) jvs_init;
    decltype(&tevu_io_jvs_poll) jvs_poll;
    decltype(&tevu_io_slider_init) slider_init;
    decltype(&tevu_io_slider_start) slider_start;
    decltype(&tevu_io_slider_stop) slider_stop;
    decltype(&tevu_io_slider_set_leds) slider_set_leds;
};
library lib;

// The cell the controller keeps touched, and the callback's view of it.
constexpr int held_cell = 5;
std::atomic<uint8_t> held_pressure{0};
std::atomic<uint64_t> callbacks{0};

// Like tevutest: a frame per callback that lights the firmly touched cells,
// and a button poll.
void on_slider(const uint8_t *pressure) {
    uint8_t frame[96];
    for (size_t i = 0; i < 32; i++) {
        const bool lit = pressure[i] > 40;
        frame[3 * i] = lit ? 0x7F : 0;
        frame[3 * i + 1] = lit ? 0x23 : 0;
        frame[3 * i + 2] = 0;
    }
    lib.slider_set_leds(frame);
    uint8_t opbtn = 0;
    uint8_t gamebtn = 0;
    lib.jvs_poll(&opbtn, &gamebtn);
    held_pressure.store(pressure[held_cell], std::memory_order_release);
    callbacks.fetch_add(1, std::memory_order_relaxed);
}

template <typename T> bool load_symbol(void *handle, const char *name, T *out) {
    *out = reinterpret_cast<T>(dlsym(handle, name));
    if (*out == nullptr) {
        fprintf(stderr, "reconnect_bench: %s: %s\n", name, dlerror());
        return false;
    }
    return true;
}

bool load_library(const std::string &path) {
    void *handle = dlopen(path.c_str(), RTLD_NOW);
    if (handle == nullptr) {
        fprintf(stderr, "reconnect_bench: %s\n", dlerror());
        return false;
    }
    return load_symbol(handle, "tevu_io_jvs_init", &lib.jvs_init) &&
           load_symbol(handle, "tevu_io_jvs_poll", &lib.jvs_poll) &&
           load_symbol(handle, "tevu_io_slider_init", &lib.slider_init) &&
           load_symbol(handle, "tevu_io_slider_start", &lib.slider_start) &&
           load_symbol(handle, "tevu_io_slider_stop", &lib.slider_stop) &&
           load_symbol(handle, "tevu_io_slider_set_leds", &lib.slider_set_leds);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// Waits up to 10 s; false when the condition never held.
template <typename F> bool wait_until(F condition) {
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (clock_type::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

bool held_seen() {
    return held_pressure.load(std::memory_order_acquire) != 0;
}
bool released_seen() {
    return held_pressure.load(std::memory_order_acquire) == 0;
}

double cpu_seconds_self() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of a process or thread, from its schedstat file in /proc (time
// on a processor, in nanoseconds).
double cpu_seconds_of(const std::string &schedstat_path) {
    std::istringstream fields(read_file(schedstat_path));
    unsigned long long ns = 0;
    fields >> ns;
    return static_cast<double>(ns) / 1e9;
}

struct controller {
    pid_t pid = -1;
    int script_fd = -1;
    std::string dir;

    bool start(const std::string &vctl, const char *ack_rate) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        pid = fork();
        if (pid == 0) {
            dup2(fds[0], STDIN_FILENO);
            const int null_fd = open("/dev/null", O_WRONLY);
            const int err_fd = open((dir + "/vctl.err").c_str(), O_WRONLY | O_CREAT, 0644);
            dup2(null_fd, STDOUT_FILENO);
            dup2(err_fd, STDERR_FILENO);
            execl(vctl.c_str(), vctl.c_str(), "--dir", dir.c_str(), "--script", "-", "--no-display",
                  "--ack-rate", ack_rate, static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[0]);
        script_fd = fds[1];
        // Its interfaces take connections once it says it publishes them.
        return pid > 0 && wait_until([&] {
                   return read_file(dir + "/vctl.err").find("publishing") != std::string::npos;
               });
    }

    void step(const std::string &line) {
        const std::string text = line + "\n";
        if (write(script_fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            fprintf(stderr, "reconnect_bench: the controller stopped reading its script\n");
            exit(1);
        }
    }

    void end() {
        if (script_fd >= 0) {
            step("quit");
            close(script_fd);
            script_fd = -1;
        }
        if (pid > 0) {
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};
controller vctl_process;

struct figures {
    std::vector<double> values;
    void print(const char *what, const char *unit) {
        if (values.empty()) {
            return;
        }
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        const double median = n % 2 != 0 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
        fprintf(stderr, "%-34s n=%-3zu median %8.2f %s  best %8.2f  worst %8.2f\n", what, n, median,
                unit, sorted.front(), sorted.back());
    }
};

// Ends the controller too: it would outlive its script otherwise.
int fail(const char *what) {
    fprintf(stderr, "reconnect_bench: %s\n", what);
    if (vctl_process.pid > 0) {
        kill(vctl_process.pid, SIGTERM);
        waitpid(vctl_process.pid, nullptr, 0);
    }
    fprintf(stderr, "the controller's messages and the library's lines: %s\n",
            vctl_process.dir.c_str());
    return 1;
}

// The stat files of this process's threads but the main one: the library's
// slider and lighting threads, in the order they were started.
std::vector<std::string> library_thread_stats() {
    std::vector<std::pair<long, std::string>> threads;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return {};
    }
    while (const dirent *entry = readdir(dir)) {
        const long tid = atol(entry->d_name);
        if (tid > 0 && tid != getpid()) {
            threads.emplace_back(tid,
                                 std::string("/proc/self/task/") + entry->d_name + "/schedstat");
        }
    }
    closedir(dir);
    std::sort(threads.begin(), threads.end());
    std::vector<std::string> paths;
    paths.reserve(threads.size());
    for (const auto &thread : threads) {
        paths.push_back(thread.second);
    }
    return paths;
}

// CPU of this process (the library's threads: the main thread only sleeps),
// of each library thread, and of the controller, over the given time.
void measure_cpu(const char *what, const controller &c, double seconds) {
    const std::string vctl_stat = "/proc/" + std::to_string(c.pid) + "/schedstat";
    const std::vector<std::string> threads = library_thread_stats();
    std::vector<double> thread_before;
    thread_before.reserve(threads.size());
    for (const std::string &path : threads) {
        thread_before.push_back(cpu_seconds_of(path));
    }
    const double self_before = cpu_seconds_self();
    const double vctl_before = cpu_seconds_of(vctl_stat);
    const uint64_t calls_before = callbacks.load();
    const auto start = clock_type::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = ms_since(start) / 1000;
    const double self = cpu_seconds_self() - self_before;
    const double vctl = cpu_seconds_of(vctl_stat) - vctl_before;
    std::string per_thread;
    for (size_t i = 0; i < threads.size(); i++) {
        per_thread += " " +
                      std::to_string(static_cast<int>(
                          1000 * (cpu_seconds_of(threads[i]) - thread_before[i]))) +
                      " ms";
    }
    fprintf(stderr,
            "%-34s %.1f s: host %.3f s CPU (%.2f%% of a core; threads:%s), tevu-vctl %.2f s, "
            "%.0f callbacks/s\n",
            what, elapsed, self, 100 * self / elapsed, per_thread.c_str(), vctl,
            static_cast<double>(callbacks.load() - calls_before) / elapsed);
}

// Light reports a second and the host's CPU against a controller that takes
// every report at once: the pace is the library's own.
int measure_lamp_load(controller &c, double seconds) {
    const auto start = clock_type::now();
    measure_cpu("cpu, controller takes at once", c, seconds);
    lib.slider_stop();
    const double elapsed = ms_since(start) / 1000;
    c.end();
    const std::string err = read_file(c.dir + "/vctl.err");
    const size_t at = err.rfind("took ");
    if (at == std::string::npos) {
        return fail("the controller did not say what it took");
    }
    const double taken = atof(err.c_str() + at + 5);
    fprintf(stderr, "light reports taken: %.0f a second (%.1f s)\n", taken / elapsed, elapsed);
    return 0;
}

void remove_folder(const std::string &dir) {
    const std::string command = "rm -rf '" + dir + "'";
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
}

} // namespace

int main(int argc, char **argv) {
    std::string library_path = LIBRARY_PATH;
    std::string vctl_path = VCTL_PATH;
    int runs = 20;
    double seconds = 5;
    bool connected_cpu_only = false;
    bool lamp_load = false;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--library") {
            library_path = value;
            i++;
        } else if (a == "--vctl") {
            vctl_path = value;
            i++;
        } else if (a == "--runs") {
            runs = std::max(1, atoi(value));
            i++;
        } else if (a == "--seconds") {
            seconds = std::max(0.5, atof(value));
            i++;
        } else if (a == "--connected-cpu-only") {
            connected_cpu_only = true;
        } else if (a == "--lamp-load") {
            lamp_load = true;
        } else {
            fprintf(stderr,
                    "usage: %s [--library PATH] [--vctl PATH] [--runs N] [--seconds S] "
                    "[--connected-cpu-only | --lamp-load]\n",
                    argv[0]);
            return 2;
        }
    }

    // Paths given relative to where the bench started, before it moves.
    for (std::string *path : {&library_path, &vctl_path}) {
        char *absolute = realpath(path->c_str(), nullptr);
        if (absolute == nullptr) {
            perror(path->c_str());
            return 2;
        }
        *path = absolute;
        free(absolute);
    }
    char pattern[] = "/tmp/tevu-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    controller &c = vctl_process;
    c.dir = pattern;
    // No INI in the private folder: the library's defaults.
    if (chdir(c.dir.c_str()) != 0 || setenv("TEVUIO_VIRTUAL_HID_DIR", c.dir.c_str(), 1) != 0) {
        perror(c.dir.c_str());
        return 1;
    }
    // The library's lines go to a file; the figures to stderr.
    const std::string log_path = c.dir + "/library.out";
    const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log_fd < 0 || dup2(log_fd, STDOUT_FILENO) < 0) {
        perror(log_path.c_str());
        return 1;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    signal(SIGPIPE, SIG_IGN);
    fprintf(stderr, "library %s\n", library_path.c_str());

    if (!load_library(library_path)) {
        return 1;
    }
    if (!c.start(vctl_path, lamp_load ? "0" : "1000")) {
        return fail("the controller did not start");
    }
    c.step("touch " + std::to_string(held_cell));
    if (lib.jvs_init() != 0) {
        return fail("init found no controller");
    }
    lib.slider_init();
    lib.slider_start(on_slider);
    if (!wait_until(held_seen)) {
        return fail("the touch never arrived");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (lamp_load) {
        const int status = measure_lamp_load(c, seconds);
        remove_folder(c.dir);
        return status;
    }
    measure_cpu("cpu, connected, 1000 reports/s", c, seconds);
    if (connected_cpu_only) {
        lib.slider_stop();
        c.end();
        remove_folder(c.dir);
        return 0;
    }

    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> loss_ms(200, 1200);
    figures reconnect;
    for (int run = 0; run < runs; run++) {
        c.step("unplug");
        if (!wait_until(released_seen)) {
            return fail("the unplug released nothing");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(loss_ms(random)));
        const auto plugged = clock_type::now();
        c.step("plug");
        if (!wait_until(held_seen)) {
            return fail("the controller was not found again");
        }
        reconnect.values.push_back(ms_since(plugged));
    }

    c.step("unplug");
    if (!wait_until(released_seen)) {
        return fail("the unplug released nothing");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    measure_cpu("cpu, lost and searching", c, seconds);
    c.step("plug");
    if (!wait_until(held_seen)) {
        return fail("the controller was not found again");
    }

    // Stop in each state; the slider starts again after each stop.
    figures stop_connected, stop_lost, stop_silent;
    std::uniform_int_distribution<int> settle_ms(50, 650);
    for (int run = 0; run < runs; run++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms(random)));
        auto start = clock_type::now();
        lib.slider_stop();
        stop_connected.values.push_back(ms_since(start));
        lib.slider_start(on_slider);

        c.step("unplug");
        if (!wait_until(released_seen)) {
            return fail("the unplug released nothing");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms(random)));
        start = clock_type::now();
        lib.slider_stop();
        stop_lost.values.push_back(ms_since(start));
        c.step("plug");
        lib.slider_start(on_slider);
        if (!wait_until(held_seen)) {
            return fail("the controller was not found again");
        }

        c.step("silent on");
        std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms(random)));
        start = clock_type::now();
        lib.slider_stop();
        stop_silent.values.push_back(ms_since(start));
        c.step("silent off");
        lib.slider_start(on_slider);
    }
    lib.slider_stop();
    c.end();

    reconnect.print("reconnect after plug", "ms");
    stop_connected.print("stop, connected", "ms");
    stop_lost.print("stop, lost and searching", "ms");
    stop_silent.print("stop, connected but silent", "ms");

    const std::string out = read_file(log_path);
    const size_t losses = count_of(out, "Controller disconnected; inputs released. Searching for "
                                        "it.\r\n");
    const size_t returns = count_of(out, "Controller connected again.\r\n");
    fprintf(stderr, "library lines: %zu disconnected, %zu connected again (expected %d each)\n",
            losses, returns, 2 * runs + 1);
    remove_folder(c.dir);
    return losses == returns && losses == 2 * static_cast<size_t>(runs) + 1 ? 0 : 1;
}
