// End to end: the real tevutest (with the real libtevuio.so) against the
// virtual controller tevu-vctl, each in its own process, in a private temp
// folder that holds the sockets and serves as the tool's current directory.
// With TEVU_E2E_TRANSPORT=gadget (as root, on a machine with a USB device
// controller, e.g. the VM of tests/vm) the controller is a real USB gadget
// that the library finds through hidraw; the tests of the sockets themselves
// are skipped then.
// The controller reads its script from a pipe, so each step is sent when the
// previous one has been seen; every wait is bounded and every process started
// here is killed at the end.
// The shared kit lies beside this folder.
#include "../support/vctl_process.h"
#include "vctl_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// Generous: the suite also runs under the sanitizers on a shared machine.
const std::chrono::seconds patience(15);

const char banner[] = "tevuTEST\r\n---------\r\n"
                      "tevu_io_jvs_init() : OK\r\n"
                      "tevu_io_slider_init() : OK\r\n"
                      "tevu_io_slider_start() : OK\r\n"
                      "Init OK. Running input loop. Press Ctrl+C to exit.\r\n";

using kit::count_of;
using kit::read_file;
using kit::wait_until;

// The text tevutest prints for one pressure change, with c8 at the touched cells.
std::string pressure_block(uint32_t touched) {
    std::string text = "Init OK. Running input loop. Press Ctrl+C to exit.\r\n"
                       "slider value changed! pressure array:\r\n";
    for (int c = 0; c < 32; c++) {
        text += (touched >> c) & 1u ? "c8 " : "00 ";
    }
    return text + "\r\n";
}

