// Keys from evdev: the keyboards among /dev/input/event*, asked for the keys
// that are down whatever window has focus.
#include "platform/linux/linux_internal.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

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

constexpr int max_keyboards = 16;
constexpr long rescan_idle_ms = 1000;    // with no keyboard, or after a failed read
constexpr long rescan_period_ms = 10000; // to pick up keyboards plugged in later

long monotonic_us() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000L + now.tv_nsec / 1000L;
}

bool bit_set(const uint8_t *bits, unsigned bit) {
    return (bits[bit / 8] >> (bit % 8)) & 1;
}

// The keys down on any keyboard are gathered at most once per
// key_state_lifetime_us: the slider thread asks for eight keys on every pass.
constexpr long key_state_lifetime_us = 1000;

// The open keyboards and the keys last found down on them, all guarded by
// lock (the host's thread and the slider thread ask at the same time).
struct keyboard_state {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    char folder[256] = "/dev/input"; // where the keyboards are looked for
    int fds[max_keyboards] = {};
    int count = 0;
    bool scanned = false;
    bool failed = false; // a read failed: a keyboard was unplugged
    long scanned_at = 0; // ms
    uint8_t keys_down[(KEY_MAX + 8) / 8] = {};
    long keys_down_at_us = -1;
};
keyboard_state keyboards;

void scan_keyboards() {
    for (int i = 0; i < keyboards.count; ++i) {
        close(keyboards.fds[i]);
    }
    keyboards.count = 0;
    keyboards.scanned = true;
    keyboards.failed = false;
    keyboards.scanned_at = monotonic_us() / 1000;
    DIR *dir = opendir(keyboards.folder);
    if (!dir) {
        return;
    }
    char path[512];
    while (dirent *item = readdir(dir)) {
        if (keyboards.count >= max_keyboards) {
            break;
        }
        if (strncmp(item->d_name, "event", 5) != 0) {
            continue;
        }
        snprintf(path, sizeof path, "%s/%s", keyboards.folder, item->d_name);
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
            keyboards.fds[keyboards.count++] = fd;
        } else {
            close(fd);
        }
    }
    closedir(dir);
}

void gather_keys_down(long now_us) {
    long now = now_us / 1000;
    if (!keyboards.scanned ||
        ((keyboards.count == 0 || keyboards.failed) &&
         now - keyboards.scanned_at >= rescan_idle_ms) ||
        now - keyboards.scanned_at >= rescan_period_ms) {
        scan_keyboards();
    }
    memset(keyboards.keys_down, 0, sizeof keyboards.keys_down);
    for (int i = 0; i < keyboards.count; ++i) {
        uint8_t state[sizeof keyboards.keys_down] = {};
        if (ioctl(keyboards.fds[i], EVIOCGKEY(sizeof state), state) < 0) {
            keyboards.failed = true; // unplugged: the next scan drops it
            continue;
        }
        for (size_t byte = 0; byte < sizeof keyboards.keys_down; ++byte) {
            keyboards.keys_down[byte] |= state[byte];
        }
    }
    keyboards.keys_down_at_us = now_us;
}

bool key_is_down(uint8_t vk) {
    const uint16_t *codes = vk_to_linux.codes[vk];
    if (codes[0] == 0) {
        return false;
    }
    pthread_mutex_lock(&keyboards.lock);
    long now_us = monotonic_us();
    if (keyboards.keys_down_at_us < 0 ||
        now_us - keyboards.keys_down_at_us >= key_state_lifetime_us) {
        gather_keys_down(now_us);
    }
    bool down = bit_set(keyboards.keys_down, codes[0]) ||
                (codes[1] != 0 && bit_set(keyboards.keys_down, codes[1]));
    pthread_mutex_unlock(&keyboards.lock);
    return down;
}

} // namespace

namespace linux_platform {

uint16_t linux_key_code(uint8_t vk, int which) {
    return vk_to_linux.codes[vk][which];
}

void keyboard_use_folder(const char *folder) {
    pthread_mutex_lock(&keyboards.lock);
    snprintf(keyboards.folder, sizeof keyboards.folder, "%s", folder);
    keyboards.scanned = false;
    keyboards.keys_down_at_us = -1;
    pthread_mutex_unlock(&keyboards.lock);
}

int keyboard_count_now() {
    pthread_mutex_lock(&keyboards.lock);
    int count = keyboards.count;
    pthread_mutex_unlock(&keyboards.lock);
    return count;
}

} // namespace linux_platform

bool plat_key_down(uint8_t vk) {
    return key_is_down(vk);
}
