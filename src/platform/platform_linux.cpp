// Linux implementation of the platform layer: HID through hidapi's hidraw
// backend and through virtual interfaces (Unix sockets, see virtual_hid.h),
// keys from evdev, INI integers through inih, pthreads.
//
// Everything lives in fixed static tables: the interface listing, the open
// handles and the threads. hidapi and libc allocate for themselves; this file
// does not.
#include "platform/platform.h"
#include "platform/virtual_hid.h"

#include <hidapi.h>
#include <ini.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <link.h>
#include <linux/input.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// --- Errors -------------------------------------------------------------------

thread_local unsigned long last_error_code = 0;

void set_last_error(int code) {
    last_error_code = static_cast<unsigned long>(code);
}

// --- Threads ----------------------------------------------------------------------

constexpr int kMaxThreads = 16;

struct thread_slot {
    std::atomic<bool> used{false};
    pthread_t handle{};
    plat_thread_fn fn = nullptr;
    void *arg = nullptr;
    bool joined = false; // touched only by the thread that waits and closes
    // Bumped by plat_thread_cancel_io; a read compares it with the value it
    // saw on entry. The eventfd wakes a read that waits in poll().
    std::atomic<uint32_t> cancel_generation{0};
    int wake_fd = -1;
};

thread_slot thread_slots[kMaxThreads];
thread_local thread_slot *current_thread = nullptr;

void *thread_trampoline(void *raw) {
    thread_slot *slot = static_cast<thread_slot *>(raw);
    current_thread = slot;
    slot->fn(slot->arg);
    return nullptr;
}

uint32_t cancel_generation_now() {
    return current_thread ? current_thread->cancel_generation.load(std::memory_order_acquire) : 0;
}

bool cancelled_since(uint32_t generation) {
    return current_thread &&
           current_thread->cancel_generation.load(std::memory_order_acquire) != generation;
}

void drain_eventfd(int fd) {
    uint64_t count;
    while (read(fd, &count, sizeof count) > 0) {
    }
}

// --- HID handles --------------------------------------------------------------------

constexpr int kMaxHandles = 64;
constexpr uint32_t kMaxQueueDepth = 8;
constexpr uint32_t kReportRoom = 256; // largest input report kept
constexpr int kHidrawPollMs = 15;     // slice of a blocked hidraw read
constexpr int kAckTimeoutMs = 1000;   // a virtual write waits this long for its ACK

enum handle_kind : int { kind_free = 0, kind_claimed, kind_hidraw, kind_virtual };

struct hid_slot {
    std::atomic<int> kind{kind_free};
    hid_device *device = nullptr;
    int fd = -1;
    std::atomic<uint32_t> queue_depth{2};
    std::atomic<bool> gone{false};
    // ACKs a reader came across; a writer on another thread counts them as its own.
    std::atomic<uint32_t> acks_seen{0};
    // Queue of the newest reports of one read (reader's thread only).
    uint8_t reports[kMaxQueueDepth][kReportRoom];
    uint32_t report_sizes[kMaxQueueDepth];
};

hid_slot hid_slots[kMaxHandles];

hid_slot *slot_of(plat_file file) {
    for (hid_slot &slot : hid_slots) {
        if (&slot == file) {
            int kind = slot.kind.load(std::memory_order_acquire);
            return kind == kind_hidraw || kind == kind_virtual ? &slot : nullptr;
        }
    }
    return nullptr;
}

hid_slot *claim_slot() {
    for (hid_slot &slot : hid_slots) {
        int expected = kind_free;
        if (slot.kind.compare_exchange_strong(expected, kind_claimed, std::memory_order_acq_rel)) {
            slot.device = nullptr;
            slot.fd = -1;
            slot.queue_depth.store(2, std::memory_order_relaxed);
            slot.gone.store(false, std::memory_order_relaxed);
            slot.acks_seen.store(0, std::memory_order_relaxed);
            return &slot;
        }
    }
    return nullptr;
}

// Keeps the newest `depth` reports of one read: count reports are held, the
// oldest at index first.
struct report_ring {
    hid_slot *slot;
    uint32_t depth;
    uint32_t first = 0;
    uint32_t count = 0;

    uint8_t *next_buffer() { return slot->reports[(first + count) % depth]; }
    void commit(uint32_t size) {
        slot->report_sizes[(first + count) % depth] = size;
        if (count < depth) {
            ++count;
        } else {
            first = (first + 1) % depth;
        }
    }
    // The held reports, oldest first, as many of the newest as fit in room.
    uint32_t deliver(uint8_t *buffer, uint32_t room) const {
        uint32_t skip = 0;
        uint32_t total = 0;
        for (uint32_t i = 0; i < count; ++i) {
            total += slot->report_sizes[(first + i) % depth];
        }
        while (skip < count && total > room) {
            total -= slot->report_sizes[(first + skip) % depth];
            ++skip;
        }
        uint32_t written = 0;
        for (uint32_t i = skip; i < count; ++i) {
            uint32_t index = (first + i) % depth;
            memcpy(buffer + written, slot->reports[index], slot->report_sizes[index]);
            written += slot->report_sizes[index];
        }
        return written;
    }
};

