// LED delivery over the virtual controller: a host that links the real
// libtevuio.so offers numbered frames to tevu-vctl, which takes one light
// report per millisecond (--ack-rate) and logs every report it takes. The log
// is then replayed through the controller's model to find which frames the
// controller showed whole.
//
//   led_delivery [seconds per rate phase (3)] [bursts (300)] [ack rate (1000)]
//
// Prints, for compressible and for incompressible frames offered at 1 kHz, the
// whole frames shown per second; for bursts of two to four frames a few
// milliseconds apart followed by 40 ms of silence, the share that end on the
// burst's last frame; and how many passes began on a mix of two frames.
#include "tevuio.h"
#include "vctl_model.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct offered {
    std::vector<bool> compressible; // by frame number; 0 is the dark start
};

// Frame number seq in host LEDs 0 and 31; compressible frames are black
// otherwise, the others noise that never fits the feature report.
void make_frame(uint32_t seq, bool compressible, uint8_t frame[96]) {
    uint32_t x = seq * 2654435761u + 1;
    for (int i = 0; i < 96; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        frame[i] = compressible || seq == 0 ? 0 : static_cast<uint8_t>(x);
    }
    for (int c = 0; c < 3; ++c)
        frame[c] = frame[93 + c] = static_cast<uint8_t>(seq >> (8 * c));
}

uint32_t seq_at(const uint8_t *led) {
    return static_cast<uint32_t>(led[0] | led[1] << 8 | led[2] << 16);
}

// The frame number the LEDs show whole, or -1 for anything else.
long whole_frame(const uint8_t *leds, const offered &o) {
    const uint32_t seq = seq_at(leds);
    if (seq >= o.compressible.size())
        return -1;
    uint8_t frame[96];
    make_frame(seq, o.compressible[seq], frame);
    return std::memcmp(frame, leds, 96) == 0 ? static_cast<long>(seq) : -1;
}

uint32_t seq_counter = 0;
offered offer;

void send(bool compressible) {
    uint8_t frame[96];
    make_frame(++seq_counter, compressible, frame);
    offer.compressible.push_back(compressible);
    tevu_io_slider_set_leds(frame);
}

void on_slider(const uint8_t *) {}

int count_entries(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    int n = 0;
    if (d == nullptr)
        return 0;
    while (dirent *e = readdir(d))
        n += std::strncmp(e->d_name, "hid#", 4) == 0 ? 1 : 0;
    closedir(d);
    return n;
}

} // namespace

int main(int argc, char **argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
    const int bursts = argc > 2 ? std::atoi(argv[2]) : 300;
    const std::string ack_rate = argc > 3 ? argv[3] : "1000";
    char dir_template[] = "/tmp/led_delivery.XXXXXX";
    if (mkdtemp(dir_template) == nullptr)
        return 1;
    const std::string dir = dir_template, log = dir + "/reports.log";
    std::ofstream(dir + "/script.txt") << "wait host\n";

    const pid_t vctl = fork();
    if (vctl == 0) {
        if (!freopen("/dev/null", "r", stdin))
            _exit(127);
        execl(VCTL_PATH, VCTL_PATH, "--dir", dir.c_str(), "--no-display", "--quiet", "--script",
              (dir + "/script.txt").c_str(), "--ack-rate", ack_rate.c_str(), "--log", log.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500 && count_entries(dir) < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    setenv("TEVUIO_VIRTUAL_HID_DIR", dir.c_str(), 1);
    if (chdir(dir.c_str()) != 0 || tevu_io_jvs_init() != 0) {
        std::printf("no controller\n");
        kill(vctl, SIGTERM);
        return 1;
    }
    tevu_io_slider_init();
    tevu_io_slider_start(on_slider);
    offer.compressible.push_back(true); // frame 0: dark

    // Rate phases: a frame every millisecond.
    struct phase {
        const char *name;
        uint32_t first, last;
    } phases[2] = {{"compressible", 0, 0}, {"incompressible", 0, 0}};
    for (int p = 0; p < 2; ++p) {
        phases[p].first = seq_counter + 1;
        auto next = clock_type::now();
        const auto end = next + std::chrono::seconds(seconds);
        while (next < end) {
            send(p == 0);
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
        }
        phases[p].last = seq_counter;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    // Bursts: two to four frames of either kind up to 3 ms apart, then silence.
    std::mt19937 random(1208);
    std::vector<std::pair<uint32_t, uint32_t>> burst_frames;
    for (int b = 0; b < bursts; ++b) {
        const uint32_t first = seq_counter + 1;
        const int frames = 2 + static_cast<int>(random() % 3);
        for (int i = 0; i < frames; ++i) {
            if (i > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
            send(random() % 2 == 0);
        }
        burst_frames.emplace_back(first, seq_counter);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    tevu_io_slider_stop();
    kill(vctl, SIGTERM);
    waitpid(vctl, nullptr, 0);

    // Replay: which frames the controller showed whole, in order, and
    // whether each pass (a lamp report) began on a whole frame.
    std::ifstream in(log);
    std::string line;
    vctl::controller c;
    std::vector<bool> shown(offer.compressible.size(), false);
    long last_shown = 0, passes = 0, mixed_passes = 0, backwards = 0;
    while (std::getline(in, line)) {
        std::vector<uint8_t> report;
        for (size_t at = 2; at + 1 < line.size(); at += 3)
            report.push_back(static_cast<uint8_t>(std::stoul(line.substr(at, 2), nullptr, 16)));
        if (report.empty())
            continue;
        if (report[0] == vctl::report_lamps) {
            passes++;
            mixed_passes += whole_frame(c.leds, offer) < 0 ? 1 : 0;
        }
        vctl::take_report(c, line[0] == 'F' ? PLAT_REPORT_FEATURE : PLAT_REPORT_OUTPUT,
                          report.data(), report.size());
        const long seq = whole_frame(c.leds, offer);
        if (seq >= 0 && seq != last_shown) {
            backwards += seq < last_shown ? 1 : 0;
            shown[static_cast<size_t>(seq)] = true;
            last_shown = seq;
        }
    }
    std::printf("ack rate %s reports/s, %ld passes, %ld began on a mix of frames, %ld went "
                "back to an older frame\n",
                ack_rate.c_str(), passes, mixed_passes, backwards);
    for (const phase &p : phases) {
        long n = 0;
        for (uint32_t s = p.first; s <= p.last; ++s)
            n += shown[s] ? 1 : 0;
        std::printf("%-15s offered %u frames in %d s, shown whole %ld: %.0f frames/s\n", p.name,
                    p.last - p.first + 1, seconds, n, static_cast<double>(n) / seconds);
    }
    long ended = 0;
    for (const auto &b : burst_frames)
        ended += shown[b.second] ? 1 : 0;
    std::printf("bursts: %ld of %zu end on their last frame (%.1f%%)\n", ended, burst_frames.size(),
                100.0 * static_cast<double>(ended) / static_cast<double>(burst_frames.size()));
    std::remove(log.c_str());
    std::remove((dir + "/script.txt").c_str());
    rmdir(dir.c_str());
    return 0;
}
