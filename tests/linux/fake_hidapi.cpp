// The hidapi stand-in: the functions the backend calls, over scripted devices.
#include "fake_hidapi.h"

#include <hidapi.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct device {
    unsigned short vendor_id = 0;
    unsigned short product_id = 0;
    int interface_number = -1;
    std::string path;
    bool open_fails = false;
    int open_errno = ENOENT;
    int write_error = 0;
    int failing_writes = 0; // -1: every one
    bool unplugged = false;
    std::deque<std::vector<uint8_t>> inputs;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<std::vector<uint8_t>> features;
    int waiting = 0;
    int write_delay_ms = 0;
    int write_count = 0;
    int read_calls = 0;
};

std::mutex lock;
std::condition_variable changed;
std::vector<std::shared_ptr<device>> devices;
std::vector<std::string> opened;
int enumerations = 0;

std::shared_ptr<device> find(const std::string &path) {
    for (auto &d : devices) {
        if (d->path == path) {
            return d;
        }
    }
    return nullptr;
}

// Creates a device record for a path that was never added (reports may be
// queued before the test lists the device).
std::shared_ptr<device> find_or_make(const std::string &path) {
    auto d = find(path);
    if (!d) {
        d = std::make_shared<device>();
        d->path = path;
        d->vendor_id = 0;
        devices.push_back(d);
    }
    return d;
}

} // namespace

// hidapi's opaque handle: the stand-in keeps the device alive through it.
struct hid_device_ {
    std::shared_ptr<device> dev;
};

namespace fake_hidapi {

void reset() {
    std::lock_guard<std::mutex> guard(lock);
    for (auto &d : devices) {
        d->unplugged = true;
    }
    devices.clear();
    opened.clear();
    changed.notify_all();
}

void add_device(unsigned short vendor_id, unsigned short product_id, int interface_number,
                const std::string &path) {
    std::lock_guard<std::mutex> guard(lock);
    auto d = find_or_make(path);
    d->vendor_id = vendor_id;
    d->product_id = product_id;
    d->interface_number = interface_number;
}

void set_open_fails(const std::string &path, bool fails, int error) {
    std::lock_guard<std::mutex> guard(lock);
    find_or_make(path)->open_fails = fails;
    find_or_make(path)->open_errno = error;
}

void push_input(const std::string &path, const std::vector<uint8_t> &report) {
    std::lock_guard<std::mutex> guard(lock);
    find_or_make(path)->inputs.push_back(report);
    changed.notify_all();
}

void unplug(const std::string &path) {
    std::lock_guard<std::mutex> guard(lock);
    find_or_make(path)->unplugged = true;
    changed.notify_all();
}

void fail_writes(const std::string &path, int error, int times) {
    std::lock_guard<std::mutex> guard(lock);
    find_or_make(path)->write_error = error;
    find_or_make(path)->failing_writes = times;
}

void set_write_delay_ms(const std::string &path, int ms) {
    std::lock_guard<std::mutex> guard(lock);
    find_or_make(path)->write_delay_ms = ms;
}

int write_count(const std::string &path) {
    std::lock_guard<std::mutex> guard(lock);
    auto d = find(path);
    return d ? d->write_count : 0;
}

std::vector<std::vector<uint8_t>> writes(const std::string &path) {
    std::lock_guard<std::mutex> guard(lock);
    auto d = find(path);
    return d ? d->writes : std::vector<std::vector<uint8_t>>{};
}

std::vector<std::vector<uint8_t>> features(const std::string &path) {
    std::lock_guard<std::mutex> guard(lock);
    auto d = find(path);
    return d ? d->features : std::vector<std::vector<uint8_t>>{};
}

std::vector<std::string> opened_paths() {
    std::lock_guard<std::mutex> guard(lock);
    return opened;
}

int live_enumerations() {
    std::lock_guard<std::mutex> guard(lock);
    return enumerations;
}

int waiting_reads(const std::string &path) {
    std::lock_guard<std::mutex> guard(lock);
    auto d = find(path);
    return d ? d->waiting : 0;
}

int read_calls(const std::string &path) {
    std::lock_guard<std::mutex> guard(lock);
    auto d = find(path);
    return d ? d->read_calls : 0;
}

} // namespace fake_hidapi

namespace {

constexpr size_t kept_reports = 4096;

int record(hid_device *dev, const unsigned char *data, size_t length, bool feature) {
    int delay;
    {
        std::lock_guard<std::mutex> guard(lock);
        delay = dev->dev->write_delay_ms;
    }
    if (delay > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    std::lock_guard<std::mutex> guard(lock);
    device &d = *dev->dev;
    if (d.unplugged) {
        errno = ENODEV;
        return -1;
    }
    if (d.failing_writes != 0) {
        d.failing_writes -= d.failing_writes > 0 ? 1 : 0;
        errno = d.write_error;
        return -1;
    }
    ++d.write_count;
    auto &kept = feature ? d.features : d.writes;
    if (kept.size() < kept_reports) {
        kept.emplace_back(data, data + length);
    }
    return static_cast<int>(length);
}

} // namespace

extern "C" {

hid_device_info *hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    std::lock_guard<std::mutex> guard(lock);
    hid_device_info *first = nullptr;
    hid_device_info **tail = &first;
    for (auto &d : devices) {
        if (d->vendor_id == 0 && d->product_id == 0) {
            continue; // a record made for queued reports only
        }
        if ((vendor_id && d->vendor_id != vendor_id) ||
            (product_id && d->product_id != product_id)) {
            continue;
        }
        auto *info = static_cast<hid_device_info *>(calloc(1, sizeof(hid_device_info)));
        info->path = strdup(d->path.c_str());
        info->vendor_id = d->vendor_id;
        info->product_id = d->product_id;
        info->interface_number = d->interface_number;
        *tail = info;
        tail = &info->next;
    }
    ++enumerations;
    return first;
}

void hid_free_enumeration(hid_device_info *devs) {
    std::lock_guard<std::mutex> guard(lock);
    while (devs) {
        hid_device_info *next = devs->next;
        free(devs->path);
        free(devs);
        devs = next;
    }
    --enumerations;
}

hid_device *hid_open_path(const char *path) {
    std::lock_guard<std::mutex> guard(lock);
    auto d = find(path);
    if (!d || d->open_fails || d->unplugged) {
        errno = d && d->open_fails ? d->open_errno : ENOENT;
        return nullptr;
    }
    opened.push_back(path);
    return new hid_device_{d};
}

void hid_close(hid_device *dev) {
    delete dev;
}

int hid_read_timeout(hid_device *dev, unsigned char *data, size_t length, int milliseconds) {
    std::unique_lock<std::mutex> guard(lock);
    device &d = *dev->dev;
    ++d.read_calls;
    auto ready = [&d] { return d.unplugged || !d.inputs.empty(); };
    if (milliseconds != 0) {
        ++d.waiting;
        changed.notify_all();
        if (milliseconds < 0) {
            changed.wait(guard, ready);
        } else {
            changed.wait_for(guard, std::chrono::milliseconds(milliseconds), ready);
        }
        --d.waiting;
    }
    if (d.unplugged) {
        return -1;
    }
    if (d.inputs.empty()) {
        return 0;
    }
    std::vector<uint8_t> report = std::move(d.inputs.front());
    d.inputs.pop_front();
    size_t n = report.size() < length ? report.size() : length;
    memcpy(data, report.data(), n);
    return static_cast<int>(n);
}

int hid_write(hid_device *dev, const unsigned char *data, size_t length) {
    return record(dev, data, length, false);
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length) {
    return record(dev, data, length, true);
}

} // extern "C"