uint32_t queue_depth_of(hid_slot *slot) {
    uint32_t depth = slot->queue_depth.load(std::memory_order_acquire);
    return depth < 1 ? 1 : (depth > kMaxQueueDepth ? kMaxQueueDepth : depth);
}

uint32_t hidraw_read(hid_slot *slot, uint8_t *buffer, uint32_t room) {
    report_ring ring{slot, queue_depth_of(slot)};
    uint32_t generation = cancel_generation_now();
    // Block, in short slices so that a cancel is seen, until one report comes.
    for (;;) {
        int got = hid_read_timeout(slot->device, ring.next_buffer(), kReportRoom, kHidrawPollMs);
        if (got < 0) {
            slot->gone.store(true, std::memory_order_release);
            set_last_error(ENODEV);
            return 0;
        }
        if (got > 0) {
            ring.commit(static_cast<uint32_t>(got));
            break;
        }
        if (cancelled_since(generation)) {
            set_last_error(ECANCELED);
            return 0;
        }
    }
    // Then take whatever else is queued, without waiting.
    for (;;) {
        int got = hid_read_timeout(slot->device, ring.next_buffer(), kReportRoom, 0);
        if (got <= 0) {
            break;
        }
        ring.commit(static_cast<uint32_t>(got));
    }
    return ring.deliver(buffer, room);
}

