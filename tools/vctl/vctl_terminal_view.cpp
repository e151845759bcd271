#include "vctl_terminal_view.h"

#include "vctl_text.h"

namespace vctl {

namespace {
const char cell_keys[] = "1234567890qwertyuiopasdfghjkl;zx";
// The keys of named_buttons, in their order.
const char button_keys[] = "TSZXCVB";
} // namespace

const char *const keyboard_help =
    "  1-0 q-p a-; z x   toggle cells 0-31 (four rows of the keyboard)\n"
    "  T S               toggle the test and service buttons\n"
    "  Z X C V B         toggle game buttons 1-5\n"
    "  space             release every cell and button\n"
    "  U                 unplug or plug the controller\n"
    "  M                 stop or resume the input reports\n"
    "  Q Esc Ctrl+C      quit\n";

key_action key_for(char key, uint32_t *value) {
    static_assert(sizeof cell_keys - 1 == cell_count, "one key per cell");
    static_assert(sizeof button_keys - 1 == button_count, "one key per button");
    for (int c = 0; c < cell_count; c++) {
        if (key == cell_keys[c]) {
            *value = static_cast<uint32_t>(c);
            return key_action::toggle_cell;
        }
    }
    for (int b = 0; b < button_count; b++) {
        if (key == button_keys[b]) {
            *value = named_buttons[b].bit;
            return key_action::toggle_button;
        }
    }
    switch (key) {
    case ' ':
        return key_action::release_all;
    case 'U':
        return key_action::toggle_plug;
    case 'M':
        return key_action::toggle_mute;
    case 'Q':
    case 27:
    case 3:
        return key_action::quit;
    default:
        return key_action::none;
    }
}

std::vector<std::string> render_status(const controller &c, const status_info &info) {
    std::vector<std::string> lines;
    std::string line = "cell   ";
    for (int i = 0; i < cell_count; i++) {
        line += static_cast<char>('0' + i % 10);
        line += ' ';
    }
    lines.push_back(line);

    line = "LEDs   ";
    for (int i = 0; i < led_count; i++) {
        const uint8_t *rgb = c.leds + 3 * static_cast<size_t>(i);
        line += format("\x1b[48;2;%u;%u;%um  ", rgb[0], rgb[1], rgb[2]);
    }
    line += "\x1b[0m";
    lines.push_back(line);

    line = "touch  ";
    for (int i = 0; i < cell_count; i++) {
        line += (c.touched & (1u << i)) ? "##" : "..";
    }
    lines.push_back(line);

    line = "lamps  ";
    for (int i = 0; i < 4; i++) {
        const unsigned v = c.lamps[i];
        line += format("\x1b[48;2;%u;%u;0m %d \x1b[0m ", v, v * 3 / 4, i);
    }
    line += "  buttons ";
    for (const named_button &b : named_buttons) {
        const bool down = (c.buttons >> b.bit) & 1u;
        line += down ? format("\x1b[7m%s\x1b[0m ", b.name) : format("%s ", b.name);
    }
    lines.push_back(line);

    std::string state = !info.plugged ? "unplugged" : info.silent ? "silent" : "sending";
    lines.push_back(format("%s, hosts: %d input, %d lighting; %u reports/s; sent %llu, "
                           "taken %llu, refused %llu",
                           state.c_str(), info.input_hosts, info.lighting_hosts, info.rate,
                           static_cast<unsigned long long>(info.reports_sent),
                           static_cast<unsigned long long>(c.reports_taken),
                           static_cast<unsigned long long>(c.reports_refused)));
    lines.push_back(info.message);
    return lines;
}

} // namespace vctl
