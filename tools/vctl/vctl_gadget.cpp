// tevu-vctl as a real USB device: a gadget made in configfs with one function
// per interface, bound to the machine's USB device controller (a board's device
// port, or dummy_udc for a virtual bus). Input reports are written to the input
// function's /dev/hidgN at the controller's pace. The host sends output and
// feature reports as SET_REPORT on the control pipe: the lighting interface is
// a FunctionFS function that takes each before the host's transfer completes
// (vctl_ffs.cpp); a single interface's come from its /dev/hidgN, report ID
// first. Unplugging unbinds the gadget (a real USB disconnect); the gadget is
// removed at exit.
#include "vctl_tool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vctl_tool {

namespace {

const char configfs_root[] = "/sys/kernel/config";
const char gadget_root[] = "/sys/kernel/config/usb_gadget";
const char udc_class[] = "/sys/class/udc";
// The host's poll took two input reports this recently: it has the input
// interface open.
constexpr uint64_t host_gone_after_ns = 100000000ull;

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string t = text.str();
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) {
        t.pop_back();
    }
    return t;
}

// Writes a configfs attribute in one write; errno tells why it failed.
bool write_attribute(const std::string &path, const void *data, size_t length) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = write(fd, data, length);
    const int error = errno;
    close(fd);
    errno = error;
    return n == static_cast<ssize_t>(length);
}