// One message from a virtual interface without waiting: its size (kind byte
// included), 0 when nothing is there, -1 when the interface is gone.
int virtual_receive(hid_slot *slot, uint8_t *message) {
    ssize_t got = recv(slot->fd, message, VHID_MAX_MESSAGE, MSG_DONTWAIT);
    if (got > 0) {
        return static_cast<int>(got);
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    slot->gone.store(true, std::memory_order_release);
    return -1;
}

uint32_t virtual_read(hid_slot *slot, uint8_t *buffer, uint32_t room) {
    report_ring ring{slot, queue_depth_of(slot)};
    uint32_t generation = cancel_generation_now();
    int wake_fd = current_thread ? current_thread->wake_fd : -1;
    uint8_t message[VHID_MAX_MESSAGE];
    for (;;) {
        // Take everything queued now; keep the newest reports.
        for (;;) {
            int got = virtual_receive(slot, message);
            if (got < 0) {
                set_last_error(ENODEV);
                return 0;
            }
            if (got == 0) {
                break;
            }
            if (message[0] == VHID_ACK) {
                slot->acks_seen.fetch_add(1, std::memory_order_acq_rel);
            } else if (message[0] == VHID_INPUT && got > 1) {
                uint32_t size = static_cast<uint32_t>(got - 1);
                memcpy(ring.next_buffer(), message + 1, size);
                ring.commit(size);
            }
        }
        if (ring.count > 0) {
            return ring.deliver(buffer, room);
        }
        // Nothing yet: wait for the socket or a cancel. A stale wake-up from an
        // earlier cancel is cleared before the generation is compared, so a
        // cancel that arrives after the comparison still wakes the poll.
        if (wake_fd >= 0) {
            drain_eventfd(wake_fd);
        }
        if (cancelled_since(generation)) {
            set_last_error(ECANCELED);
            return 0;
        }
        pollfd fds[2] = {{slot->fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        int result = poll(fds, wake_fd >= 0 ? 2 : 1, -1);
        if (result < 0 && errno != EINTR) {
            set_last_error(errno);
            return 0;
        }
    }
}

bool virtual_send(hid_slot *slot, uint8_t kind, const uint8_t *report, uint32_t length) {
    if (length == 0 || length + 1 > VHID_MAX_MESSAGE) {
        set_last_error(EINVAL);
        return false;
    }
    uint8_t message[VHID_MAX_MESSAGE];
    message[0] = kind;
    memcpy(message + 1, report, length);
    uint32_t acks_before = slot->acks_seen.load(std::memory_order_acquire);
    const size_t message_length = size_t{length} + 1;
    if (send(slot->fd, message, message_length, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(message_length)) {
        set_last_error(errno);
        return false;
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int got = virtual_receive(slot, message);
        if (got < 0) {
            set_last_error(ENODEV);
            return false;
        }
        if (got > 0) {
            if (message[0] == VHID_ACK) {
                return true;
            }
            continue; // input that arrived meanwhile is not ours to keep
        }
        if (slot->acks_seen.load(std::memory_order_acquire) != acks_before) {
            return true; // a reader on another thread took our ACK
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed =
            (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (elapsed >= kAckTimeoutMs) {
            set_last_error(ETIMEDOUT);
            return false;
        }
        // Short slices: an ACK may also be taken by a reader on another thread.
        long wait = kAckTimeoutMs - elapsed;
        pollfd fds[1] = {{slot->fd, POLLIN, 0}};
        poll(fds, 1, wait < 10 ? static_cast<int>(wait) : 10);
    }
}

// --- Interface listing ---------------------------------------------------------------

constexpr uint32_t kMaxListed = 128;
constexpr uint32_t kPathRoom = 1024; // the library's path buffer
constexpr uint32_t kDetailHeader = 4;

struct listed_interface {
    char path[kPathRoom];
    uint32_t length; // the full path's length, which may exceed what is kept
};

struct interface_list {
    listed_interface entries[kMaxListed];
    uint32_t count;
};

interface_list the_list;

// Adds an entry whose path is prefix + middle + rest. A path too long for the
// library's buffer is kept cut, with its real length, so that its detail size
// tells the library to skip it.
void list_add(const char *prefix, const char *middle, const char *rest) {
    if (the_list.count >= kMaxListed) {
        return;
    }
    listed_interface &entry = the_list.entries[the_list.count++];
    entry.length = static_cast<uint32_t>(strlen(prefix) + strlen(middle) + strlen(rest));
    snprintf(entry.path, sizeof entry.path, "%s%s%s", prefix, middle, rest);
}

void list_real_devices() {
    hid_device_info *devices = hid_enumerate(0, 0);
    for (hid_device_info *info = devices; info; info = info->next) {
        char identity[64];
        if (info->interface_number < 0) {
            snprintf(identity, sizeof identity, "hid#vid_%04x&pid_%04x#", info->vendor_id,
                     info->product_id);
        } else {
            snprintf(identity, sizeof identity, "hid#vid_%04x&pid_%04x&mi_%02x#", info->vendor_id,
                     info->product_id, static_cast<unsigned>(info->interface_number) & 0xFF);
        }
        list_add("hidraw:", identity, info->path ? info->path : "");
    }
    hid_free_enumeration(devices);
}

constexpr uint32_t kMaxVirtual = 64;
constexpr size_t kNameRoom = 256;

void list_virtual_devices() {
    const char *folder = getenv(VHID_DIR_ENV);
    if (!folder || !*folder || strlen(folder) >= kPathRoom) {
        return;
    }
    DIR *dir = opendir(folder);
    if (!dir) {
        return;
    }
    static char names[kMaxVirtual][kNameRoom];
    uint32_t count = 0;
    char full[kPathRoom + 8];
    while (dirent *item = readdir(dir)) {
        if (count >= kMaxVirtual || strlen(item->d_name) >= kNameRoom) {
            continue;
        }
        snprintf(full, sizeof full, "%s/%s", folder, item->d_name);
        struct stat info;
        if (stat(full, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            continue;
        }
        // Insertion into a sorted list keeps the order stable between runs.
        uint32_t at = count;
        while (at > 0 && strcmp(names[at - 1], item->d_name) > 0) {
            memcpy(names[at], names[at - 1], kNameRoom);
            --at;
        }
        snprintf(names[at], kNameRoom, "%s", item->d_name);
        ++count;
    }
    closedir(dir);
    char folder_slash[kPathRoom + 8];
    snprintf(folder_slash, sizeof folder_slash, "%s/", folder);
    for (uint32_t i = 0; i < count; ++i) {
        list_add(VHID_PATH_PREFIX, folder_slash, names[i]);
    }
}

// --- Keyboard (evdev) ---------------------------------------------------------------------

// Virtual-key code -> up to two Linux key codes (a generic modifier stands for
// both of its keys). 0 means no key.
struct key_table {
    uint16_t codes[256][2];
};

constexpr key_table make_key_table() {
    key_table t{};
    auto set = [&t](int vk, uint16_t first, uint16_t second = 0) {
        t.codes[vk][0] = first;
        t.codes[vk][1] = second;
    };
    const uint16_t digits[10] = {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4,
                                 KEY_5, KEY_6, KEY_7, KEY_8, KEY_9};
    const uint16_t letters[26] = {KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I,
                                  KEY_J, KEY_K, KEY_L, KEY_M, KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R,
                                  KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z};
    const uint16_t numpad[10] = {KEY_KP0, KEY_KP1, KEY_KP2, KEY_KP3, KEY_KP4,
                                 KEY_KP5, KEY_KP6, KEY_KP7, KEY_KP8, KEY_KP9};
    const uint16_t functions[24] = {KEY_F1,  KEY_F2,  KEY_F3,  KEY_F4,  KEY_F5,  KEY_F6,
                                    KEY_F7,  KEY_F8,  KEY_F9,  KEY_F10, KEY_F11, KEY_F12,
                                    KEY_F13, KEY_F14, KEY_F15, KEY_F16, KEY_F17, KEY_F18,
                                    KEY_F19, KEY_F20, KEY_F21, KEY_F22, KEY_F23, KEY_F24};
    for (int i = 0; i < 10; ++i) {
        set(0x30 + i, digits[i]);
        set(0x60 + i, numpad[i]);
    }
    for (int i = 0; i < 26; ++i) {
        set(0x41 + i, letters[i]);
    }
    for (int i = 0; i < 24; ++i) {
        set(0x70 + i, functions[i]);
    }
    set(0x08, KEY_BACKSPACE);
    set(0x09, KEY_TAB);
    set(0x0D, KEY_ENTER, KEY_KPENTER);
    set(0x10, KEY_LEFTSHIFT, KEY_RIGHTSHIFT);
    set(0x11, KEY_LEFTCTRL, KEY_RIGHTCTRL);
    set(0x12, KEY_LEFTALT, KEY_RIGHTALT);
    set(0x13, KEY_PAUSE);
    set(0x14, KEY_CAPSLOCK);
    set(0x1B, KEY_ESC);
    set(0x20, KEY_SPACE);
    set(0x21, KEY_PAGEUP);
    set(0x22, KEY_PAGEDOWN);
    set(0x23, KEY_END);
    set(0x24, KEY_HOME);
    set(0x25, KEY_LEFT);
    set(0x26, KEY_UP);
    set(0x27, KEY_RIGHT);
    set(0x28, KEY_DOWN);
    set(0x2C, KEY_SYSRQ);
    set(0x2D, KEY_INSERT);
    set(0x2E, KEY_DELETE);
    set(0x5B, KEY_LEFTMETA);
    set(0x5C, KEY_RIGHTMETA);
    set(0x5D, KEY_COMPOSE);
    set(0x6A, KEY_KPASTERISK);
    set(0x6B, KEY_KPPLUS);
    set(0x6D, KEY_KPMINUS);
    set(0x6E, KEY_KPDOT);
    set(0x6F, KEY_KPSLASH);
    set(0x90, KEY_NUMLOCK);
    set(0x91, KEY_SCROLLLOCK);
    set(0xA0, KEY_LEFTSHIFT);
    set(0xA1, KEY_RIGHTSHIFT);
    set(0xA2, KEY_LEFTCTRL);
    set(0xA3, KEY_RIGHTCTRL);
    set(0xA4, KEY_LEFTALT);
    set(0xA5, KEY_RIGHTALT);
    set(0xBA, KEY_SEMICOLON);
    set(0xBB, KEY_EQUAL);
    set(0xBC, KEY_COMMA);
    set(0xBD, KEY_MINUS);
    set(0xBE, KEY_DOT);
    set(0xBF, KEY_SLASH);
    set(0xC0, KEY_GRAVE);
    set(0xDB, KEY_LEFTBRACE);
    set(0xDC, KEY_BACKSLASH);
    set(0xDD, KEY_RIGHTBRACE);
    set(0xDE, KEY_APOSTROPHE);
    set(0xE2, KEY_102ND);
    return t;
}

constexpr key_table vk_to_linux = make_key_table();

constexpr int kMaxKeyboards = 16;
constexpr long kRescanIdleMs = 1000;    // with no keyboard, or after a failed read
constexpr long kRescanPeriodMs = 10000; // to pick up keyboards plugged in later

// The open keyboards, guarded by keyboard_lock (the host's thread and the
// slider thread ask at the same time).
pthread_mutex_t keyboard_lock = PTHREAD_MUTEX_INITIALIZER;
int keyboard_fds[kMaxKeyboards];
int keyboard_count = 0;
bool keyboards_scanned = false;
bool keyboard_failed = false;
long keyboards_scanned_at = 0;

long monotonic_us() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000L + now.tv_nsec / 1000L;
}

bool bit_set(const uint8_t *bits, unsigned bit) {
    return (bits[bit / 8] >> (bit % 8)) & 1;
}

const char *input_folder = "/dev/input";

void scan_keyboards() {
    for (int i = 0; i < keyboard_count; ++i) {
        close(keyboard_fds[i]);
    }
    keyboard_count = 0;
    keyboards_scanned = true;
    keyboard_failed = false;
    keyboards_scanned_at = monotonic_us() / 1000;
    DIR *dir = opendir(input_folder);
    if (!dir) {
        return;
    }
    char path[512];
    while (dirent *item = readdir(dir)) {
        if (keyboard_count >= kMaxKeyboards) {
            break;
        }
        if (strncmp(item->d_name, "event", 5) != 0) {
            continue;
        }
        snprintf(path, sizeof path, "%s/%s", input_folder, item->d_name);
        int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        uint8_t types[(EV_MAX + 8) / 8] = {};
        uint8_t keys[(KEY_MAX + 8) / 8] = {};
        bool keyboard = ioctl(fd, EVIOCGBIT(0, sizeof types), types) >= 0 &&
                        bit_set(types, EV_KEY) &&
                        ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) >= 0 &&
                        bit_set(keys, KEY_A) && bit_set(keys, KEY_Z) && bit_set(keys, KEY_Q);
        if (keyboard) {
            keyboard_fds[keyboard_count++] = fd;
        } else {
            close(fd);
        }
    }
    closedir(dir);
}

// The keys down on any keyboard, gathered at most once per
// kKeyStateLifetimeUs: the slider thread asks for eight keys on every pass.
constexpr long kKeyStateLifetimeUs = 1000;
uint8_t keys_down[(KEY_MAX + 8) / 8];
long keys_down_at_us = -1;

void gather_keys_down(long now_us) {
    long now = now_us / 1000;
    if (!keyboards_scanned ||
        ((keyboard_count == 0 || keyboard_failed) && now - keyboards_scanned_at >= kRescanIdleMs) ||
        now - keyboards_scanned_at >= kRescanPeriodMs) {
        scan_keyboards();
    }
    memset(keys_down, 0, sizeof keys_down);
    for (int i = 0; i < keyboard_count; ++i) {
        uint8_t state[sizeof keys_down] = {};
        if (ioctl(keyboard_fds[i], EVIOCGKEY(sizeof state), state) < 0) {
            keyboard_failed = true; // unplugged: the next scan drops it
            continue;
        }
        for (size_t byte = 0; byte < sizeof keys_down; ++byte) {
            keys_down[byte] |= state[byte];
        }
    }
    keys_down_at_us = now_us;
}

bool key_is_down(uint8_t vk) {
    const uint16_t *codes = vk_to_linux.codes[vk];
    if (codes[0] == 0) {
        return false;
    }
    pthread_mutex_lock(&keyboard_lock);
    long now_us = monotonic_us();
    if (keys_down_at_us < 0 || now_us - keys_down_at_us >= kKeyStateLifetimeUs) {
        gather_keys_down(now_us);
    }
    bool down = bit_set(keys_down, codes[0]) || (codes[1] != 0 && bit_set(keys_down, codes[1]));
    pthread_mutex_unlock(&keyboard_lock);
    return down;
}

// --- INI integers ---------------------------------------------------------------------------

// The Windows reader hands the integer parser at most this many characters.
constexpr size_t kIniValueRoom = 29;

// The integer rule of the Windows reader: leading control characters and
// spaces skipped, one sign, "0x" (hexadecimal), "0o" (octal) or "0b" (binary)
// after it, then digits up to the first one that does not belong; the
// unsigned 32-bit result wraps and is negated for a minus sign.
uint32_t windows_integer(const char *text) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p && *p <= ' ') {
        ++p;
    }
    bool minus = false;
    if (*p == '+') {
        ++p;
    } else if (*p == '-') {
        minus = true;
        ++p;
    }
    uint32_t base = 10;
    if (p[0] == '0' && p[1] == 'x') {
        base = 16;
        p += 2;
    } else if (p[0] == '0' && p[1] == 'o') {
        base = 8;
        p += 2;
    } else if (p[0] == '0' && p[1] == 'b') {
        base = 2;
        p += 2;
    }
    uint32_t total = 0;
    for (;; ++p) {
        uint32_t digit;
        if (*p >= '0' && *p <= '9') {
            digit = *p - '0';
        } else if (*p >= 'a' && *p <= 'z') {
            digit = *p - 'a' + 10;
        } else if (*p >= 'A' && *p <= 'Z') {
            digit = *p - 'A' + 10;
        } else {
            break;
        }
        if (digit >= base) {
            break;
        }
        total = total * base + digit;
    }
    return minus ? 0u - total : total;
}

// Lines are cut to this length before the rules below look at them.
constexpr size_t kIniLineRoom = 4096;
// A value keeps its first characters and its last one (for the quote rule).
constexpr size_t kIniValueKept = 64;
// Stands in for characters that inih would treat as syntax where the
// Windows reader does not (':' as a separator, ']' inside a section name).
constexpr char kIniInert = 0x7F;

// One INI query. The line reader follows the section headers itself, with
// the Windows reader's rules (name between the '[' and the last ']', trimmed,
// case-insensitive; only the first section of a name is searched, the
// nameless one before any header included) and hands inih lines in a form
// that it splits the same way.
struct ini_query {
    FILE *file;
    const char *section;
    const char *key;
    bool first_line;
    int header_index;   // headers passed so far; 0 before the first one
    int matched_header; // index of the first section of the wanted name, or -1
    bool found;
    char value[kIniValueRoom + 1];
};

const char *skip_blanks(const char *text) {
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    return text;
}

// Length of text without the blanks at its end.
size_t trimmed_length(const char *text, size_t length) {
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) {
        --length;
    }
    return length;
}

// Whether the first length characters of a name from the file are the name
// asked for, compared as the Windows reader compares them (case-insensitive;
// an inert byte stands for the ':' it replaced).
bool same_name(const char *name, size_t length, const char *wanted) {
    if (strlen(wanted) != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        char c = name[i] == kIniInert ? ':' : name[i];
        if (tolower(static_cast<unsigned char>(c)) !=
            tolower(static_cast<unsigned char>(wanted[i]))) {
            return false;
        }
    }
    return true;
}

int ini_match(void *user, const char *, const char *name, const char *value) {
    ini_query *query = static_cast<ini_query *>(user);
    if (query->found || query->header_index != query->matched_header || !name) {
        return 1;
    }
    if (!same_name(name, strlen(name), query->key)) {
        return 1;
    }
    query->found = true; // the first key of the name wins, with or without a value
    const char *text = value ? value : "";
    size_t length = strlen(text);
    // A value in matching quotes is taken without them.
    if (length >= 2 && (text[0] == '"' || text[0] == '\'') && text[length - 1] == text[0]) {
        ++text;
        length -= 2;
    }
    if (length > kIniValueRoom) {
        length = kIniValueRoom;
    }
    memcpy(query->value, text, length);
    query->value[length] = '\0';
    for (char *c = query->value; *c; ++c) {
        if (*c == kIniInert) {
            *c = ':';
        }
    }
    return 1;
}

// Reads one whole line of the file (cut at kIniLineRoom), without its end.
// false at the end of the file.
bool read_raw_line(ini_query *query, char *line) {
    size_t used = 0;
    int c = EOF;
    bool any = false;
    while ((c = fgetc(query->file)) != EOF) {
        any = true;
        if (c == '\n') {
            break;
        }
        if (used < kIniLineRoom - 1) {
            line[used++] = static_cast<char>(c);
        }
    }
    line[used] = '\0';
    if (used > 0 && line[used - 1] == '\r') {
        line[--used] = '\0';
    }
    if (query->first_line) {
        query->first_line = false;
        if (strncmp(line, "\xEF\xBB\xBF", 3) == 0) {
            memmove(line, line + 3, used - 2);
        }
    }
    return any;
}

// The line reader inih calls: section headers are followed here and passed on
// as a neutral header, comments as empty lines, and "name=value" lines as the
// trimmed name, '=' and the value without its leading blanks (cut to its
// first characters and its last one, which is all the Windows reader looks
// at). ':' in a name or value, which inih would take as a separator, is passed
// on as an inert byte.
char *ini_read_line(char *out, int room, void *stream) {
    ini_query *query = static_cast<ini_query *>(stream);
    static thread_local char line[kIniLineRoom];
    if (!read_raw_line(query, line)) {
        return nullptr;
    }
    const char *start = skip_blanks(line);
    const char *close = *start == '[' ? strrchr(start, ']') : nullptr;
    size_t limit = static_cast<size_t>(room) - 2; // room for the line end and NUL
    size_t used = 0;
    if (close) {
        ++query->header_index;
        const char *name = skip_blanks(start + 1);
        size_t length = name < close ? trimmed_length(name, close - name) : 0;
        if (query->matched_header < 0 && same_name(name, length, query->section)) {
            query->matched_header = query->header_index;
        }
        used = static_cast<size_t>(snprintf(out, room, "[h]"));
    } else if (*start != ';' && *start != '\0') {
        const char *equals = strchr(start, '=');
        size_t name_length = trimmed_length(start, equals ? equals - start : strlen(start));
        if (name_length > limit) {
            name_length = limit;
        }
        memcpy(out, start, name_length);
        used = name_length;
        if (equals && used < limit) {
            out[used++] = '=';
            const char *value = skip_blanks(equals + 1);
            size_t value_length = trimmed_length(value, strlen(value));
            size_t kept = value_length > kIniValueKept ? kIniValueKept - 1 : value_length;
            if (kept > limit - used) {
                kept = limit - used;
            }
            memcpy(out + used, value, kept);
            used += kept;
            if (kept < value_length && used < limit) {
                out[used++] = value[value_length - 1];
            }
        }
        for (size_t i = 0; i < used; ++i) {
            if (out[i] == ':') {
                out[i] = kIniInert;
            }
        }
    }
    out[used++] = '\n';
    out[used] = '\0';
    return out;
}

char ini_comment_prefixes[] = ";";

uint32_t read_ini_integer(const char *section, const char *key, int32_t def,
                          const char *file_name) {
    char path[4096];
    snprintf(path, sizeof path, "%s", file_name);
    for (char *c = path; *c; ++c) {
        if (*c == '\\') {
            *c = '/';
        }
    }
    FILE *file = fopen(path, "rb");
    if (!file) {
        return static_cast<uint32_t>(def);
    }
    ini_query query{file, section, key, true, 0, -1, false, {}};
    // The nameless section before the first header is the first of its name.
    if (*section == '\0') {
        query.matched_header = 0;
    }
    ini_allow_multiline = false;
    ini_allow_inline_comments = false;
    ini_allow_no_value = true;
    ini_allow_bom = false;
    ini_stop_on_first_error = false;
    ini_start_comment_prefixes = ini_comment_prefixes;
    ini_parse_stream(ini_read_line, &query, ini_match, &query);
    fclose(file);
    if (!query.found || query.value[0] == '\0') {
        return static_cast<uint32_t>(def);
    }
    return windows_integer(query.value);
}

// --- Host image ---------------------------------------------------------------------------------

struct image_extent {
    uint64_t base;
    uint64_t size;
};

int first_image(dl_phdr_info *info, size_t, void *data) {
    image_extent *extent = static_cast<image_extent *>(data);
    uint64_t low = UINT64_MAX;
    uint64_t high = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) {
            continue;
        }
        if (header.p_vaddr < low) {
            low = header.p_vaddr;
        }
        if (header.p_vaddr + header.p_memsz > high) {
            high = header.p_vaddr + header.p_memsz;
        }
    }
    if (low != UINT64_MAX) {
        extent->base = info->dlpi_addr + low;
        extent->size = high - low;
    }
    return 1; // the main program comes first
}

