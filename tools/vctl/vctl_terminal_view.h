// The virtual controller's terminal, its portable half: the keys of the
// interactive mode and the picture of the controller.
#ifndef TEVU_VCTL_TERMINAL_VIEW_H
#define TEVU_VCTL_TERMINAL_VIEW_H

#include "vctl_model.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vctl {

// --- Keyboard ----------------------------------------------------------------
// Keys of the interactive mode. Cells: "1234567890" (0-9), "qwertyuiop"
// (10-19), "asdfghjkl;" (20-29), "zx" (30-31), each press toggles the cell.
// 'T' test, 'S' service, 'Z' 'X' 'C' 'V' 'B' game buttons 1-5 (toggle);
// space releases everything; 'U' unplugs or plugs; 'M' mutes or resumes the
// input reports; 'Q' or Escape quits.
enum class key_action {
    none,
    toggle_cell,
    toggle_button,
    release_all,
    toggle_plug,
    toggle_mute,
    quit
};
key_action key_for(char key, uint32_t *value);
extern const char *const keyboard_help;

// --- Display -----------------------------------------------------------------
struct status_info {
    bool plugged = true;
    bool silent = false;
    int input_hosts = 0;
    int lighting_hosts = 0;
    uint32_t rate = 0;
    uint64_t reports_sent = 0;
    std::string message;
};
// Lines for the terminal, ANSI 24-bit colour: the 32 LEDs in their colours
// above the touched cells, the four lamps and the buttons. No cursor control.
std::vector<std::string> render_status(const controller &c, const status_info &info);

} // namespace vctl

#endif
