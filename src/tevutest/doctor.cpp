// tevutest --doctor: the configuration, the controller's interfaces, live
// figures and a light check, each in a section of its own, then a verdict.
//
// The configuration is read with the library's own loader and INI reader and
// the controller listed and opened with the platform's own calls, both
// compiled into this program from the library's sources (the library exports
// only its eight functions). Everything after the listing goes through those
// exports, as a game uses them.
#include "tevutest/doctor.h"

#include "platform/platform.h"
#include "tevuio.h"
#include "tevuio/reports.h"
#include "tevuio/state.h"
#include "tevutest/ini_lint.h"
#include "tevutest/key_names.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const char ini_name[] = "morvantel.ini";
constexpr uint32_t live_ms = 2000;
constexpr uint32_t led_step_ms = 50;
constexpr uint32_t colours_ms = 300;
constexpr uint32_t lamps_ms = 1500;
// Pressures above this come from the controller (200), those below from keys (20).
constexpr uint8_t controller_touch = 40;

// --- The configuration ---------------------------------------------------------

std::string full_ini_path() {
#ifdef _WIN32
    char path[MAX_PATH];
    if (GetFullPathNameA(TEVUIO_CONFIG_FILE, sizeof path, path, nullptr) != 0) {
        return path;
    }
    return TEVUIO_CONFIG_FILE;
#else
    char folder[4096];
    return std::string(getcwd(folder, sizeof folder) ? folder : ".") + "/" + ini_name;
#endif
}

bool read_bytes(const char *path, std::string *bytes) {
    FILE *file = fopen(path, "rb");
    if (!file) {
        return false;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes->append(chunk, got);
    }
    const bool read = ferror(file) == 0;
    fclose(file);
    return read;
}

std::string hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%X", value);
    return text;
}

struct lamp_source {
    uint32_t offset;
    bool accepted;
};

// The configuration section; returns the file's warnings.
std::vector<std::string> show_configuration(lamp_source *lamps) {
    printf("Configuration\r\n");
    const std::string path = full_ini_path();
    std::string bytes;
    const bool found = read_bytes(ini_name, &bytes);
    if (found) {
        printf("  file: %s\r\n", path.c_str());
    } else {
        printf("  file: not found: every key at its default (looked for %s)\r\n", path.c_str());
    }
    key_reading readings[config_key_count];
    read_config(TEVUIO_CONFIG_FILE, readings);
    for (int k = 0; k < config_key_count; ++k) {
        const uint32_t value = value_in_force(k, readings[k]);
        const std::string label =
            std::string("[") + config_keys[k].section + "] " + config_keys[k].name;
        const std::string shown = k != 0  ? key_text(static_cast<uint8_t>(value))
                                  : value ? hex(value)
                                          : "0";
        printf("  %-20s %-22s %s\r\n", label.c_str(), shown.c_str(),
               readings[k].from_file ? "from the file" : "default");
    }
    lamps->offset = readings[0].value;
    uint64_t image_size = 0;
    lamps->accepted = lamps->offset != 0 && plat_host_byte_readable(lamps->offset, &image_size);
    if (lamps->offset == 0) {
        printf("  lamps: follow the controller's buttons (no hid_offset)\r\n");
    } else if (lamps->accepted) {
        printf("  lamps: hid_offset 0x%X, accepted: they follow the byte that far into the image "
               "of the program that loads the library (the game's lamp state in the game, a byte "
               "of tevutest here)\r\n",
               lamps->offset);
    } else {
        printf("  lamps: hid_offset 0x%X, not accepted here: it lies outside tevutest's image "
               "(0x%lX bytes), so here the lamps follow the controller's buttons (the game checks "
               "it against its own image)\r\n",
               lamps->offset, static_cast<unsigned long>(image_size));
    }
    return found ? lint_ini(bytes, readings) : std::vector<std::string>();
}

// --- The controller's interfaces -----------------------------------------------

struct listed_interface {
    int32_t number;
    std::string path;
    bool opened;
    unsigned long error;
};