image_extent host_image() {
    image_extent extent{0, 0};
    dl_iterate_phdr(first_image, &extent);
    return extent;
}

} // namespace

// --- HID interface listing ---------------------------------------------------------------------

plat_list plat_hid_list_open() {
    the_list.count = 0;
    list_virtual_devices();
    list_real_devices();
    return &the_list;
}

bool plat_hid_list_entry(plat_list list, uint32_t index, uint32_t *detail_size) {
    if (list != &the_list || index >= the_list.count) {
        return false;
    }
    if (detail_size) {
        *detail_size = kDetailHeader + the_list.entries[index].length + 1;
    }
    return true;
}

bool plat_hid_list_path(plat_list list, uint32_t index, char *path, uint32_t detail_size) {
    if (list != &the_list || index >= the_list.count || !path) {
        return false;
    }
    const listed_interface &entry = the_list.entries[index];
    if (entry.length + 1 > kPathRoom || detail_size < kDetailHeader + entry.length + 1) {
        return false;
    }
    memcpy(path, entry.path, entry.length + 1);
    return true;
}

void plat_hid_list_close(plat_list) {}

// --- HID I/O
// ---------------------------------------------------------------------------------------

plat_file plat_hid_open(const char *path) {
    if (!path) {
        set_last_error(EINVAL);
        return PLAT_INVALID_FILE;
    }
    const size_t hidraw_length = strlen("hidraw:");
    const size_t virtual_length = strlen(VHID_PATH_PREFIX);
    if (strncmp(path, "hidraw:", hidraw_length) == 0) {
        const char *device_path = strrchr(path, '#');
        device_path = device_path ? device_path + 1 : path + hidraw_length;
        hid_device *device = hid_open_path(device_path);
        if (!device) {
            set_last_error(errno ? errno : ENODEV);
            return PLAT_INVALID_FILE;
        }
        hid_slot *slot = claim_slot();
        if (!slot) {
            hid_close(device);
            set_last_error(EMFILE);
            return PLAT_INVALID_FILE;
        }
        slot->device = device;
        slot->kind.store(kind_hidraw, std::memory_order_release);
        return slot;
    }
    if (strncmp(path, VHID_PATH_PREFIX, virtual_length) == 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const char *socket_path = path + virtual_length;
        if (strlen(socket_path) >= sizeof address.sun_path) {
            set_last_error(ENAMETOOLONG);
            return PLAT_INVALID_FILE;
        }
        memcpy(address.sun_path, socket_path, strlen(socket_path) + 1);
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            set_last_error(errno);
            return PLAT_INVALID_FILE;
        }
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            set_last_error(errno);
            close(fd);
            return PLAT_INVALID_FILE;
        }
        hid_slot *slot = claim_slot();
        if (!slot) {
            close(fd);
            set_last_error(EMFILE);
            return PLAT_INVALID_FILE;
        }
        slot->fd = fd;
        slot->kind.store(kind_virtual, std::memory_order_release);
        return slot;
    }
    set_last_error(ENOENT);
    return PLAT_INVALID_FILE;
}