// CPU seconds (user + system) of a process, or of one of its threads.
double cpu_seconds(pid_t pid, pid_t tid = 0) {
    const std::string path =
        tid == 0 ? "/proc/" + std::to_string(pid) + "/stat"
                 : "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat";
    const std::string stat = read_file(path);
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool gadget_mode() {
    const char *transport = getenv("TEVU_E2E_TRANSPORT");
    return transport != nullptr && strcmp(transport, "gadget") == 0;
}

#define SKIP_WITH_GADGET()                                                                         \
    if (gadget_mode())                                                                             \
    GTEST_SKIP() << "about the socket transport"

// The hidraw nodes of vendor 0f0d that exist in /dev.
long controller_nodes() {
    const std::vector<std::string> nodes = kit::vendor_nodes();
    return std::count_if(nodes.begin(), nodes.end(),
                         [](const std::string &node) { return access(node.c_str(), F_OK) == 0; });
}

struct child {
    pid_t pid = -1;
    int stdin_fd = -1;
    int status = 0;
    bool reaped = false;
};

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tevu-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
        dir_ = pattern;
    }

    void TearDown() override {
        // A gadget is removed by its controller as it ends.
        if (gadget_mode() && vctl_started_ && alive(vctl_)) {
            kill(children_[vctl_].pid, SIGTERM);
            EXPECT_TRUE(wait_exit(vctl_)) << "the controller did not end on SIGTERM";
        }
        for (child &c : children_) {
            if (c.stdin_fd >= 0) {
                close(c.stdin_fd);
            }
            if (!c.reaped) {
                kill(c.pid, SIGKILL);
                waitpid(c.pid, nullptr, 0);
            }
        }
        // A sanitizer build reports on the children's stderr, which no one else reads.
        for (const char *name : {"tool.err", "vctl.err", "host.err"}) {
            const std::string text = file(name);
            if (text.find("Sanitizer") != std::string::npos ||
                text.find("runtime error") != std::string::npos) {
                ADD_FAILURE() << name << ":\n" << text;
            }
        }
        if (HasFailure()) {
            for (const char *name : {"tool.out", "tool.err", "vctl.err", "host.out"}) {
                const std::string text = file(name);
                if (!text.empty()) {
                    printf("--- %s ---\n%s\n", name, text.c_str());
                }
            }
        }
        const std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0) {
            printf("could not remove %s\n", dir_.c_str());
        }
    }

    // Starts a program in the temp folder with the virtual HID folder set,
    // its output in files there. Returns the index in children_.
    // as_nobody: run as user nobody when the test runs as root, so that file
    // permissions apply to it.
    size_t spawn(const std::vector<std::string> &args, const std::string &out_name,
                 const std::string &err_name, bool with_stdin_pipe, bool as_nobody = false) {
        int pipe_fds[2] = {-1, -1};
        if (with_stdin_pipe) {
            EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        }
        const std::string out_path = dir_ + "/" + out_name;
        const std::string err_path = dir_ + "/" + err_name;
        std::vector<char *> argv;
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir_.c_str()) != 0) {
                _exit(126);
            }
            if (!gadget_mode()) {
                setenv("TEVUIO_VIRTUAL_HID_DIR", dir_.c_str(), 1);
            }
            const int in = with_stdin_pipe ? pipe_fds[0] : open("/dev/null", O_RDONLY);
            const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            if (as_nobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                _exit(125);
            }
            // A fresh signal state: SIGINT must end the tool as it would at a console.
            signal(SIGINT, SIG_DFL);
            execv(argv[0], argv.data());
            _exit(127);
        }
        EXPECT_GT(pid, 0);
        child c;
        c.pid = pid;
        if (with_stdin_pipe) {
            close(pipe_fds[0]);
            c.stdin_fd = pipe_fds[1];
        }
        children_.push_back(c);
        return children_.size() - 1;
    }

    // The controller, taking its script line by line from the test.
    void start_controller(const std::vector<std::string> &extra = {}) {
        std::vector<std::string> args = {VCTL_PATH, "--dir",        dir_,    "--script",
                                         "-",       "--no-display", "--log", dir_ + "/reports.log"};
        if (gadget_mode()) {
            args[1] = "--gadget";
            args.erase(args.begin() + 2);
        }
        args.insert(args.end(), extra.begin(), extra.end());
        vctl_ = spawn(args, "vctl.out", "vctl.err", true);
        vctl_started_ = true;
        // Ready once its interfaces are published, and a gadget's are known
        // to the host.
        const bool published = wait_until([&] {
            const std::string err = file("vctl.err");
            return err.find("publishing") != std::string::npos;
        });
        ASSERT_TRUE(published) << file("vctl.err");
        const bool one = std::find(extra.begin(), extra.end(), "--interfaces") != extra.end();
        ASSERT_TRUE(!gadget_mode() || wait_until([&] {
            return controller_nodes() == (one ? 1 : 2);
        })) << "hidraw nodes of the gadget: "
            << controller_nodes();
    }

    void start_tool(const std::vector<std::string> &options = {}, bool as_nobody = false) {
        std::vector<std::string> args = {TEVUTEST_PATH};
        args.insert(args.end(), options.begin(), options.end());
        tool_ = spawn(args, "tool.out", "tool.err", false, as_nobody);
    }

    void script(const std::string &line) {
        const std::string text = line + "\n";
        ASSERT_EQ(write(children_[vctl_].stdin_fd, text.data(), text.size()),
                  static_cast<ssize_t>(text.size()));
    }

    // A file in the temp folder.
    std::string file(const std::string &name) const { return read_file(dir_ + "/" + name); }
    std::string tool_output() const { return file("tool.out"); }

    bool wait_for_output(const std::string &text) {
        return wait_until([&] { return tool_output().find(text) != std::string::npos; });
    }

    // Waits for the process to end; false when it has not ended in time.
    bool wait_exit(size_t index, std::chrono::milliseconds limit = patience) {
        child &c = children_[index];
        return wait_until(
            [&] {
                if (!c.reaped && waitpid(c.pid, &c.status, WNOHANG) == c.pid) {
                    c.reaped = true;
                }
                return c.reaped;
            },
            limit);
    }

    bool alive(size_t index) {
        child &c = children_[index];
        if (!c.reaped && waitpid(c.pid, &c.status, WNOHANG) == c.pid) {
            c.reaped = true;
        }
        return !c.reaped;
    }

    // Plays back the controller's report log: the state after every report
    // (and in *ids the ID of each report).
    std::vector<vctl::controller> replay_reports(std::vector<uint8_t> *ids = nullptr) const {
        return kit::replay_log(file("reports.log"), ids);
    }

    // True when the LEDs now show exactly the lit cells in 7f 23 00.
    bool leds_show(uint32_t lit) const {
        const std::vector<vctl::controller> states = replay_reports();
        if (states.empty()) {
            return false;
        }
        const vctl::controller &c = states.back();
        for (int i = 0; i < 32; i++) {
            const bool on = (lit >> i) & 1u;
            const uint8_t expected[3] = {static_cast<uint8_t>(on ? 0x7F : 0),
                                         static_cast<uint8_t>(on ? 0x23 : 0), 0};
            if (memcmp(c.leds + 3 * i, expected, 3) != 0) {
                return false;
            }
        }
        return true;
    }

    bool lamps_show(uint8_t l0, uint8_t l1, uint8_t l2, uint8_t l3) const {
        const std::vector<vctl::controller> states = replay_reports();
        if (states.empty()) {
            return false;
        }
        const uint8_t *lamps = states.back().lamps;
        return lamps[0] == l0 && lamps[1] == l1 && lamps[2] == l2 && lamps[3] == l3;
    }

    // The host program run to its end (the slider 300 ms, then stopped): its
    // output, once it ended with status 0.
    std::string run_host() {
        const size_t host = spawn({HOST_PATH, "300"}, "host.out", "host.err", false);
        EXPECT_TRUE(wait_exit(host, std::chrono::seconds(20))) << file("host.out");
        EXPECT_TRUE(WIFEXITED(children_[host].status));
        EXPECT_EQ(WEXITSTATUS(children_[host].status), 0);
        return file("host.out");
    }

    // A controller with only these interfaces: the tool starts, a touch on
    // cell reaches it, and no light report goes out (no lighting interface).
    void touch_without_lights(const char *interfaces, int cell) {
        ASSERT_NO_FATAL_FAILURE(start_controller({"--interfaces", interfaces}));
        start_tool();
        ASSERT_TRUE(wait_for_output(banner)) << tool_output();
        script("touch " + std::to_string(cell));
        ASSERT_TRUE(wait_for_output(pressure_block(1u << cell))) << tool_output();
        EXPECT_TRUE(replay_reports().empty());
    }

    void start_connected_tool() {
        ASSERT_NO_FATAL_FAILURE(start_controller());
        start_tool();
        ASSERT_TRUE(wait_for_output(banner)) << tool_output();
    }

    std::string dir_;
    std::vector<child> children_;
    size_t vctl_ = 0;
    bool vctl_started_ = false;
    size_t tool_ = 0;
};

