#include "fake_platform.h"

#include "platform/platform.h"
#include "platform/win32_paths.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

// The C library's report of a failed assertion, as the Linux platform uses it.
extern "C" [[noreturn]] void __assert_fail(const char *assertion, const char *file,
                                           unsigned int line, const char *function) noexcept;

namespace {

struct device {
    std::string path;
    std::deque<std::vector<uint8_t>> reads;
    fake::when_empty empty_mode = fake::when_empty::fail;
    std::function<uint32_t(uint8_t *, uint32_t)> reader;
    int read_calls = 0;
    std::vector<uint32_t> read_rooms;
    int blocked = 0;
    std::vector<fake::sent_report> sent;
    bool write_fails = false;
    bool write_blocks = false;
    bool gone = false;
    int closes = 0;
    uint32_t queue_depth = 0;
    uint64_t cancel_generation = 0; // bumped by plat_hid_cancel
};

struct fake_thread {
    std::thread thread;
    std::atomic<bool> done{false};
    bool woken = false; // guarded by mu
    std::atomic<int> sleeps{0};
};

std::mutex mu;
std::condition_variable cv;
bool list_unavailable;
std::vector<fake::entry> entries;
std::vector<std::unique_ptr<device>> devices;
bool queue_refused;
unsigned long queue_error;
std::atomic<bool> keys[256];
std::map<std::string, uint32_t> ini;
std::vector<std::string> lookups;
uint64_t image_base, image_size;
std::string out;
int started;
bool start_fails;
std::atomic<int> sleep_count;
std::function<void(int, plat_report_kind, const uint8_t *, uint32_t)> write_hook;
int uses_after_close;
int list_open_count;
std::atomic<int> pacers_open_count;
std::atomic<int> paced_waits_count;
fake::when_empty default_empty_mode = fake::when_empty::fail;
thread_local unsigned long last_error;
thread_local fake_thread *self;

int list_token; // plat_list points here

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int index_of(plat_file file) {
    auto n = reinterpret_cast<intptr_t>(file) - 1;
    if (file == nullptr || file == PLAT_INVALID_FILE || n < 0 ||
        n >= static_cast<intptr_t>(devices.size()))
        return -1;
    return static_cast<int>(n);
}

device &dev(int n) {
    return *devices.at(static_cast<size_t>(n));
}

} // namespace