plat_read_result plat_hid_read(plat_file file, uint8_t *buffer, uint32_t room, uint32_t *count) {
    *count = 0;
    hid_slot *slot = slot_of(file);
    if (!slot || !buffer) {
        set_last_error(EBADF);
        return PLAT_READ_GONE;
    }
    if (slot->gone.load(std::memory_order_acquire)) {
        set_last_error(ENODEV);
        return PLAT_READ_GONE;
    }
    *count = slot->kind.load(std::memory_order_acquire) == kind_hidraw
                 ? hidraw_read(slot, buffer, room)
                 : virtual_read(slot, buffer, room);
    if (*count > 0)
        return PLAT_READ_DATA;
    return last_error_code == ECANCELED ? PLAT_READ_CANCELLED : PLAT_READ_GONE;
}

void plat_hid_close(plat_file file) {
    hid_slot *slot = slot_of(file);
    if (!slot)
        return;
    if (slot->device)
        hid_close(slot->device);
    if (slot->fd >= 0)
        close(slot->fd);
    slot->device = nullptr;
    slot->fd = -1;
    slot->kind.store(kind_free, std::memory_order_release);
}

bool plat_hid_write(plat_file file, const uint8_t *report, uint32_t length) {
    hid_slot *slot = slot_of(file);
    if (!slot || !report || length == 0) {
        set_last_error(EBADF);
        return false;
    }
    if (slot->kind.load(std::memory_order_acquire) == kind_virtual) {
        return virtual_send(slot, VHID_OUTPUT, report, length);
    }
    if (hid_write(slot->device, report, length) < 0) {
        set_last_error(EIO);
        return false;
    }
    return true;
}