TEST_F(EndToEnd, UntouchedControllerPrintsOnlyTheBannerAndSendsDarkFrames) {
    ASSERT_NO_FATAL_FAILURE(start_connected_tool());
    // The callback has run many times once dark frames and lamp reports arrive.
    ASSERT_TRUE(wait_until([&] { return leds_show(0) && replay_reports().size() >= 20; }));
    EXPECT_EQ(tool_output(), banner);
    EXPECT_TRUE(lamps_show(0xFF, 0xFF, 0xFF, 0xFF));
}

TEST_F(EndToEnd, TouchPrintsPressuresAndLightsTheCellReleaseDarksIt) {
    ASSERT_NO_FATAL_FAILURE(start_connected_tool());
    script("touch 5");
    ASSERT_TRUE(wait_for_output(pressure_block(1u << 5))) << tool_output();
    EXPECT_TRUE(wait_until([&] { return leds_show(1u << 5); }));

    script("release 5");
    ASSERT_TRUE(wait_for_output(std::string(pressure_block(1u << 5)) + pressure_block(0)))
        << tool_output();
    EXPECT_TRUE(wait_until([&] { return leds_show(0); }));
    // Exactly two pressure changes, nothing else after the banner.
    EXPECT_EQ(tool_output(), std::string(banner) + pressure_block(1u << 5) + pressure_block(0));
}

// The tool's lines for the button bytes, step by step (which bit each button
// sets is the library's and is tested there).
TEST_F(EndToEnd, ButtonsPrintTheirBytes) {
    ASSERT_NO_FATAL_FAILURE(start_connected_tool());
    const struct {
        const char *step, *printed;
    } steps[] = {
        {"button test down", "opbtn changed!\r\n01\r\n"},
        {"button test up", "opbtn changed!\r\n00\r\n"},
        {"button service down", "opbtn changed!\r\n02\r\n"},
        {"button 1 down", "buttons changed!\r\n01\r\n"},
        {"button 3 down", "buttons changed!\r\n05\r\n"},
        {"button 5 down", "buttons changed!\r\n15\r\n"},
        {"buttons 0", "opbtn changed!\r\n00\r\nbuttons changed!\r\n00\r\n"},
    };
    std::string expected = banner;
    for (const auto &step : steps) {
        script(step.step);
        expected += step.printed;
        ASSERT_TRUE(wait_for_output(expected)) << step.step << "\n" << tool_output();
    }
    EXPECT_EQ(tool_output(), expected);
}