std::string open_failure(const listed_interface &i) {
    char text[160];
#ifdef _WIN32
    if (i.error == ERROR_ACCESS_DENIED || i.error == ERROR_SHARING_VIOLATION) {
        snprintf(text, sizeof text,
                 "access denied (error %lu): another program holds it; close that program",
                 i.error);
    } else if (i.error == ERROR_FILE_NOT_FOUND || i.error == ERROR_PATH_NOT_FOUND) {
        snprintf(text, sizeof text, "not found (error %lu): unplugged while listed", i.error);
    } else {
        snprintf(text, sizeof text, "error %lu", i.error);
    }
#else
    const bool hidraw = i.path.compare(0, 7, "hidraw:") == 0;
    if ((i.error == EACCES || i.error == EPERM) && hidraw) {
        snprintf(text, sizeof text,
                 "access denied: this user may not open it; the udev rule "
                 "packaging/linux/70-tevuio.rules is missing (see README, Linux device access)");
    } else if (i.error == EACCES || i.error == EPERM) {
        snprintf(text, sizeof text,
                 "access denied: the socket refuses this user (another user's program holds it)");
    } else if (i.error == ENOENT || i.error == ENODEV) {
        snprintf(text, sizeof text, "not found: unplugged while listed");
    } else if (i.error == ECONNREFUSED) {
        snprintf(text, sizeof text, "refused: no program serves it any more");
    } else if (i.error == EBUSY) {
        snprintf(text, sizeof text, "busy: another program holds it");
    } else {
        snprintf(text, sizeof text, "error %lu (%s)", i.error, strerror(static_cast<int>(i.error)));
    }
#endif
    return text;
}

// Every listed interface of the controller's vendor, each opened once and
// closed again.
std::vector<listed_interface> list_controller() {
    std::vector<listed_interface> found;
    const plat_list list = plat_hid_list_open();
    if (list == nullptr) {
        return found;
    }
    static plat_hid_interface entry;
    for (uint32_t index = 0;; ++index) {
        const plat_entry_result result = plat_hid_list_entry(list, index, &entry);
        if (result == PLAT_ENTRY_END) {
            break;
        }
        if (result == PLAT_ENTRY_OK && entry.vendor_id == TEVUIO_VENDOR_ID) {
            found.push_back({entry.interface_number, entry.path, false, 0});
        }
    }
    plat_hid_list_close(list);
    for (listed_interface &i : found) {
        const plat_file file = plat_hid_open(i.path.c_str());
        i.opened = file != PLAT_INVALID_FILE && file != nullptr;
        i.error = i.opened ? 0 : plat_last_error();
        if (i.opened) {
            plat_hid_close(file);
        }
    }
    return found;
}

std::string interface_name(int32_t number) {
    return number < 0 ? "single interface" : "interface " + std::to_string(number);
}

// --- Live figures --------------------------------------------------------------

// Written by the callback on the slider thread, read by the main thread.
std::atomic<uint32_t> passes{0};
std::atomic<uint32_t> cells_touched{0}; // on the controller, since the last reset
std::atomic<uint32_t> cells_keyed{0};   // by keys
std::atomic<uint32_t> touched_now{0};
std::atomic<uint32_t> buttons_seen{0}; // opbtn in bits 8-15, gamebtn in bits 0-7

void doctor_callback(const uint8_t *pressure) {
    uint32_t touched = 0;
    uint32_t keyed = 0;
    for (uint32_t i = 0; i < 32; ++i) {
        if (pressure[i] > controller_touch) {
            touched |= 1u << i;
        } else if (pressure[i] > 0) {
            keyed |= 1u << i;
        }
    }
    cells_touched.fetch_or(touched, std::memory_order_relaxed);
    cells_keyed.fetch_or(keyed, std::memory_order_relaxed);
    touched_now.store(touched, std::memory_order_relaxed);
    uint8_t opbtn = 0;
    uint8_t gamebtn = 0;
    tevu_io_jvs_poll(&opbtn, &gamebtn);
    buttons_seen.fetch_or(static_cast<uint32_t>(opbtn) << 8 | gamebtn, std::memory_order_relaxed);
    passes.fetch_add(1, std::memory_order_release);
}

std::string cells_text(uint32_t mask) {
    std::string text;
    for (uint32_t i = 0; i < 32; ++i) {
        if (!(mask >> i & 1u)) {
            continue;
        }
        uint32_t last = i;
        while (last + 1 < 32 && (mask >> (last + 1) & 1u)) {
            ++last;
        }
        text += (text.empty() ? "" : ", ") + std::to_string(i) +
                (last > i ? "-" + std::to_string(last) : "");
        i = last;
    }
    return text;
}

