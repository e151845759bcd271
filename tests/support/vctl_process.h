// tevu-vctl as a process of the tests' own: started with its script on a
// pipe, so that each step is sent when the test wants it, its messages in a
// file, its report log read back into the controller's states through the
// controller's own model. Every wait is bounded; end() or the destructor
// ends the process. No test framework.
#ifndef TEVUIO_TESTS_VCTL_PROCESS_H
#define TEVUIO_TESTS_VCTL_PROCESS_H

#include "vctl_model.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kit {

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// The hidraw nodes of the controller's vendor, from sysfs.
inline std::vector<std::string> vendor_nodes() {
    std::vector<std::string> nodes;
    DIR *dir = opendir("/sys/class/hidraw");
    while (dir != nullptr) {
        const dirent *e = readdir(dir);
        if (e == nullptr)
            break;
        const std::string uevent =
            kit::read_file(std::string("/sys/class/hidraw/") + e->d_name + "/device/uevent");
        if (uevent.find("HID_ID=0003:00000F0D:") != std::string::npos)
            nodes.push_back(std::string("/dev/") + e->d_name);
    }
    if (dir != nullptr)
        closedir(dir);
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

// Looks every 5 ms until the condition holds; false when it still does not
// after limit (a hang, not a slow machine: limits are generous).
inline bool wait_until(const std::function<bool()> &condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// The controller's state after each report of its log ("O hex" / "F hex"
// lines), as its model takes them (and in *ids the ID of each report taken).
inline std::vector<vctl::controller> replay_log(const std::string &text,
                                                std::vector<uint8_t> *ids = nullptr) {
    std::vector<vctl::controller> states;
    vctl::controller c;
    std::istringstream log(text);
    std::string line;
    while (std::getline(log, line)) {
        if (line.size() < 4 || line.back() == ' ')
            continue; // a line still being written
        std::vector<uint8_t> bytes;
        std::istringstream hex(line.substr(2));
        unsigned value = 0;
        while (hex >> std::hex >> value)
            bytes.push_back(static_cast<uint8_t>(value));
        const plat_report_kind kind = line[0] == 'F' ? PLAT_REPORT_FEATURE : PLAT_REPORT_OUTPUT;
        if (vctl::take_report(c, kind, bytes.data(), bytes.size()).empty()) {
            states.push_back(c);
            if (ids != nullptr)
                ids->push_back(bytes[0]);
        }
    }
    return states;
}

struct vctl_process {
    pid_t pid = -1;
    int script_fd = -1;
    std::string err_path; // its messages
    std::string log_path; // the reports it took

    // Starts program with args (after the program's path), its stdin a pipe
    // for the script; ready once its messages contain ready_text.
    bool start(const std::string &program, const std::vector<std::string> &args,
               const std::string &folder, const std::string &ready_text = "publishing") {
        err_path = folder + "/vctl.err";
        log_path = folder + "/reports.log";
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        std::vector<std::string> all = {program,        "--script", "-",
                                        "--no-display", "--log",    log_path};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : all)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(fds[0], STDIN_FILENO);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            signal(SIGINT, SIG_DFL);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[0]);
        script_fd = fds[1];
        return pid > 0 &&
               wait_until([&] { return messages().find(ready_text) != std::string::npos; });
    }
    bool step(const std::string &line) {
        const std::string text = line + "\n";
        return write(script_fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    std::string messages() const { return read_file(err_path); }
    // Quits it (the gadget or the sockets are withdrawn); killed if it lingers.
    bool end() {
        if (pid <= 0)
            return true;
        step("quit");
        close(script_fd);
        script_fd = -1;
        int status = 0;
        const bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        pid = -1;
        return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ~vctl_process() { end(); }
};

} // namespace kit

#endif