namespace fake {

void reset() {
    std::lock_guard<std::mutex> lock(mu);
    list_unavailable = false;
    entries.clear();
    devices.clear();
    queue_refused = false;
    queue_error = 0;
    for (auto &k : keys)
        k.store(false);
    ini.clear();
    lookups.clear();
    image_base = image_size = 0;
    out.clear();
    started = 0;
    start_fails = false;
    sleep_count = 0;
    write_hook = nullptr;
    uses_after_close = 0;
    list_open_count = 0;
    pacers_open_count = 0;
    paced_waits_count = 0;
    default_empty_mode = when_empty::fail;
}

void set_list_unavailable(bool unavailable) {
    std::lock_guard<std::mutex> lock(mu);
    list_unavailable = unavailable;
}
void add_entry(const entry &e) {
    std::lock_guard<std::mutex> lock(mu);
    entries.push_back(e);
}
void add_entry(const std::string &path) {
    entry e;
    e.path = path;
    add_entry(e);
}

int open_count() {
    std::lock_guard<std::mutex> lock(mu);
    return static_cast<int>(devices.size());
}
std::vector<std::string> opened_paths() {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::string> paths;
    for (auto &d : devices)
        paths.push_back(d->path);
    return paths;
}
void push_read(int n, const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> lock(mu);
    dev(n).reads.push_back(bytes);
    cv.notify_all();
}
void set_when_empty(int n, when_empty mode) {
    std::lock_guard<std::mutex> lock(mu);
    dev(n).empty_mode = mode;
    cv.notify_all();
}
void set_default_when_empty(when_empty mode) {
    std::lock_guard<std::mutex> lock(mu);
    default_empty_mode = mode;
}
void set_reader(int n, std::function<uint32_t(uint8_t *, uint32_t)> reader) {
    std::lock_guard<std::mutex> lock(mu);
    dev(n).reader = std::move(reader);
}
int read_calls(int n) {
    std::lock_guard<std::mutex> lock(mu);
    return dev(n).read_calls;
}
std::vector<uint32_t> read_rooms(int n) {
    std::lock_guard<std::mutex> lock(mu);
    return dev(n).read_rooms;
}
bool read_blocked(int n) {
    std::lock_guard<std::mutex> lock(mu);
    return dev(n).blocked > 0;
}
std::vector<sent_report> sent(int n) {
    std::lock_guard<std::mutex> lock(mu);
    return dev(n).sent;
}
void clear_sent(int n) {
    std::lock_guard<std::mutex> lock(mu);
    dev(n).sent.clear();
}
void set_write_fails(int n, bool fails) {
    std::lock_guard<std::mutex> lock(mu);
    dev(n).write_fails = fails;
}
void set_write_blocks(int n, bool blocks) {
    std::lock_guard<std::mutex> lock(mu);
    dev(n).write_blocks = blocks;
    cv.notify_all();
}
void set_gone(int n) {
    std::lock_guard<std::mutex> lock(mu);
    dev(n).gone = true;
    cv.notify_all();
}
void remove_entries(const std::string &part) {
    std::lock_guard<std::mutex> lock(mu);
    entries.erase(
        std::remove_if(entries.begin(), entries.end(),
                       [&](const entry &e) { return e.path.find(part) != std::string::npos; }),
        entries.end());
}
int close_count(int n) {
    std::lock_guard<std::mutex> lock(mu);
    return dev(n).closes;
}
int open_handles() {
    std::lock_guard<std::mutex> lock(mu);
    int open = 0;
    for (auto &d : devices)
        open += d->closes == 0 ? 1 : 0;
    return open;
}
int list_opens() {
    std::lock_guard<std::mutex> lock(mu);
    return list_open_count;
}
int thread_sleeps(plat_thread thread) {
    return thread == nullptr ? 0 : static_cast<fake_thread *>(thread)->sleeps.load();
}
int uses_after_close_count() {
    std::lock_guard<std::mutex> lock(mu);
    return uses_after_close;
}
void set_write_hook(std::function<void(int, plat_report_kind, const uint8_t *, uint32_t)> hook) {
    std::lock_guard<std::mutex> lock(mu);
    write_hook = std::move(hook);
}
uint32_t input_queue_depth(int n) {
    std::lock_guard<std::mutex> lock(mu);
    return dev(n).queue_depth;
}
void refuse_input_queue(unsigned long error_code) {
    std::lock_guard<std::mutex> lock(mu);
    queue_refused = true;
    queue_error = error_code;
}
void set_key(uint8_t vk, bool down) {
    keys[vk].store(down);
}
void set_ini(const std::string &section, const std::string &key, uint32_t value) {
    std::lock_guard<std::mutex> lock(mu);
    ini[lower(section) + "|" + lower(key)] = value;
}
void clear_ini() {
    std::lock_guard<std::mutex> lock(mu);
    ini.clear();
}
std::vector<std::string> ini_lookups() {
    std::lock_guard<std::mutex> lock(mu);
    return lookups;
}
void set_image(uint64_t base, uint64_t size) {
    std::lock_guard<std::mutex> lock(mu);
    image_base = base;
    image_size = size;
}
std::string output() {
    std::lock_guard<std::mutex> lock(mu);
    return out;
}
void clear_output() {
    std::lock_guard<std::mutex> lock(mu);
    out.clear();
}
int threads_started() {
    std::lock_guard<std::mutex> lock(mu);
    return started;
}
void set_thread_start_fails(bool fails) {
    std::lock_guard<std::mutex> lock(mu);
    start_fails = fails;
}
int sleeps() {
    return sleep_count.load();
}
int pacers_open() {
    return pacers_open_count.load();
}

int paced_waits() {
    return paced_waits_count.load();
}

bool wait_until(const std::function<bool()> &condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

} // namespace fake

plat_list plat_hid_list_open() {
    std::lock_guard<std::mutex> lock(mu);
    list_open_count++;
    return list_unavailable ? nullptr : &list_token;
}

plat_entry_result plat_hid_list_entry(plat_list, uint32_t index, plat_hid_interface *entry) {
    std::lock_guard<std::mutex> lock(mu);
    if (index >= entries.size())
        return PLAT_ENTRY_END;
    const fake::entry &e = entries[index];
    if (e.walk != PLAT_ENTRY_OK)
        return e.walk;
    if (e.path.size() >= plat_path_room)
        return PLAT_ENTRY_SKIP;
    std::copy(e.path.begin(), e.path.end(), entry->path);
    entry->path[e.path.size()] = '\0';
    // Listed paths are written as Windows writes them.
    entry->vendor_id = win32_paths::vendor_of(entry->path);
    entry->interface_number = win32_paths::interface_of(entry->path);
    return PLAT_ENTRY_OK;
}

void plat_hid_list_close(plat_list) {}

plat_file plat_hid_open(const char *path) {
    std::lock_guard<std::mutex> lock(mu);
    for (const fake::entry &e : entries) {
        if (e.path == path && e.open_fails) {
            last_error = e.open_error;
            return PLAT_INVALID_FILE;
        }
    }
    devices.push_back(std::make_unique<device>());
    devices.back()->path = path;
    devices.back()->empty_mode = default_empty_mode;
    return reinterpret_cast<plat_file>(static_cast<intptr_t>(devices.size()));
}

plat_io_result plat_hid_read(plat_file file, uint8_t *buffer, uint32_t room, uint32_t *count) {
    *count = 0;
    std::unique_lock<std::mutex> lock(mu);
    *count = 0;
    int n = index_of(file);
    if (n < 0) {
        last_error = 6;
        return PLAT_IO_GONE;
    }
    device &d = dev(n);
    if (d.closes > 0)
        uses_after_close++;
    d.read_calls++;
    d.read_rooms.push_back(room);
    if (d.reader) {
        auto reader = d.reader;
        lock.unlock();
        *count = reader(buffer, room);
        return *count > 0 ? PLAT_IO_DONE : PLAT_IO_GONE;
    }
    const uint64_t generation = d.cancel_generation;
    d.blocked++;
    cv.wait(lock, [&] {
        return !d.reads.empty() || d.gone || d.empty_mode == fake::when_empty::fail ||
               d.cancel_generation != generation;
    });
    d.blocked--;
    if (d.gone || (d.reads.empty() && d.empty_mode == fake::when_empty::fail))
        return PLAT_IO_GONE;
    if (d.reads.empty())
        return PLAT_IO_CANCELLED;
    std::vector<uint8_t> bytes = d.reads.front();
    d.reads.pop_front();
    if (bytes.empty())
        return PLAT_IO_GONE;
    if (bytes.size() > room)
        return PLAT_IO_DONE; // does not fit: dropped
    std::copy(bytes.begin(), bytes.end(), buffer);
    *count = static_cast<uint32_t>(bytes.size());
    return PLAT_IO_DONE;
}

void plat_hid_close(plat_file file) {
    std::lock_guard<std::mutex> lock(mu);
    int n = index_of(file);
    if (n >= 0)
        dev(n).closes++;
}

plat_io_result plat_hid_send(plat_file file, plat_report_kind kind, const uint8_t *report,
                             uint32_t length) {
    std::unique_lock<std::mutex> lock(mu);
    int n = index_of(file);
    if (n < 0)
        return PLAT_IO_GONE;
    device &d = dev(n);
    if (d.closes > 0)
        uses_after_close++;
    if (d.write_blocks) {
        const uint64_t generation = d.cancel_generation;
        cv.wait(lock, [&] { return !d.write_blocks || d.cancel_generation != generation; });
        if (d.write_blocks)
            return PLAT_IO_CANCELLED;
    }
    if (d.gone)
        return PLAT_IO_GONE;
    if (d.write_fails)
        return PLAT_IO_FAILED;
    d.sent.push_back({kind, std::vector<uint8_t>(report, report + length)});
    auto hook = write_hook;
    lock.unlock();
    if (hook)
        hook(n, kind, report, length);
    return PLAT_IO_DONE;
}

void plat_hid_cancel(plat_file file) {
    std::lock_guard<std::mutex> lock(mu);
    const int n = index_of(file);
    if (n < 0)
        return;
    if (dev(n).closes > 0)
        uses_after_close++;
    dev(n).cancel_generation++;
    cv.notify_all();
}

bool plat_hid_set_input_queue(plat_file file, uint32_t reports) {
    std::lock_guard<std::mutex> lock(mu);
    if (queue_refused) {
        last_error = queue_error;
        return false;
    }
    int n = index_of(file);
    if (n < 0) {
        last_error = 6;
        return false;
    }
    dev(n).queue_depth = reports;
    return true;
}

unsigned long plat_last_error() {
    return last_error;
}

bool plat_key_down(uint8_t vk) {
    return keys[vk].load();
}

uint32_t plat_ini_uint(const char *section, const char *key, int32_t def, const char *file_name) {
    std::lock_guard<std::mutex> lock(mu);
    lookups.push_back(std::string(file_name) + "|" + section + "|" + key + "|" +
                      std::to_string(def));
    auto it = ini.find(lower(section) + "|" + lower(key));
    return it == ini.end() ? static_cast<uint32_t>(def) : it->second;
}

uint64_t plat_host_image_base() {
    std::lock_guard<std::mutex> lock(mu);
    return image_base;
}
bool plat_host_byte_readable(uint64_t offset, uint64_t *size) {
    std::lock_guard<std::mutex> lock(mu);
    *size = image_size;
    return offset < image_size;
}

plat_thread plat_thread_start(plat_thread_fn fn, void *arg) {
    {
        std::lock_guard<std::mutex> lock(mu);
        if (start_fails)
            return nullptr;
        started++;
    }
    auto *t = new fake_thread;
    t->thread = std::thread([t, fn, arg] {
        self = t;
        fn(arg);
        std::lock_guard<std::mutex> lock(mu);
        t->done.store(true);
        cv.notify_all();
    });
    return t;
}

bool plat_thread_wait(plat_thread thread, uint32_t timeout_ms) {
    auto *t = static_cast<fake_thread *>(thread);
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [t] { return t->done.load(); });
}