std::string buttons_text(uint32_t seen) {
    std::string text;
    const char *names[] = {"game button 1", "game button 2", "game button 3", "game button 4",
                           "game button 5", nullptr,         nullptr,         nullptr,
                           "test",          "service"};
    for (uint32_t bit = 0; bit < 10; ++bit) {
        if ((seen >> bit & 1u) && names[bit]) {
            text += (text.empty() ? "" : ", ") + std::string(names[bit]);
        }
    }
    return text.empty() ? "none" : text;
}

// Which way the library sends a frame.
bool goes_as_feature(const uint8_t *frame) {
    report::outgoing feature;
    return report::build_led_feature(feature, frame);
}

const char *path_text(const uint8_t *frame) {
    return goes_as_feature(frame) ? "feature report 0x0B" : "output reports 0x04 and 0x05";
}

// Shows a frame for ms. The library sends the newest frame it was given, so
// a frame stays on the LEDs until the next one replaces it.
void hold_frame(const uint8_t *frame, uint32_t ms) {
    tevu_io_slider_set_leds(frame);
    plat_sleep_ms(ms);
}

// The live section: reads, touches and buttons over live_ms, the touched
// cells mirrored on the LEDs. Returns the input reports read.
uint32_t show_live(bool lighting) {
    printf("\r\nLive figures (%.0f s: touch the slider, press the buttons)\r\n", live_ms / 1000.0);
    uint8_t frame[report::frame_bytes];
    uint32_t feature_frames = 0;
    uint32_t frames = 0;
    const uint32_t first = passes.load(std::memory_order_acquire);
    const uint64_t start = plat_now_ms();
    while (plat_now_ms() < start + live_ms) {
        const uint32_t touched = touched_now.load(std::memory_order_relaxed);
        for (size_t i = 0; i < report::led_count; ++i) {
            const bool lit = touched >> i & 1u;
            frame[3 * i] = lit ? 0x7F : 0;
            frame[3 * i + 1] = lit ? 0x23 : 0;
            frame[3 * i + 2] = 0;
        }
        tevu_io_slider_set_leds(frame);
        ++frames;
        feature_frames += goes_as_feature(frame) ? 1u : 0u;
        plat_sleep_ms(10);
    }
    const uint32_t reads = passes.load(std::memory_order_acquire) - first;
    const double seconds = static_cast<double>(plat_now_ms() - start) / 1000.0;
    printf("  input reports read: %.0f per second (%u in %.1f s)\r\n", reads / seconds, reads,
           seconds);
    const uint32_t touched = cells_touched.load(std::memory_order_relaxed);
    const uint32_t keyed = cells_keyed.load(std::memory_order_relaxed);
    std::string touches;
    if (touched != 0) {
        touches = "cells " + cells_text(touched) + " on the controller";
    }
    if (keyed != 0) {
        touches += (touches.empty() ? "cells " : "; cells ") + cells_text(keyed) + " by keys";
    }
    printf("  touches seen: %s\r\n", touches.empty() ? "none" : touches.c_str());
    printf("  buttons seen: %s\r\n", buttons_text(buttons_seen.load()).c_str());
    if (lighting) {
        printf("  lighting: %u frames of touched cells, %u as feature report 0x0B, %u as output "
               "reports 0x04 and 0x05\r\n",
               frames, feature_frames, frames - feature_frames);
    } else {
        printf("  lighting: none: the library drops every frame\r\n");
    }
    return reads;
}

// --- Light check ---------------------------------------------------------------

void show_light_check(const lamp_source &lamps) {
    printf("\r\nLight check (watch the controller)\r\n");
    uint8_t frame[report::frame_bytes] = {};
    frame[0] = frame[1] = frame[2] = 0xFF;
    printf("  LEDs 0 to 31 lit white one at a time (%s each): ", path_text(frame));
    for (size_t led = 0; led < report::led_count; ++led) {
        memset(frame, 0, sizeof frame);
        memset(frame + 3 * led, 0xFF, 3);
        hold_frame(frame, led_step_ms);
    }
    printf("done\r\n");
    // 32 colours, each LED its own: red rising, green falling, blue by parity.
    for (size_t led = 0; led < report::led_count; ++led) {
        frame[3 * led] = static_cast<uint8_t>(8 * led + 7);
        frame[3 * led + 1] = static_cast<uint8_t>(255 - 8 * led);
        frame[3 * led + 2] = static_cast<uint8_t>(led % 2 ? 0xC0 : 0x40);
    }
    printf("  all 32 LEDs in 32 colours (%s): ", path_text(frame));
    hold_frame(frame, colours_ms);
    memset(frame, 0, sizeof frame);
    hold_frame(frame, 100);
    printf("done\r\n");
    if (lamps.accepted) {
        printf("  lamps: they follow byte 0x%X of this program's image, which is not the game's "
               "lamp state: what they show here means nothing\r\n",
               lamps.offset);
        return;
    }
    printf("  lamps: lit while game buttons 4, 3, 2, 1 (lamps 0-3) are released, dark while "
           "held; the library lights them from the buttons, tevutest cannot set them: ");
    buttons_seen.store(0);
    plat_sleep_ms(lamps_ms);
    const uint32_t held = buttons_seen.load() & 0x0Fu;
    printf("%s\r\n", held == 0 ? "no button held" : ("held: " + buttons_text(held)).c_str());
}