TEST_F(EndToEnd, NoControllerPrintsErrorAndExitsWithStatus255) {
    start_tool(); // nothing published in the folder
    ASSERT_TRUE(wait_exit(tool_));
    const child &c = children_[tool_];
    ASSERT_TRUE(WIFEXITED(c.status));
    EXPECT_EQ(WEXITSTATUS(c.status), 255); // exit(-1) as the shell sees it
    const std::string out = tool_output();
    EXPECT_EQ(out.substr(0, 21), "tevuTEST\r\n---------\r\n");
    const std::string tail = "tevu_io_jvs_init() : ERROR\r\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(EndToEnd, CtrlCEndsTheToolAtOnce) {
    ASSERT_NO_FATAL_FAILURE(start_connected_tool());
    kill(children_[tool_].pid, SIGINT);
    ASSERT_TRUE(wait_exit(tool_, std::chrono::seconds(5)));
    EXPECT_TRUE(WIFSIGNALED(children_[tool_].status));
    EXPECT_EQ(WTERMSIG(children_[tool_].status), SIGINT);
}

// Two unplug/plug cycles with a cell touched and a button held throughout: each
// unplug releases both in one go behind the library's one line; each plug
// brings the controller's state back and lights resume, all without a new init.
TEST_F(EndToEnd, UnplugReleasesInputsAndPlugResumesInputsAndLights) {
    ASSERT_NO_FATAL_FAILURE(start_connected_tool());
    const std::string held = pressure_block(1u << 5) + "buttons changed!\r\n01\r\n";
    const std::string released = "Controller disconnected; inputs released. Searching for it.\r\n" +
                                 pressure_block(0) + "buttons changed!\r\n00\r\n";
    std::string expected = banner + held;
    script("touch 5");
    script("button 1 down");
    ASSERT_TRUE(wait_for_output(expected)) << tool_output();
    for (int cycle = 1; cycle <= 2; cycle++) {
        script("unplug");
        expected += released;
        ASSERT_TRUE(wait_for_output(expected)) << tool_output();
        ASSERT_TRUE(wait_until(
            [&] { return count_of(file("vctl.err"), "unplugged") == static_cast<size_t>(cycle); }));
        if (cycle == 1) { // searching for it leaves the processor to others
            const double before = cpu_seconds(children_[tool_].pid);
            std::this_thread::sleep_for(std::chrono::seconds(2));
            const double used = cpu_seconds(children_[tool_].pid) - before;
            printf("tool while the controller is away: %.2f s CPU over 2 s\n", used);
            EXPECT_LT(used, 1.0); // well below one core
        }
        // The controller takes no report while it is away: what the log gets
        // from here on came after the plug.
        const size_t log_at = file("reports.log").size();

        script("plug");
        expected += "Controller connected again.\r\n" + held;
        ASSERT_TRUE(wait_for_output(expected)) << tool_output();
        const uint32_t cell = 10u + static_cast<uint32_t>(cycle);
        script("touch " + std::to_string(cell));
        expected += pressure_block((1u << 5) | (1u << cell));
        ASSERT_TRUE(wait_for_output(expected)) << tool_output();
        EXPECT_TRUE(wait_until([&] { return leds_show((1u << 5) | (1u << cell)); }));
        script("release " + std::to_string(cell));
        expected += pressure_block(1u << 5);
        ASSERT_TRUE(wait_for_output(expected)) << tool_output();

        // Lamp and LED reports arrive again: button 1 darkens lamp 3, only cell 5 is lit.
        EXPECT_TRUE(wait_until([&] {
            const std::string log = file("reports.log");
            return log.find("O 06 ", log_at) != std::string::npos &&
                   (log.find("O 04 ", log_at) != std::string::npos ||
                    log.find("F 0b ", log_at) != std::string::npos) &&
                   leds_show(1u << 5) && lamps_show(0xFF, 0xFF, 0xFF, 0x00);
        }));
    }
    EXPECT_EQ(tool_output(), expected);
}

TEST_F(EndToEnd, SilentControllerLetsAHostStopPromptly) {
    ASSERT_NO_FATAL_FAILURE(start_controller({"--silent"}));
    // Nothing was sent: at most the pass that the stop cut short called back.
    const std::string out = run_host();
    EXPECT_TRUE(out == "started\nstopped after 0 callbacks\n" ||
                out == "started\nstopped after 1 callbacks\n")
        << out;
}

