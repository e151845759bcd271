// Configuration loader: key bindings and the lamp-state address from the INI file.
//
// Every key is read with the platform's INI integer reader, which gives the
// default when the file, the section or the key is missing, so a missing file
// simply yields the default bindings. Each value is kept as its low byte (a
// virtual-key code), except hid_offset, an unsigned 32-bit offset into the
// host's main image.
//
// The two argument checks are assertions that stay active in release builds:
// a null here is a programming error in the caller, not a condition the
// library can report. Their reports name this file and their lines, and the
// configuration tests match both: moving them means updating those tests.
#undef NDEBUG
#include <cassert>

#include "tevuio/config.h"

#include "platform/platform.h"

#include <cstddef>
#include <cstdio>

namespace {

// Sections of the INI file.
const char section_library[] = "tevuio";
const char section_operator[] = "io3";
const char section_buttons[] = "buttons";
const char section_slider[] = "slider";

// Default bindings (virtual-key codes).
constexpr uint8_t default_test = 0x31;    // 1
constexpr uint8_t default_service = 0x32; // 2
constexpr uint8_t default_coin = 0x33;    // 3
// Right, down, left, up arrows and space.
constexpr uint8_t default_buttons[report::game_button_count] = {0x27, 0x28, 0x25, 0x26, 0x20};
// Q W E R U I O P.
constexpr uint8_t default_cells[report::slider_key_count] = {0x51, 0x57, 0x45, 0x52,
                                                             0x55, 0x49, 0x4F, 0x50};

// A key's value as a virtual-key code: its low byte.
uint8_t read_key(const char *section, const char *key, uint8_t def, const char *filename) {
    return static_cast<uint8_t>(plat_ini_uint(section, key, def, filename) & 0xFF);
}

// hid_offset, relative to the host's main image; 0 or missing means no
// lamp-state byte. The sum is formed in 64 bits.
uint64_t read_lamp_state_address(const char *filename) {
    const uint64_t offset = plat_ini_uint(section_library, "hid_offset", 0, filename);
    if (offset == 0)
        return 0;
    return plat_host_image_base() + offset;
}

} // namespace

// Reads, in this order: hid_offset; test, service, coin; key1 to key5;
// cell1 to cell8. Everything is read on every call, so a second load returns
// keys removed from the file to their defaults.
//
// cfg:      the record to fill, never null.
// filename: the INI file, never null; relative paths are relative to the
//           host's current directory.
//
// No message is printed: a missing or partial file is not an error. A value
// that is not a number gives whatever the platform's reader makes of it; a
// value above 255 keeps its low byte only, so 321 binds 0x41.
//
// The lamp-state address is not checked here against the host image; the
// caller decides what to do with an address outside it.
//
// Called once per tevu_io_jvs_init, on the host's thread, while the worker
// threads are stopped, so the record needs no synchronisation of its own:
// starting a thread publishes it to that thread.
//
void io_config_load(io_config *cfg, const char *filename) {
    assert(cfg != NULL);
    assert(filename != NULL);

    cfg->lamp_state_address = read_lamp_state_address(filename);

    cfg->vk_test = read_key(section_operator, "test", default_test, filename);
    cfg->vk_service = read_key(section_operator, "service", default_service, filename);
    cfg->vk_coin = read_key(section_operator, "coin", default_coin, filename);

    char key[16];
    for (int i = 0; i < report::game_button_count; ++i) {
        std::snprintf(key, sizeof key, "key%i", i + 1);
        cfg->vk_button[i] = read_key(section_buttons, key, default_buttons[i], filename);
    }
    for (int i = 0; i < report::slider_key_count; ++i) {
        std::snprintf(key, sizeof key, "cell%i", i + 1);
        cfg->vk_cell[i] = read_key(section_slider, key, default_cells[i], filename);
    }
}
