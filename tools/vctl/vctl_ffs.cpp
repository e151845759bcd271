// The lighting interface of the USB gadget as a FunctionFS function (usb_f_fs):
// the kernel hands its control requests to ep0 of the function's functionfs
// mount and holds each until it is answered. A SET_REPORT therefore completes
// on the host only once the controller has read the report, as with a real
// controller, and its wValue says whether it is an output or a feature report.
// The function's interrupt IN endpoint is only declared: the lighting
// interface sends no input report.
#include "vctl_tool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vctl_tool {

namespace {

constexpr uint8_t hid_class_descriptor = 0x21;
constexpr uint8_t hid_report_descriptor = 0x22;
constexpr uint8_t set_report = 0x09;
constexpr uint8_t set_idle = 0x0A;
// SET_REPORT's wValue: the report type in the high byte, the ID in the low.
constexpr uint8_t output_type = 2;
constexpr uint8_t feature_type = 3;

void complain(const std::string &text) {
    fprintf(stderr, "%s: %s\n", program, text.c_str());
}

void put16(std::vector<uint8_t> &d, size_t value) {
    d.push_back(static_cast<uint8_t>(value));
    d.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t> &d, size_t value) {
    put16(d, value & 0xFFFF);
    put16(d, value >> 16);
}

// One speed's descriptors: the HID interface, its class descriptor naming the
// report descriptor, the interrupt IN endpoint that HID requires.
void add_interface(std::vector<uint8_t> &d, size_t report_descriptor_length, uint8_t interval) {
    const uint8_t interface[] = {
        USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 1, USB_CLASS_HID, 0, 0, 0};
    d.insert(d.end(), interface, interface + sizeof interface);
    const uint8_t hid[] = {9, hid_class_descriptor, 0x11, 0x01, 0, 1, hid_report_descriptor};
    d.insert(d.end(), hid, hid + sizeof hid);
    put16(d, report_descriptor_length);
    const uint8_t endpoint[] = {USB_DT_ENDPOINT_SIZE,
                                USB_DT_ENDPOINT,
                                1 | USB_DIR_IN,
                                USB_ENDPOINT_XFER_INT,
                                64,
                                0,
                                interval};
    d.insert(d.end(), endpoint, endpoint + sizeof endpoint);
}

std::vector<uint8_t> function_descriptors(size_t report_descriptor_length) {
    std::vector<uint8_t> d;
    put32(d, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    put32(d, 0); // the length, set below
    put32(d, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    put32(d, 3);                                   // descriptors at full speed
    put32(d, 3);                                   // and at high speed
    add_interface(d, report_descriptor_length, 1); // every 1 ms
    add_interface(d, report_descriptor_length, 4); // every 2^3 microframes: 1 ms
    std::vector<uint8_t> length;
    put32(length, d.size());
    std::copy(length.begin(), length.end(), d.begin() + 4);
    return d;
}

// No strings: the interface has no name of its own.
std::vector<uint8_t> function_strings() {
    std::vector<uint8_t> d;
    put32(d, FUNCTIONFS_STRINGS_MAGIC);
    put32(d, 16);
    put32(d, 0); // strings per language
    put32(d, 0); // languages
    return d;
}

bool write_all(int fd, const std::vector<uint8_t> &data) {
    return write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

// Refuses a request: ep0 stalls on I/O against the request's direction.
void stall(int ep0, const usb_ctrlrequest &r) {
    uint8_t none = 0;
    const ssize_t n =
        (r.bRequestType & USB_DIR_IN) != 0 ? read(ep0, &none, 0) : write(ep0, &none, 0);
    static_cast<void>(n);
}

void answer(vctl_state &s, const gadget_function &f, const usb_ctrlrequest &r) {
    const unsigned value = le16toh(r.wValue);
    const size_t length = le16toh(r.wLength);
    const uint8_t host_to_interface = USB_DIR_OUT | USB_TYPE_CLASS | USB_RECIP_INTERFACE;
    if (r.bRequestType == (USB_DIR_IN | USB_RECIP_INTERFACE) &&
        r.bRequest == USB_REQ_GET_DESCRIPTOR && value >> 8 == hid_report_descriptor) {
        std::vector<uint8_t> descriptor = vctl::report_descriptor(f.reports);
        descriptor.resize(std::min(descriptor.size(), length));
        static_cast<void>(write_all(f.ep0, descriptor));
        return;
    }
    uint8_t report[256];
    if (r.bRequestType == host_to_interface && r.bRequest == set_idle && length == 0) {
        static_cast<void>(read(f.ep0, report, 0)); // the status stage
        return;
    }
    const unsigned type = value >> 8;
    if (r.bRequestType == host_to_interface && r.bRequest == set_report &&
        (type == output_type || type == feature_type) && length > 0 && length <= sizeof report) {
        // Completes the host's transfer: the report is the controller's now.
        const ssize_t n = read(f.ep0, report, length);
        if (n > 0) {
            take_host_report(s, type == output_type ? PLAT_REPORT_OUTPUT : PLAT_REPORT_FEATURE,
                             report, static_cast<size_t>(n));
        }
        return;
    }
    stall(f.ep0, r); // GET_REPORT among them: the controller has no report to give
}

} // namespace

void remove_ffs_mount(const std::string &path) {
    umount2(path.c_str(), MNT_DETACH);
    rmdir(path.c_str());
}

bool start_ffs(gadget_function &f) {
    if (mkdir(f.mount.c_str(), 0700) != 0 && errno != EEXIST) {
        complain("cannot make " + f.mount + ": " + strerror(errno));
        return false;
    }
    if (mount(f.instance.c_str(), f.mount.c_str(), "functionfs", 0, nullptr) != 0) {
        complain(errno == ENODEV ? "the kernel has no functionfs (modprobe usb_f_fs)"
                                 : "cannot mount the functionfs " + f.instance + " on " + f.mount +
                                       ": " + strerror(errno));
        rmdir(f.mount.c_str());
        return false;
    }
    f.mounted = true;
    const std::string ep0 = f.mount + "/ep0";
    f.ep0 = open(ep0.c_str(), O_RDWR | O_CLOEXEC);
    if (f.ep0 < 0) {
        complain("cannot open " + ep0 + ": " + strerror(errno));
        return false;
    }
    const size_t descriptor_length = vctl::report_descriptor(f.reports).size();
    if (!write_all(f.ep0, function_descriptors(descriptor_length)) ||
        !write_all(f.ep0, function_strings())) {
        complain("the FunctionFS function refused the HID interface's descriptors: " +
                 std::string(strerror(errno)));
        return false;
    }
    return true;
}

void stop_ffs(gadget_function &f) {
    if (f.ep0 >= 0) {
        close(f.ep0);
        f.ep0 = -1;
    }
    if (f.mounted) {
        remove_ffs_mount(f.mount);
        f.mounted = false;
    }
}

// The events the poll found: bind, unbind, enable, disable, suspend and resume
// need nothing (the IN endpoint is never written); a setup is answered at once,
// the host's transfer waiting until then.
void serve_ffs(vctl_state &s, const gadget_function &f) {
    usb_functionfs_event events[4];
    const ssize_t n = read(f.ep0, events, sizeof events);
    for (ssize_t i = 0; n > 0 && i < n / static_cast<ssize_t>(sizeof *events); i++) {
        if (events[i].type == FUNCTIONFS_SETUP) {
            answer(s, f, events[i].u.setup);
        }
    }
}

} // namespace vctl_tool