// The controller section's interfaces: every one listed, and those the
// library takes (pointers into listed).
struct controller_view {
    std::vector<listed_interface> listed;
    const listed_interface *input = nullptr;
    const listed_interface *lighting = nullptr;
    const listed_interface *refused = nullptr; // the first that did not open
};

void show_interfaces(controller_view &view) {
    printf("\r\nController (vendor 0x%04X)\r\n", TEVUIO_VENDOR_ID);
    view.listed = list_controller();
    for (const listed_interface &i : view.listed) {
        printf("  %s: %s: %s\r\n", interface_name(i.number).c_str(), i.path.c_str(),
               i.opened ? "opened" : ("not opened: " + open_failure(i)).c_str());
        if (!i.opened) {
            view.refused = view.refused ? view.refused : &i;
        } else if (i.number == 0 || !view.input) {
            // The library's input: interface 0, else the first one listed.
            view.input = view.input && view.input->number == 0 ? view.input : &i;
        }
        view.lighting = i.opened && i.number == 1 ? &i : view.lighting;
    }
    if (view.listed.empty()) {
        printf("  not found: no interface of vendor 0x%04X (is it plugged in?)\r\n",
               TEVUIO_VENDOR_ID);
    }
}

// Init, then with the controller open the live figures and the light check.
// Why the controller cannot be used, or "" when it can; a missing lighting
// interface adds a warning.
std::string run_controller(const controller_view &view, const lamp_source &lamps,
                           size_t *warnings) {
    // The library's own messages, if any, come first, each on its own line.
    const bool ready = tevu_io_jvs_init() == 0;
    printf("  tevu_io_jvs_init() : %s\r\n", ready ? "OK" : "ERROR");
    if (!ready) {
        return view.listed.empty() ? "no controller found (is it plugged in?)"
               : view.refused ? "its interfaces could not be opened: " + open_failure(*view.refused)
                              : "the library could not open it (its messages are above)";
    }
    printf("  input: %s; lighting: %s\r\n",
           view.input ? interface_name(view.input->number).c_str() : "none",
           view.lighting ? "interface 1" : "none");
    if (!view.lighting) {
        printf("  warning: no lighting interface: the LEDs and lamps stay dark\r\n");
        ++*warnings;
    }
    std::string fault;
    tevu_io_slider_init();
    tevu_io_slider_start(doctor_callback);
    if (show_live(view.lighting != nullptr) == 0) {
        fault = "it sent no input report (no input interface, or a silent controller)";
    }
    if (view.lighting) {
        show_light_check(lamps);
    }
    tevu_io_slider_stop();
    return fault;
}

int show_verdict(const std::string &fault, size_t warnings) {
    if (!fault.empty()) {
        printf("\r\nVerdict: the controller cannot be used: %s.\r\n", fault.c_str());
        return 2;
    }
    if (warnings != 0) {
        printf("\r\nVerdict: usable, with %u warning%s above.\r\n", static_cast<unsigned>(warnings),
               warnings == 1 ? "" : "s");
        return 1;
    }
    printf("\r\nVerdict: all is well.\r\n");
    return 0;
}

} // namespace

int doctor_run() {
    printf("tevutest --doctor\r\n\r\n");
    lamp_source lamps{};
    const std::vector<std::string> ini_warnings = show_configuration(&lamps);
    printf("\r\nWarnings\r\n");
    for (const std::string &warning : ini_warnings) {
        printf("  %s\r\n", warning.c_str());
    }
    if (ini_warnings.empty()) {
        printf("  none\r\n");
    }
    size_t warnings = ini_warnings.size();
    controller_view view;
    show_interfaces(view);
    const std::string fault = run_controller(view, lamps, &warnings);
    return show_verdict(fault, warnings);
}