TEST_F(EndToEnd, TalkingControllerLetsAHostStopPromptly) {
    ASSERT_NO_FATAL_FAILURE(start_controller());
    const std::string out = run_host();
    EXPECT_EQ(out.rfind("started\nstopped after ", 0), 0u) << out;
    EXPECT_EQ(out.find("after 0 callbacks"), std::string::npos) << out;
}

TEST_F(EndToEnd, InputOnlyControllerWorksWithoutLights) {
    touch_without_lights("input", 3);
}

TEST_F(EndToEnd, SingleInterfaceDeviceIsFoundByTheFallbackSearch) {
    touch_without_lights("single", 30);
}

TEST_F(EndToEnd, IdleMainThreadWaitsAndCpuFigures) {
    ASSERT_NO_FATAL_FAILURE(start_connected_tool());
    const pid_t tool = children_[tool_].pid;
    const pid_t vctl = children_[vctl_].pid;
    const double tool_before = cpu_seconds(tool);
    const double main_before = cpu_seconds(tool, tool);
    const double vctl_before = cpu_seconds(vctl);
    const auto start = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    const double tool_used = cpu_seconds(tool) - tool_before;
    const double main_used = cpu_seconds(tool, tool) - main_before;
    const double vctl_used = cpu_seconds(vctl) - vctl_before;
    printf("idle %.1f s, 1000 input reports/s: tevutest+library %.2f s CPU (%.1f%% of a core; "
           "main thread %.2f s), tevu-vctl %.2f s CPU (%.1f%%)\n",
           seconds, tool_used, 100 * tool_used / seconds, main_used, vctl_used,
           100 * vctl_used / seconds);
    RecordProperty("tool_cpu_seconds", std::to_string(tool_used));
    RecordProperty("vctl_cpu_seconds", std::to_string(vctl_used));
    ASSERT_TRUE(alive(tool_));
    EXPECT_LT(tool_used, 1.5 * seconds); // sanity only: less than one and a half cores
    EXPECT_LT(main_used, 0.1 * seconds); // it waits; a spinning loop would take a core
}

// The controller's two sockets in the temp folder.
const char input_socket[] = "/0f0d-7001-00.tevu-vctl";
const char lighting_socket[] = "/0f0d-7001-01.tevu-vctl";

// --- tevutest --doctor ----------------------------------------------------------

// The report's sections; "@" stands for the temp folder.
const char doctor_configuration[] =
    "Configuration\r\n"
    "  file: not found: every key at its default (looked for @/morvantel.ini)\r\n"
    "  [tevuio] hid_offset  0                      default\r\n"
    "  [io3] test           0x31 (1)               default\r\n"
    "  [io3] service        0x32 (2)               default\r\n"
    "  [io3] coin           0x33 (3)               default\r\n"
    "  [buttons] key1       0x27 (right arrow)     default\r\n"
    "  [buttons] key2       0x28 (down arrow)      default\r\n"
    "  [buttons] key3       0x25 (left arrow)      default\r\n"
    "  [buttons] key4       0x26 (up arrow)        default\r\n"
    "  [buttons] key5       0x20 (space)           default\r\n"
    "  [slider] cell1       0x51 (Q)               default\r\n"
    "  [slider] cell2       0x57 (W)               default\r\n"
    "  [slider] cell3       0x45 (E)               default\r\n"
    "  [slider] cell4       0x52 (R)               default\r\n"
    "  [slider] cell5       0x55 (U)               default\r\n"
    "  [slider] cell6       0x49 (I)               default\r\n"
    "  [slider] cell7       0x4F (O)               default\r\n"
    "  [slider] cell8       0x50 (P)               default\r\n"
    "  lamps: follow the controller's buttons (no hid_offset)\r\n";
const char doctor_light_check[] =
    "Light check (watch the controller)\r\n"
    "  LEDs 0 to 31 lit white one at a time (feature report 0x0B each): done\r\n"
    "  all 32 LEDs in 32 colours (output reports 0x04 and 0x05): done\r\n"
    "  lamps: lit while game buttons 4, 3, 2, 1 (lamps 0-3) are released, dark while held; the "
    "library lights them from the buttons, tevutest cannot set them: no button held\r\n";
const char input_listed[] = "  interface 0: virtual:@/0f0d-7001-00.tevu-vctl: ";
const char lighting_listed[] = "  interface 1: virtual:@/0f0d-7001-01.tevu-vctl: opened\r\n";
const char denied[] =
    "access denied: the socket refuses this user (another user's program holds it)";

