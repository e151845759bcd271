// The one table of key names: ranges first (digits, letters, keypad digits,
// function keys), then single keys.
#include "tevutest/key_names.h"

#include <cstdio>

namespace {

struct named_key {
    uint8_t vk;
    const char *name;
};

const named_key single_keys[] = {
    {0x00, "no key"},
    {0x01, "left mouse button"},
    {0x02, "right mouse button"},
    {0x04, "middle mouse button"},
    {0x08, "backspace"},
    {0x09, "tab"},
    {0x0D, "enter"},
    {0x10, "shift"},
    {0x11, "ctrl"},
    {0x12, "alt"},
    {0x13, "pause"},
    {0x14, "caps lock"},
    {0x1B, "escape"},
    {0x20, "space"},
    {0x21, "page up"},
    {0x22, "page down"},
    {0x23, "end"},
    {0x24, "home"},
    {0x25, "left arrow"},
    {0x26, "up arrow"},
    {0x27, "right arrow"},
    {0x28, "down arrow"},
    {0x2D, "insert"},
    {0x2E, "delete"},
    {0x5B, "left Windows key"},
    {0x5C, "right Windows key"},
    {0x6A, "keypad *"},
    {0x6B, "keypad +"},
    {0x6D, "keypad -"},
    {0x6E, "keypad ."},
    {0x6F, "keypad /"},
    {0x90, "num lock"},
    {0x91, "scroll lock"},
    {0xA0, "left shift"},
    {0xA1, "right shift"},
    {0xA2, "left ctrl"},
    {0xA3, "right ctrl"},
    {0xA4, "left alt"},
    {0xA5, "right alt"},
    {0xBA, ";"},
    {0xBB, "="},
    {0xBC, ","},
    {0xBD, "-"},
    {0xBE, "."},
    {0xBF, "/"},
    {0xC0, "`"},
    {0xDB, "["},
    {0xDC, "\\"},
    {0xDD, "]"},
    {0xDE, "'"},
};

} // namespace

std::string key_text(uint8_t vk) {
    char name[32];
    if ((vk >= 0x30 && vk <= 0x39) || (vk >= 0x41 && vk <= 0x5A)) { // digits, letters
        snprintf(name, sizeof name, "%c", vk);
    } else if (vk >= 0x60 && vk <= 0x69) {
        snprintf(name, sizeof name, "keypad %d", vk - 0x60);
    } else if (vk >= 0x70 && vk <= 0x87) {
        snprintf(name, sizeof name, "F%d", vk - 0x70 + 1);
    } else {
        snprintf(name, sizeof name, "no name");
        for (const named_key &key : single_keys) {
            if (key.vk == vk) {
                snprintf(name, sizeof name, "%s", key.name);
            }
        }
    }
    char text[48];
    snprintf(text, sizeof text, "0x%02X (%s)", vk, name);
    return text;
}
