// The Linux library against the controller as a real USB device: tevu-vctl's
// USB gadget, enumerated by the kernel, carried by usbhid and read through
// hidraw and the real libhidapi-hidraw; keys from a uinput keyboard through
// evdev. The library runs in this process as a game links it. Runs inside the
// VM (tests/vm), as root; one scenario a process:
//
//   usb_scenarios cycles|stops|signals|keys|load
//
// Prints "PASS what", "FAIL what: why" and "INFO figure" lines on stderr and
// ends with status 0 when every check passed. The library's own lines go to a
// file in a private folder, which is also its current folder.
#include "tevuio.h"
#include "vctl_process.h"
#include "verdicts.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <linux/uinput.h>
#include <map>
#include <random>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

namespace {

using clock_type = std::chrono::steady_clock;
using kit::wait_until;

std::string folder;
kit::vctl_process controller;
using verdict::check;
using verdict::failures;

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

struct figures {
    std::vector<double> values;
    void info(const char *what) const {
        if (values.empty())
            return;
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        fprintf(stderr, "INFO %s: median %.0f ms, worst %.0f ms (%zu)\n", what, v[v.size() / 2],
                v.back(), v.size());
    }
};

// What the host's callback saw last.
std::atomic<uint8_t> pressure[32];
std::atomic<uint8_t> opbtn_seen{0}, gamebtn_seen{0};
std::atomic<uint64_t> callbacks{0};

void on_slider(const uint8_t *p) {
    for (int i = 0; i < 32; i++)
        pressure[i].store(p[i], std::memory_order_relaxed);
    uint8_t op = 0, game = 0;
    tevu_io_jvs_poll(&op, &game);
    opbtn_seen.store(op, std::memory_order_relaxed);
    gamebtn_seen.store(game, std::memory_order_release);
    callbacks.fetch_add(1, std::memory_order_release);
}

constexpr int held_cell = 5;
bool held() {
    return pressure[held_cell].load() == 200 && (gamebtn_seen.load() & 1) != 0;
}
bool released() {
    return pressure[held_cell].load() == 0 && gamebtn_seen.load() == 0;
}

std::string library_output() {
    fflush(stdout);
    return kit::read_file(folder + "/library.out");
}

// The names in a folder of /proc/self.
std::vector<std::string> entries(const std::string &name) {
    std::vector<std::string> names;
    DIR *dir = opendir(("/proc/self/" + name).c_str());
    while (const dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(dir);
    return names;
}

// This process's open descriptors, and those of them that are hidraw nodes.
std::vector<std::string> open_files(bool hidraw_only) {
    std::vector<std::string> files;
    for (const std::string &fd : entries("fd")) {
        char target[256] = {};
        if (readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1) >= 0 &&
            (!hidraw_only || strncmp(target, "/dev/hidraw", 11) == 0))
            files.push_back(target);
    }
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    return files;
}

bool controller_ready() {
    return wait_until([] { return kit::vendor_nodes().size() == 2; });
}

bool start_controller(const std::vector<std::string> &extra = {}) {
    std::vector<std::string> args = {"--gadget"};
    args.insert(args.end(), extra.begin(), extra.end());
    return controller.start(VCTL_PATH, args, folder) && controller_ready();
}

// The controller enumerated (extra: its options), these steps played, then
// the library initialised and its slider started.
void start_running(std::initializer_list<const char *> steps = {},
                   const std::vector<std::string> &extra = {}) {
    check(start_controller(extra), "controller enumerated");
    for (const char *step : steps)
        controller.step(step);
    check(tevu_io_jvs_init() == 0, "init finds the controller");
    tevu_io_slider_start(on_slider);
}

bool frame_shown(const std::vector<vctl::controller> &states, const uint8_t *frame) {
    return !states.empty() && memcmp(states.back().leds, frame, sizeof states.back().leds) == 0;
}

// Frame k: compressible (black but LED 0) when even, else noise that never fits.
void make_frame(int k, uint8_t *frame) {
    std::mt19937 random(static_cast<unsigned>(k));
    for (size_t i = 0; i < report::frame_bytes; i++)
        frame[i] = k % 2 == 0 ? 0 : static_cast<uint8_t>(random());
    frame[0] = static_cast<uint8_t>(k + 1);
}

// --- Scenarios --------------------------------------------------------------------

// 50 unplugs and plugs with a cell touched and a button held throughout. The
// frame set before each unplug, by turns one that goes as feature report 0x0B
// and one that goes as output reports 0x04 and 0x05, is shown after the plug.
void cycles() {
    start_running({"touch 5", "button 1 down"});
    check(wait_until(held), "touch and button reach the callback");
    const std::vector<std::string> files_before = open_files(false);
    figures release, reconnect;
    int stuck = 0, wrong_nodes = 0, lights_missing = 0;
    const size_t cycles =
        getenv("TEVU_USB_CYCLES") != nullptr ? strtoul(getenv("TEVU_USB_CYCLES"), nullptr, 10) : 50;
    for (int k = 1; k <= static_cast<int>(cycles); k++) {
        uint8_t frame[report::frame_bytes];
        make_frame(k, frame);
        tevu_io_slider_set_leds(frame);
        auto start = clock_type::now();
        controller.step("unplug");
        if (!wait_until(released)) {
            stuck++;
            break;
        }
        release.values.push_back(ms_since(start));
        const size_t log_at = kit::read_file(controller.log_path).size();
        start = clock_type::now();
        controller.step("plug");
        if (!wait_until(held)) {
            stuck++;
            break;
        }
        reconnect.values.push_back(ms_since(start));
        // The controller lost its lights with its power: what it shows now
        // came from reports sent after the plug.
        if (!wait_until([&] {
                return frame_shown(
                    kit::replay_log(kit::read_file(controller.log_path).substr(log_at)), frame);
            })) {
            lights_missing++;
            fprintf(stderr,
                    "INFO cycle %d: the controller does not show frame %d; reports since the "
                    "plug:\n%s\n",
                    k, k, kit::read_file(controller.log_path).substr(log_at, 600).c_str());
        }
        if (open_files(true) != kit::vendor_nodes())
            wrong_nodes++;
    }
    const std::string out = library_output();
    check(stuck == 0, std::to_string(cycles) +
                          " unplug/plug cycles: inputs released at each unplug, back at each plug");
    check(kit::count_of(out, verdict::lost_line) == cycles &&
              kit::count_of(out, verdict::found_line) == cycles,
          "one line per loss and one per return", out.substr(0, 300));
    check(lights_missing == 0, "after each return the controller shows the last frame",
          std::to_string(lights_missing) + " missing");
    check(wrong_nodes == 0, "the library holds exactly the controller's present hidraw nodes");
    check(open_files(false) == files_before, "no descriptor leaked over the cycles");
    release.info("release after unplug");
    reconnect.info("reconnect after plug (callback sees the touch)");
    tevu_io_slider_stop();
}

// Stop, and stop with a new init, in each state of the controller.
void stops() {
    start_running({"touch 5", "button 1 down"});
    check(wait_until(held), "touch and button reach the callback");
    struct state {
        const char *name, *enter, *leave;
    };
    const state states[] = {{"connected", nullptr, nullptr},
                            {"silent", "silent on", "silent off"},
                            {"lost", "unplug", "plug"}};
    for (const state &st : states) {
        for (const bool reinit : {false, true}) {
            const std::string what =
                std::string(reinit ? "stop and init, " : "stop, ") + "controller " + st.name;
            if (st.enter != nullptr)
                controller.step(st.enter);
            if (std::string(st.name) == "lost")
                wait_until(released);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const auto start = clock_type::now();
            tevu_io_slider_stop();
            const double took = ms_since(start);
            // A lost controller makes init's two input searches count; no
            // other init fails, so the process stays below the limit.
            const int expected = std::string(st.name) == "lost" ? -1 : 0;
            const bool init_ok = !reinit || tevu_io_jvs_init() == expected;
            if (st.leave != nullptr)
                controller.step(st.leave);
            tevu_io_slider_start(on_slider);
            check(init_ok && took < 2000 && wait_until(held), what + ": touches resume",
                  "stop took " + std::to_string(took) + " ms");
            fprintf(stderr, "INFO %s: stop took %.1f ms\n", what.c_str(), took);
        }
    }
    tevu_io_slider_stop();
}

volatile sig_atomic_t signals_taken = 0;
void on_signal(int) {
    signals_taken = signals_taken + 1;
}

// A storm of signals on the library's threads, with and without SA_RESTART,
// while touches come and go: no signal is taken for an unplug.
void signals() {
    start_running();
    check(wait_until([] { return callbacks.load() > 10; }), "reports reach the callback");
    std::vector<long> threads;
    for (const std::string &task : entries("task"))
        if (atol(task.c_str()) != getpid())
            threads.push_back(atol(task.c_str()));
    for (const int flags : {0, SA_RESTART}) {
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sa.sa_flags = flags;
        sigaction(SIGUSR1, &sa, nullptr);
        signals_taken = 0;
        const uint64_t calls_before = callbacks.load();
        const auto start = clock_type::now();
        int touches = 0;
        while (ms_since(start) < 1500) {
            for (const long tid : threads)
                syscall(SYS_tgkill, getpid(), tid, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (static_cast<int>(ms_since(start)) / 50 > touches)
                controller.step(touches++ % 2 == 0 ? "touch 9" : "release 9");
        }
        controller.step("touch 7");
        const std::string mode = flags != 0 ? "with SA_RESTART" : "without SA_RESTART";
        check(wait_until([] { return pressure[7].load() == 200; }),
              "signal storm " + mode + ": the reports go on");
        fprintf(stderr, "INFO signal storm %s: %d signals taken, %llu callbacks in 1.5 s\n",
                mode.c_str(), static_cast<int>(signals_taken),
                static_cast<unsigned long long>(callbacks.load() - calls_before));
        controller.step("release 7");
    }
    check(library_output().find("Controller disconnected") == std::string::npos,
          "no signal is taken for an unplug");
    tevu_io_slider_stop();
}

// A keyboard of the kernel's own (uinput): keys through evdev, merged with
// the controller's buttons and touches; coins counted once per press.
struct uinput_keyboard {
    int fd = -1;
    bool create() {
        fd = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || ioctl(fd, UI_SET_EVBIT, EV_KEY) < 0)
            return false;
        for (int key = KEY_ESC; key <= KEY_F24; key++)
            ioctl(fd, UI_SET_KEYBIT, key);
        uinput_setup setup{};
        setup.id.bustype = BUS_VIRTUAL;
        snprintf(setup.name, sizeof setup.name, "tevu test keyboard");
        return ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ioctl(fd, UI_DEV_CREATE) == 0;
    }
    void key(uint16_t code, bool down) {
        const input_event events[2] = {{{}, EV_KEY, code, down ? 1 : 0},
                                       {{}, EV_SYN, SYN_REPORT, 0}};
        if (write(fd, events, sizeof events) != static_cast<ssize_t>(sizeof events))
            fprintf(stderr, "INFO uinput write: %s\n", strerror(errno));
    }
    ~uinput_keyboard() {
        if (fd >= 0) {
            ioctl(fd, UI_DEV_DESTROY);
            close(fd);
        }
    }
};

void keys() {
    uinput_keyboard keyboard;
    check(keyboard.create(), "uinput keyboard made", strerror(errno));
    start_running();
    uint16_t count = 0;
    tevu_io_jvs_read_coin_counter(&count);
    const uint16_t start_count = count;
    int counted = 0;
    for (int press = 1; press <= 5; press++) {
        keyboard.key(KEY_3, true); // the coin key, 0x33 by default
        counted += wait_until([&] {
            tevu_io_jvs_read_coin_counter(&count);
            return count == start_count + press;
        });
        keyboard.key(KEY_3, false);
        wait_until([&] { // a call must see the key up before the next press counts
            uint8_t op = 0, game = 0;
            tevu_io_jvs_poll(&op, &game);
            tevu_io_jvs_read_coin_counter(&count);
            return count == start_count + press;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        tevu_io_jvs_read_coin_counter(&count);
    }
    check(counted == 5 && count == start_count + 5, "5 presses of the coin key count 5 coins",
          std::to_string(count - start_count));
    keyboard.key(KEY_RIGHT, true); // game button 1
    controller.step("button 2 down");
    keyboard.key(KEY_1, true); // test
    check(wait_until([] { return gamebtn_seen.load() == 0x03 && opbtn_seen.load() == 0x01; }),
          "key and controller buttons are merged");
    keyboard.key(KEY_Q, true); // cells 0-3 at 20
    controller.step("touch 5");
    check(wait_until([] {
              return pressure[0].load() == 20 && pressure[3].load() == 20 &&
                     pressure[4].load() == 0 && pressure[5].load() == 200;
          }),
          "a key touches its four cells at 20, the controller its cell at 200");
    tevu_io_slider_stop();
}

// CPU seconds of each of this process's threads, by thread ID.
std::map<long, double> thread_cpu() {
    std::map<long, double> cpu;
    for (const std::string &task : entries("task")) {
        unsigned long long ns = 0;
        const std::string stat = kit::read_file("/proc/self/task/" + task + "/schedstat");
        if (sscanf(stat.c_str(), "%llu", &ns) == 1)
            cpu[atol(task.c_str())] = static_cast<double>(ns) / 1e9;
    }
    return cpu;
}

// Figures through the real stack: input reports a second, report-to-callback
// latency, light reports a second and the host's CPU.
void load() {
    start_running({}, {"--ack-rate", "0"});
    wait_until([] { return callbacks.load() > 100; });
    figures latency;
    for (int i = 0; i < 20; i++) {
        const bool touch = i % 2 == 0;
        const auto start = clock_type::now();
        controller.step(touch ? "touch 12" : "release 12");
        if (wait_until([&] { return (pressure[12].load() == 200) == touch; }))
            latency.values.push_back(ms_since(start));
    }
    latency.info("script step to callback (input report through usbhid and hidraw)");
    rusage before{}, after{};
    const std::map<long, double> threads_before = thread_cpu();
    getrusage(RUSAGE_SELF, &before);
    const uint64_t calls = callbacks.load();
    const size_t reports_before = kit::count_of(kit::read_file(controller.log_path), "\n");
    const auto start = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const size_t reports =
        kit::count_of(kit::read_file(controller.log_path), "\n") - reports_before;
    const double seconds = ms_since(start) / 1000;
    getrusage(RUSAGE_SELF, &after);
    std::string per_thread;
    for (const auto &[tid, cpu] : thread_cpu())
        if (threads_before.count(tid) != 0)
            per_thread += " " +
                          std::to_string(static_cast<int>(1000 * (cpu - threads_before.at(tid)))) +
                          " ms";
    tevu_io_slider_stop();
    const double cpu = static_cast<double>(after.ru_utime.tv_sec - before.ru_utime.tv_sec +
                                           after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                       static_cast<double>(after.ru_utime.tv_usec - before.ru_utime.tv_usec +
                                           after.ru_stime.tv_usec - before.ru_stime.tv_usec) /
                           1e6;
    fprintf(stderr, "INFO %.0f callbacks a second (one per input report read)\n",
            static_cast<double>(callbacks.load() - calls) / seconds);
    fprintf(stderr, "INFO host CPU %.1f%% of a core (threads in start order:%s over %.1f s)\n",
            100 * cpu / seconds, per_thread.c_str(), seconds);
    fprintf(stderr, "INFO %.0f light reports a second taken by the controller\n",
            static_cast<double>(reports) / seconds);
}

} // namespace

int main(int argc, char **argv) {
    const std::map<std::string, void (*)()> scenarios = {
        {"cycles", cycles}, {"stops", stops}, {"signals", signals}, {"keys", keys}, {"load", load}};
    const auto scenario = argc == 2 ? scenarios.find(argv[1]) : scenarios.end();
    if (scenario == scenarios.end()) {
        fprintf(stderr, "usage: usb_scenarios cycles|stops|signals|keys|load\n");
        return 2;
    }
    char pattern[] = "/tmp/tevu-usb-XXXXXX";
    folder = mkdtemp(pattern);
    const int out = open((folder + "/library.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(folder.c_str()) != 0 || dup2(out, STDOUT_FILENO) < 0)
        return 2;
    scenario->second();
    check(controller.end(), "controller withdrew its gadget and ended");
    if (failures != 0)
        fprintf(stderr, "controller's messages:\n%s\nlibrary's lines:\n%s\n",
                controller.messages().c_str(), library_output().c_str());
    return failures == 0 ? 0 : 1;
}