struct doctor_case {
    const char *name;
    std::vector<std::string> controller; // tevu-vctl's options; {"none"}: no controller
    bool deny_input;                     // the input socket refuses the tool's user
    std::string interfaces;              // the Controller section after its title
    bool reads;                          // the live figures show input reports
    bool light_check;
    std::string verdict;
    int status;
};

const doctor_case doctor_cases[] = {
    {"Both",
     {},
     false,
     input_listed + std::string("opened\r\n") + lighting_listed +
         "  tevu_io_jvs_init() : OK\r\n  input: interface 0; lighting: interface 1\r\n",
     true,
     true,
     "all is well.",
     0},
    {"InputOnly",
     {"--interfaces", "input"},
     false,
     input_listed + std::string("opened\r\n") +
         "  tevu_io_jvs_init() : OK\r\n  input: interface 0; lighting: none\r\n"
         "  warning: no lighting interface: the LEDs and lamps stay dark\r\n",
     true,
     false,
     "usable, with 1 warning above.",
     1},
    {"LightingOnly",
     {"--interfaces", "lighting"},
     false,
     lighting_listed + std::string("  tevu_io_jvs_init() : OK\r\n") +
         "  input: interface 1; lighting: interface 1\r\n",
     false,
     true,
     "the controller cannot be used: it sent no input report (no input interface, or a silent "
     "controller).",
     2},
    {"None",
     {"none"},
     false,
     "  not found: no interface of vendor 0x0F0D (is it plugged in?)\r\n"
     "  tevu_io_jvs_init() : ERROR\r\n",
     false,
     false,
     "the controller cannot be used: no controller found (is it plugged in?).",
     2},
    {"HeldByAnotherProcess",
     {},
     true,
     input_listed + std::string("not opened: ") + denied + "\r\n" + lighting_listed +
         "Could not open detected device (err = d).\r\n"
         "Could not open detected device (err = d).\r\n"
         "  tevu_io_jvs_init() : ERROR\r\n",
     false,
     false,
     "the controller cannot be used: its interfaces could not be opened: " + std::string(denied) +
         ".",
     2},
};

// Test names say the case, not its bytes.
void PrintTo(const doctor_case &c, std::ostream *os) {
    *os << c.name;
}

std::string in_folder(std::string text, const std::string &dir) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
        text.replace(at, 1, dir);
        at += dir.size();
    }
    return text;
}

class Doctor : public EndToEnd, public ::testing::WithParamInterface<doctor_case> {};