bool write_attribute(const std::string &path, const std::string &text) {
    return write_attribute(path, text.data(), text.size());
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (d == nullptr) {
        return names;
    }
    while (const dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            names.push_back(e->d_name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool is_dir(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string join(const std::string &dir, const std::string &name) {
    std::string path = dir;
    path += '/';
    path += name;
    return path;
}

void remove_links(const std::string &dir) {
    for (const std::string &name : list_dir(dir)) {
        struct stat st {};
        const std::string path = join(dir, name);
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            unlink(path.c_str());
        }
    }
}

void remove_subdirs(const std::string &dir) {
    for (const std::string &name : list_dir(dir)) {
        const std::string path = join(dir, name);
        if (is_dir(path)) {
            rmdir(path.c_str());
        }
    }
}

// Takes a gadget apart in the order configfs wants: unbound, functions out of
// the configurations, the configurations, the functions, the strings, the
// gadget. Also clears what a killed run left behind.
bool remove_gadget(const std::string &dir) {
    if (!read_text(dir + "/UDC").empty()) {
        write_attribute(dir + "/UDC", "\n");
    }
    for (const std::string &config : list_dir(dir + "/configs")) {
        const std::string c = join(dir + "/configs", config);
        remove_links(c);
        remove_subdirs(c + "/strings");
        rmdir(c.c_str());
    }
    remove_subdirs(dir + "/functions");
    remove_subdirs(dir + "/strings");
    remove_links(dir + "/os_desc");
    return rmdir(dir.c_str()) == 0 || errno == ENOENT;
}

void complain(const std::string &text) {
    fprintf(stderr, "%s: %s\n", program, text.c_str());
}

bool configfs_mounted() {
    std::ifstream mounts("/proc/mounts");
    std::string device, point, type;
    std::string rest;
    while (mounts >> device >> point >> type && std::getline(mounts, rest)) {
        if (type == "configfs" && point == configfs_root) {
            return true;
        }
    }
    return false;
}

// The device controller to bind to: --udc, or the first listed.
bool choose_udc(vctl_state &s) {
    const std::vector<std::string> udcs = list_dir(udc_class);
    if (udcs.empty()) {
        complain("no USB device controller in " + std::string(udc_class) +
                 ": the machine needs a USB device port (on a virtual bus: modprobe dummy_hcd)");
        return false;
    }
    if (s.opt.udc.empty()) {
        s.gadget.udc = udcs.front();
        return true;
    }
    if (std::find(udcs.begin(), udcs.end(), s.opt.udc) == udcs.end()) {
        std::string listed;
        for (const std::string &u : udcs) {
            listed += (listed.empty() ? "" : ", ") + u;
        }
        complain("no USB device controller " + s.opt.udc + " in " + udc_class +
                 " (there: " + listed + ")");
        return false;
    }
    s.gadget.udc = s.opt.udc;
    return true;
}

bool plan_gadget(vctl_state &s) {
    const std::string &kind = s.opt.interfaces;
    auto add = [&](const char *label, vctl::interface_reports reports) {
        gadget_function f;
        f.label = label;
        f.reports = reports;
        s.gadget.functions.push_back(f);
    };
    // Linked into the configuration in this order: interface 0, then 1.
    if (kind == "both" || kind == "input") {
        add("input", vctl::interface_reports::input);
    }
    if (kind == "both" || kind == "lighting") {
        add("lighting", vctl::interface_reports::lighting);
    }
    if (kind == "single") {
        add("single", vctl::interface_reports::all);
    }
    for (gadget_function &f : s.gadget.functions) {
        f.ffs = f.reports == vctl::interface_reports::lighting;
        f.instance = s.opt.name + "-" + f.label;
        f.mount = "/run/tevu-vctl-ffs." + f.instance;
    }
    s.gadget.dir = std::string(gadget_root) + "/" + s.opt.name;
    return true;
}

// What the machine must offer, one clear message for the first thing missing;
// then the gadget's name for this process alone, and a gadget of that name
// that a killed run left behind removed.
bool claim_gadget(vctl_state &s) {
    if (!is_dir(gadget_root)) {
        complain(configfs_mounted()
                     ? "no usb_gadget in configfs: the USB gadget modules are not loaded "
                       "(modprobe libcomposite usb_f_hid usb_f_fs)"
                     : std::string("configfs is not mounted at ") + configfs_root +
                           " (modprobe configfs; mount -t configfs none " + configfs_root + ")");
        return false;
    }
    if (!choose_udc(s)) {
        return false;
    }
    if (geteuid() != 0) {
        complain("a USB gadget needs root (configfs and /dev/hidgN belong to root)");
        return false;
    }
    const std::string lock = "/run/tevu-vctl-gadget." + s.opt.name + ".lock";
    s.gadget.lock_fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (s.gadget.lock_fd < 0 || flock(s.gadget.lock_fd, LOCK_EX | LOCK_NB) != 0) {
        complain(errno == EWOULDBLOCK ? "another tevu-vctl is serving the gadget " + s.opt.name
                                      : "cannot lock " + lock + ": " + strerror(errno));
        return false;
    }
    for (const gadget_function &f : s.gadget.functions) {
        if (f.ffs) {
            remove_ffs_mount(f.mount);
        }
    }
    if (is_dir(s.gadget.dir) && !remove_gadget(s.gadget.dir)) {
        complain("cannot remove the gadget " + s.gadget.dir +
                 " left by an earlier run: " + strerror(errno));
        return false;
    }
    return true;
}

std::string hex4(uint32_t value) {
    char text[8];
    snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// mkdir in configfs; the message names what is missing when it fails.
bool make_dir(const std::string &path) {
    if (mkdir(path.c_str(), 0755) == 0) {
        return true;
    }
    if (errno == ENOENT && path.find("/functions/hid.") != std::string::npos) {
        complain("the USB HID gadget function is not available (modprobe usb_f_hid)");
    } else if (errno == ENOENT && path.find("/functions/ffs.") != std::string::npos) {
        complain("the USB FunctionFS gadget function is not available (modprobe usb_f_fs)");
    } else {
        complain("cannot make " + path + ": " + strerror(errno));
    }
    return false;
}

bool set(const std::string &path, const std::string &text) {
    if (write_attribute(path, text)) {
        return true;
    }
    complain("cannot write " + path + ": " + strerror(errno));
    return false;
}

bool make_function(const gadget_function &f) {
    const std::vector<uint8_t> descriptor = vctl::report_descriptor(f.reports);
    if (!make_dir(f.dir) || !set(f.dir + "/protocol", "0") || !set(f.dir + "/subclass", "0") ||
        !set(f.dir + "/report_length", std::to_string(vctl::longest_report(f.reports)))) {
        return false;
    }
    if (!write_attribute(f.dir + "/report_desc", descriptor.data(), descriptor.size())) {
        complain("cannot write " + f.dir + "/report_desc: " + strerror(errno));
        return false;
    }
    // Output and feature reports then come as SET_REPORT on the control pipe.
    if (!write_attribute(f.dir + "/no_out_endpoint", "1")) {
        complain(errno == ENOENT
                     ? "this kernel's USB HID gadget function has no no_out_endpoint "
                       "(Linux 5.19 or later)"
                     : "cannot write " + f.dir + "/no_out_endpoint: " + strerror(errno));
        return false;
    }
    return true;
}

bool make_gadget(vctl_state &s) {
    const std::string &g = s.gadget.dir;
    if (!make_dir(g)) {
        return false;
    }
    s.gadget.made = true;
    const std::string config = g + "/configs/c.1";
    if (!set(g + "/idVendor", hex4(s.opt.vid)) || !set(g + "/idProduct", hex4(s.opt.pid)) ||
        !set(g + "/bcdUSB", "0x0200") || !make_dir(g + "/strings/0x409") ||
        !set(g + "/strings/0x409/manufacturer", "tevuio") ||
        !set(g + "/strings/0x409/product", "tevu-vctl touch-slider controller") ||
        !set(g + "/strings/0x409/serialnumber", s.opt.name) || !make_dir(config)) {
        return false;
    }
    for (gadget_function &f : s.gadget.functions) {
        const std::string name = f.ffs ? "ffs." + f.instance : "hid." + f.label;
        f.dir = join(join(g, "functions"), name);
        if (!(f.ffs ? make_dir(f.dir) : make_function(f))) {
            return false;
        }
        if (symlink(f.dir.c_str(), join(config, name).c_str()) != 0) {
            complain("cannot link " + f.dir + " into " + config + ": " + strerror(errno));
            return false;
        }
        // The function must have its descriptors before the gadget is bound.
        if (f.ffs && !start_ffs(f)) {
            return false;
        }
    }
    return true;
}

// The function's /dev/hidgN, found through its device number; devtmpfs makes
// the node when the gadget is bound.
bool open_node(gadget_function &f) {
    const std::string dev = read_text(f.dir + "/dev");
    std::string name;
    std::istringstream uevent(read_text("/sys/dev/char/" + dev + "/uevent"));
    for (std::string line; std::getline(uevent, line);) {
        if (line.rfind("DEVNAME=", 0) == 0) {
            name = line.substr(8);
        }
    }
    f.node = "/dev/" + name;
    for (int attempt = 0; attempt < 200 && f.fd < 0 && !name.empty(); attempt++) {
        f.fd = open(f.node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (f.fd < 0 && errno != ENOENT) {
            break;
        }
        if (f.fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (f.fd < 0) {
        complain("cannot open the device node of " + f.dir + " (device " + dev + ", " +
                 (name.empty() ? std::string("no name in sysfs") : f.node) +
                 "): " + strerror(errno));
        return false;
    }
    return true;
}

void close_nodes(vctl_state &s) {
    for (gadget_function &f : s.gadget.functions) {
        if (f.fd >= 0) {
            close(f.fd);
            f.fd = -1;
        }
    }
}

// Binding to the device controller plugs the gadget in: the host enumerates it.
bool bind_gadget(vctl_state &s) {
    const std::string &udc = s.gadget.udc;
    if (!write_attribute(s.gadget.dir + "/UDC", udc + "\n")) {
        complain(errno == EBUSY ? "the USB device controller " + udc + " serves another gadget"
                                : "cannot bind the gadget to " + udc + ": " + strerror(errno));
        return false;
    }
    s.plugged = true;
    for (gadget_function &f : s.gadget.functions) {
        if (!f.ffs && !open_node(f)) {
            return false;
        }
    }
    s.gadget.input_taken_ns = 0;
    s.gadget.input_taken_before_ns = 0;
    s.gadget.input_queued = false;
    return true;
}

void unbind_gadget(vctl_state &s) {
    close_nodes(s);
    if (s.plugged && !write_attribute(s.gadget.dir + "/UDC", "\n")) {
        complain("cannot unbind the gadget from " + s.gadget.udc + ": " + strerror(errno));
    }
    s.plugged = false;
}

void withdraw_gadget(vctl_state &s) {
    unbind_gadget(s);
    for (gadget_function &f : s.gadget.functions) {
        stop_ffs(f);
    }
    if (s.gadget.made && !remove_gadget(s.gadget.dir)) {
        complain("cannot remove the gadget " + s.gadget.dir + ": " + strerror(errno));
    }
    if (s.gadget.made && s.reports_sent + s.gadget.input_missed > 0) {
        say(s, "input reports: " + std::to_string(s.reports_sent) + " written, " +
                   std::to_string(s.gadget.input_missed) + " missed (the host had not taken the " +
                   "last one, or had not configured the device)");
    }
    s.gadget.made = false;
    s.plugged = false;
}

bool publish_gadget(vctl_state &s) {
    if (!make_gadget(s) || !bind_gadget(s)) {
        withdraw_gadget(s);
        return false;
    }
    return true;
}

void plug_gadget(vctl_state &s, bool plug) {
    if (plug && !s.plugged) {
        if (bind_gadget(s)) {
            say(s, "plugged in");
        } else {
            unbind_gadget(s);
        }
    } else if (!plug && s.plugged) {
        unbind_gadget(s);
        say(s, "unplugged");
    }
    s.display_dirty = true;
}

bool sends_input(const gadget_function &f) {
    return f.reports != vctl::interface_reports::lighting;
}

int count_gadget_hosts(const vctl_state &s, bool input) {
    if (!s.plugged) {
        return 0;
    }
    if (input) {
        // The host polls the input endpoint only while it has the interface
        // open; with no report to send, a configured device is all there is.
        const bool sending = !s.silent && s.rate > 0;
        return sending ? s.gadget.input_taken_before_ns + host_gone_after_ns > now_ns()
                       : read_text(std::string(udc_class) + "/" + s.gadget.udc + "/state") ==
                             "configured";
    }
    return static_cast<int>(
        std::count_if(s.gadget.functions.begin(), s.gadget.functions.end(),
                      [](const gadget_function &f) { return !sends_input(f); }));
}

// One input report: a write that would wait (the host has not taken the last
// one, or has not configured the device) is a report the host missed. A write
// goes through once the report before it is gone: the host took that one,
// unless it was the first after the device was configured. (The function may
// drop one report as the host sets the interface up: the host is there once it
// has taken two in a row.)
uint64_t serve_gadget_due(vctl_state &s, uint64_t now, uint64_t wake) {
    if (!input_report_due(s, now, &wake)) {
        return wake;
    }
    uint8_t report[vctl::input_report_length];
    vctl::encode_input_report(s.model, report);
    for (const gadget_function &f : s.gadget.functions) {
        if (f.fd >= 0 && sends_input(f)) {
            if (write(f.fd, report, sizeof report) == static_cast<ssize_t>(sizeof report)) {
                s.reports_sent++;
                if (s.gadget.input_queued) {
                    s.gadget.input_taken_before_ns = s.gadget.input_taken_ns;
                    s.gadget.input_taken_ns = now;
                }
                s.gadget.input_queued = true;
            } else {
                s.gadget.input_queued = s.gadget.input_queued && errno != ESHUTDOWN;
                s.gadget.input_missed++;
            }
        }
    }
    return wake;
}

void watch_gadget(const vctl_state &s, poll_set *p) {
    for (size_t i = 0; i < s.gadget.functions.size(); i++) {
        const gadget_function &f = s.gadget.functions[i];
        const int fd = f.ffs ? f.ep0 : f.fd;
        if (fd >= 0 && f.reports != vctl::interface_reports::input) {
            p->fds.push_back({fd, POLLIN, 0});
            p->owners.push_back({static_cast<int>(i), 0});
        }
    }
}

// Each read of a /dev/hidgN gives one report the host sent, ID first. The HID
// function keeps only the latest, so they are read as soon as they come.
void serve_gadget_ready(vctl_state &s, const poll_set &p) {
    for (size_t k = 0; k < p.fds.size(); k++) {
        if ((p.fds[k].revents & POLLIN) == 0 || p.owners[k].client == poll_set::standard_input) {
            continue;
        }
        gadget_function &f = s.gadget.functions[static_cast<size_t>(p.owners[k].socket)];
        if (f.ffs) {
            serve_ffs(s, f);
            continue;
        }
        uint8_t report[256];
        ssize_t n;
        while (f.fd >= 0 && (n = read(f.fd, report, sizeof report)) > 0) {
            take_host_report(s, vctl::kind_of_report(report[0]), report, static_cast<size_t>(n));
        }
    }
}

std::string gadget_place(const vctl_state &s) {
    return "as the USB gadget " + s.gadget.dir + " on " + s.gadget.udc;
}

} // namespace

const transport gadget_transport = {
    plan_gadget,        claim_gadget,     publish_gadget, withdraw_gadget,    plug_gadget,
    count_gadget_hosts, serve_gadget_due, watch_gadget,   serve_gadget_ready, gadget_place,
};

} // namespace vctl_tool