bool plat_hid_set_feature(plat_file file, const uint8_t *report, uint32_t length) {
    hid_slot *slot = slot_of(file);
    if (!slot || !report || length == 0) {
        set_last_error(EBADF);
        return false;
    }
    if (slot->kind.load(std::memory_order_acquire) == kind_virtual) {
        return virtual_send(slot, VHID_FEATURE, report, length);
    }
    if (hid_send_feature_report(slot->device, report, length) < 0) {
        set_last_error(EIO);
        return false;
    }
    return true;
}

bool plat_hid_set_input_queue(plat_file file, uint32_t reports) {
    hid_slot *slot = slot_of(file);
    if (!slot) {
        set_last_error(EBADF);
        return false;
    }
    if (reports < 1) {
        set_last_error(EINVAL);
        return false;
    }
    slot->queue_depth.store(reports > kMaxQueueDepth ? kMaxQueueDepth : reports,
                            std::memory_order_release);
    return true;
}

unsigned long plat_last_error() {
    return last_error_code;
}

// --- Keyboard
// -----------------------------------------------------------------------------------------

bool plat_key_down(uint8_t vk) {
    return key_is_down(vk);
}

// --- Configuration and host image ----------------------------------------------------------------

uint32_t plat_ini_uint(const char *section, const char *key, int32_t def, const char *file_name) {
    if (!section || !key || !file_name) {
        return static_cast<uint32_t>(def);
    }
    return read_ini_integer(section, key, def, file_name);
}