void plat_thread_close(plat_thread thread) {
    auto *t = static_cast<fake_thread *>(thread);
    if (t->thread.joinable())
        t->thread.join();
    delete t;
}

uint64_t plat_now_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void plat_sleep_ms(uint32_t ms) {
    sleep_count++;
    if (self)
        self->sleeps++;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void plat_pacer_open(plat_pacer *pacer) {
    pacer->pacing = PLAT_PACING_PLAIN;
    pacer->timer = nullptr;
    pacers_open_count++;
}

void plat_pacer_close(plat_pacer *) {
    pacers_open_count--;
}

void plat_wait(const plat_pacer *pacer, uint32_t ms) {
    sleep_count++;
    if (pacer != nullptr && ms == 1)
        paced_waits_count++;
    std::unique_lock<std::mutex> lock(mu);
    if (self == nullptr) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    self->sleeps++;
    auto woken = [] { return self->woken; };
    if (ms == plat_wait_forever)
        cv.wait(lock, woken);
    else
        cv.wait_for(lock, std::chrono::milliseconds(ms), woken);
    self->woken = false;
}

void plat_thread_wake(plat_thread thread) {
    std::lock_guard<std::mutex> lock(mu);
    static_cast<fake_thread *>(thread)->woken = true;
    cv.notify_all();
}

void plat_vprint(const char *format, va_list args) {
    char buffer[1024];
    vsnprintf(buffer, sizeof buffer, format, args);
    std::lock_guard<std::mutex> lock(mu);
    out += buffer;
}

void plat_exit(int status) {
    // Death tests read the child's stderr: hand them what was printed.
    std::string text = fake::output();
    fputs(text.c_str(), stderr);
    std::exit(status);
}

void plat_check_failed(const char *expression, const char *file, unsigned line,
                       const char *function) {
    __assert_fail(expression, file, line, function);
}