TEST_P(Doctor, PrintsItsSectionsAndEndsWithItsVerdict) {
    const doctor_case &c = GetParam();
    if (c.controller != std::vector<std::string>{"none"}) {
        ASSERT_NO_FATAL_FAILURE(start_controller(c.controller));
    }
    if (c.deny_input) {
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        ASSERT_EQ(chmod((dir_ + input_socket).c_str(), 0), 0);
        ASSERT_EQ(chmod((dir_ + lighting_socket).c_str(), 0666), 0);
    }
    const auto start = clock_type::now();
    start_tool({"--doctor"}, c.deny_input);
    ASSERT_TRUE(wait_exit(tool_)) << tool_output();
    printf("doctor, %s: %.2f s\n", c.name,
           std::chrono::duration<double>(clock_type::now() - start).count());
    ASSERT_TRUE(WIFEXITED(children_[tool_].status));
    EXPECT_EQ(WEXITSTATUS(children_[tool_].status), c.status);

    std::string expected = "tevutest --doctor\r\n\r\n" + in_folder(doctor_configuration, dir_) +
                           "\r\nWarnings\r\n  none\r\n\r\nController (vendor 0x0F0D)\r\n" +
                           in_folder(c.interfaces, dir_);
    const std::string out = tool_output();
    if (c.reads || c.light_check) {
        // The live figures vary; their lines and what they say do not.
        const std::regex live("\r\nLive figures \\(2 s: touch the slider, press the buttons\\)\r\n"
                              "  input reports read: ([0-9]+) per second \\(([0-9]+) in 2.[0-9] "
                              "s\\)\r\n  touches seen: none\r\n  buttons seen: none\r\n"
                              "  lighting: (none: the library drops every frame|([0-9]+) frames "
                              "of touched cells, ([0-9]+) as feature report 0x0B, 0 as output "
                              "reports 0x04 and 0x05)\r\n");
        std::smatch figures;
        ASSERT_TRUE(std::regex_search(out, figures, live)) << out;
        printf("doctor, %s: %s input reports read per second\n", c.name, figures[1].str().c_str());
        EXPECT_EQ(figures[1] != "0", c.reads);
        EXPECT_EQ(figures[3].str().rfind("none", 0) == 0, !c.light_check);
        EXPECT_EQ(figures[4], figures[5]);
        expected += figures[0];
    }
    if (c.light_check) {
        expected += "\r\n" + std::string(doctor_light_check);
    }
    EXPECT_EQ(out, expected + "\r\nVerdict: " + c.verdict + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Doctor, ::testing::ValuesIn(doctor_cases),
                         [](const auto &param) { return std::string(param.param.name); });

// The light check as the controller sees it: each LED alone in white, in
// order, then 32 colours, then dark; the lamps lit, no button being held.
TEST_F(EndToEnd, DoctorLightCheckFrameByFrame) {
    ASSERT_NO_FATAL_FAILURE(start_controller());
    start_tool({"--doctor"});
    ASSERT_TRUE(wait_exit(tool_)) << tool_output();
    // Each frame by what it shows: dark, one LED in white, or the 32 colours.
    const auto shows = [](const uint8_t *leds) {
        std::string lit;
        bool colours = true;
        for (size_t led = 0; led < 32; led++) {
            const uint8_t *rgb = leds + 3 * led;
            colours = colours && rgb[0] == 8 * led + 7 && rgb[1] == 255 - 8 * led &&
                      rgb[2] == (led % 2 ? 0xC0 : 0x40);
            if (rgb[0] || rgb[1] || rgb[2]) {
                lit += (rgb[0] & rgb[1] & rgb[2]) == 0xFF ? " " + std::to_string(led) : " ?";
            }
        }
        return colours ? "colours" : lit.empty() ? "dark" : "LED" + lit;
    };
    // Whole frames: after a feature report, or after the second half.
    std::vector<uint8_t> ids;
    const std::vector<vctl::controller> states = replay_reports(&ids);
    std::vector<std::string> frames;
    for (size_t i = 0; i < states.size(); i++) {
        const std::string frame = shows(states[i].leds);
        if ((ids[i] == 0x0B || ids[i] == 0x05) && (frames.empty() || frames.back() != frame)) {
            frames.push_back(frame);
        }
    }
    // The doctor's frames in its order and nothing else. The library sends
    // the newest frame, so one that a stall of the lighting thread outlasts
    // (50 ms) is replaced unseen: under load an LED may be missing, never
    // out of order.
    ASSERT_GE(frames.size(), 4u) << testing::PrintToString(frames);
    EXPECT_EQ(frames.front(), "dark");
    EXPECT_EQ(std::vector<std::string>(frames.end() - 2, frames.end()),
              (std::vector<std::string>{"colours", "dark"}));
    int previous = -1;
    for (size_t i = 1; i + 2 < frames.size(); i++) {
        const int led = frames[i].rfind("LED ", 0) == 0 ? atoi(frames[i].c_str() + 4) : -1;
        EXPECT_GT(led, previous) << testing::PrintToString(frames);
        EXPECT_EQ(frames[i], "LED " + std::to_string(led));
        previous = led;
    }
    printf("doctor light check: %zu of 32 LEDs seen alone\n", frames.size() - 3);
    EXPECT_TRUE(lamps_show(0xFF, 0xFF, 0xFF, 0xFF));
}

// --- The virtual controller on its own -----------------------------------------

// Connects to one of the controller's interfaces as a host would.
int connect_interface(const std::string &path) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

TEST_F(EndToEnd, ControllerRefusesABadScriptFileWithItsLine) {
    std::ofstream(dir_ + "/bad.txt") << "touch 3\nwait 10\nbutton coin down\n";
    const size_t vctl = spawn({VCTL_PATH, "--dir", dir_, "--script", dir_ + "/bad.txt"}, "vctl.out",
                              "vctl.err", false);
    ASSERT_TRUE(wait_exit(vctl));
    EXPECT_EQ(WEXITSTATUS(children_[vctl].status), 2);
    EXPECT_EQ(file("vctl.err"),
              "tevu-vctl: " + dir_ +
                  "/bad.txt: line 3: unknown button 'coin' (test, service, 1-5)\n");
    EXPECT_EQ(access((dir_ + input_socket).c_str(), F_OK), -1); // nothing published
}

TEST_F(EndToEnd, ControllerSkipsABadPipedLineAndPlaysOn) {
    SKIP_WITH_GADGET();
    ASSERT_NO_FATAL_FAILURE(start_controller());
    const int input = connect_interface(dir_ + input_socket);
    ASSERT_GE(input, 0);
    script("touch 40");
    script("touch 31");
    ASSERT_TRUE(wait_until([&] {
        return file("vctl.err")
                   .find("script line 1: bad cell '40' (0-31, a range like 4-7, or all)") !=
               std::string::npos;
    }));
    // The reports soon carry cell 31: slider word 0x80808081.
    const uint8_t touched[] = {'I', 0x01, 0x00, 0x00, 0x00, 0x81, 0x80, 0x80, 0x80, 0x00};
    const bool seen = wait_until([&] {
        uint8_t message[64];
        const ssize_t n = recv(input, message, sizeof message, 0);
        return n == sizeof touched && memcmp(message, touched, sizeof touched) == 0;
    });
    close(input);
    EXPECT_TRUE(seen);
}

TEST_F(EndToEnd, ControllerAcknowledgesEveryReportAndRefusesMalformedOnes) {
    SKIP_WITH_GADGET();
    ASSERT_NO_FATAL_FAILURE(start_controller({"--silent"}));
    const int lighting = connect_interface(dir_ + lighting_socket);
    ASSERT_GE(lighting, 0);
    // Kind, sequence byte, report.
    uint8_t bad[66] = {'F', 0x81, 0x0B, 63}; // block length above 62
    uint8_t lamps[51] = {'O', 0x82, 0x06, 0xFF, 0x00, 0xFF, 0x00};
    for (const auto &[message, size] : {std::pair<const uint8_t *, size_t>{bad, sizeof bad},
                                        std::pair<const uint8_t *, size_t>{lamps, sizeof lamps}}) {
        ASSERT_EQ(send(lighting, message, size, 0), static_cast<ssize_t>(size));
        uint8_t ack[8] = {};
        EXPECT_EQ(recv(lighting, ack, sizeof ack, 0), 2);
        EXPECT_EQ(ack[0], 'A');
        EXPECT_EQ(ack[1], message[1]);
    }
    close(lighting);
    EXPECT_TRUE(lamps_show(0xFF, 0x00, 0xFF, 0x00));
    const std::string log = file("reports.log");
    EXPECT_EQ(log.substr(0, 11), "F 0b 3f 00 ");
    EXPECT_NE(file("vctl.err").find("refused: feature report 0x0b: block length 63 above 62"),
              std::string::npos);
}

TEST_F(EndToEnd, ControllerUnplugsAndPlugsAgain) {
    SKIP_WITH_GADGET();
    ASSERT_NO_FATAL_FAILURE(start_controller());
    const int input = connect_interface(dir_ + input_socket);
    ASSERT_GE(input, 0);
    script("unplug");
    uint8_t message[64];
    EXPECT_TRUE(wait_until([&] { return recv(input, message, sizeof message, 0) == 0; }));
    close(input);
    EXPECT_TRUE(wait_until([&] { return access((dir_ + input_socket).c_str(), F_OK) == -1; }));
    script("plug");
    EXPECT_TRUE(wait_until([&] { return access((dir_ + input_socket).c_str(), F_OK) == 0; }));
    const int again = connect_interface(dir_ + input_socket);
    ASSERT_GE(again, 0);
    EXPECT_EQ(recv(again, message, sizeof message, 0), 10);
    close(again);
}

TEST_F(EndToEnd, SecondControllerOnTheFolderIsRefusedUntilTheFirstEnds) {
    SKIP_WITH_GADGET();
    ASSERT_NO_FATAL_FAILURE(start_controller());
    struct stat first = {}, later = {};
    ASSERT_EQ(stat((dir_ + input_socket).c_str(), &first), 0);
    const size_t second = spawn({VCTL_PATH, "--dir", dir_}, "2.out", "2.err", false);
    ASSERT_TRUE(wait_exit(second) && WEXITSTATUS(children_[second].status) == 1);
    EXPECT_EQ(file("2.err"), "tevu-vctl: another tevu-vctl is serving " + dir_ + "\n");
    EXPECT_TRUE(stat((dir_ + input_socket).c_str(), &later) == 0 && later.st_ino == first.st_ino);
    script("quit");
    ASSERT_TRUE(wait_exit(vctl_) && unlink((dir_ + "/vctl.err").c_str()) == 0);
    ASSERT_NO_FATAL_FAILURE(start_controller()); // the folder is free again
}

} // namespace