uint64_t plat_host_image_base() {
    return host_image().base;
}

uint64_t plat_host_image_size() {
    return host_image().size;
}

// --- Threads
// ------------------------------------------------------------------------------------------

plat_thread plat_thread_start(plat_thread_fn fn, void *arg) {
    if (!fn) {
        return nullptr;
    }
    for (thread_slot &slot : thread_slots) {
        bool expected = false;
        if (!slot.used.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
            continue;
        }
        slot.fn = fn;
        slot.arg = arg;
        slot.joined = false;
        slot.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (slot.wake_fd < 0 || pthread_create(&slot.handle, nullptr, thread_trampoline, &slot)) {
            if (slot.wake_fd >= 0) {
                close(slot.wake_fd);
            }
            slot.wake_fd = -1;
            slot.used.store(false, std::memory_order_release);
            return nullptr;
        }
        return &slot;
    }
    return nullptr;
}

bool plat_thread_wait(plat_thread thread, uint32_t timeout_ms) {
    thread_slot *slot = static_cast<thread_slot *>(thread);
    if (!slot) {
        return true;
    }
    if (slot->joined) {
        return true;
    }
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(slot->handle, nullptr, &deadline) == 0) {
        slot->joined = true;
        return true;
    }
    return false;
}

void plat_thread_cancel_io(plat_thread thread) {
    thread_slot *slot = static_cast<thread_slot *>(thread);
    if (!slot) {
        return;
    }
    slot->cancel_generation.fetch_add(1, std::memory_order_acq_rel);
    uint64_t one = 1;
    if (write(slot->wake_fd, &one, sizeof one) < 0) {
        // The counter is full: a wake-up is pending anyway.
    }
}

void plat_thread_close(plat_thread thread) {
    thread_slot *slot = static_cast<thread_slot *>(thread);
    if (!slot) {
        return;
    }
    if (!slot->joined) {
        pthread_detach(slot->handle);
    }
    // A detached thread may still run; its slot and eventfd stay reserved.
    if (slot->joined) {
        close(slot->wake_fd);
        slot->wake_fd = -1;
        slot->used.store(false, std::memory_order_release);
    }
}

uint64_t plat_now_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void plat_sleep_ms(uint32_t ms) {
    timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

// --- Standard output and exit -------------------------------------------------------------------

void plat_vprint(const char *format, va_list args) {
    vprintf(format, args);
}

void plat_exit(int status) {
    exit(status);
}
