// tevu-vctl's command line: the help text and the options.
#include "platform/virtual_hid.h"
#include "vctl_tool.h"

#include <cstdlib>
#include <cstring>

namespace vctl_tool {

namespace {

void usage(FILE *out) {
    fprintf(out,
            "usage: %s [options]\n"
            "A virtual touch-slider controller: publishes its HID interfaces as sockets\n"
            "that the Linux tevuio library opens when TEVUIO_VIRTUAL_HID_DIR names the folder,\n"
            "or, with --gadget, plays a real USB device on the machine's USB device port.\n"
            "\n"
            "  --dir DIR            folder of the sockets (default: $TEVUIO_VIRTUAL_HID_DIR)\n"
            "  --gadget             a USB gadget instead of sockets (root; configfs and the\n"
            "                       modules libcomposite and usb_f_hid; --name names it)\n"
            "  --udc NAME           the gadget's USB device controller (implies --gadget;\n"
            "                       default: the first in /sys/class/udc)\n"
            "  --interfaces KIND    both (input interface 00 + lighting 01, default), input,\n"
            "                       lighting, or single (one interface, no interface number)\n"
            "  --vid N --pid N      USB vendor and product ID (default 0x0f0d, 0x7001)\n"
            "  --name TEXT          device name in the socket names, or the gadget's name\n"
            "                       (default tevu-vctl)\n"
            "  --rate N             input reports per second (default 1000; 0: none)\n"
            "  --ack-rate N         light reports taken per second and interface, the\n"
            "                       pace of the USB bus (default 1000; 0: no pacing;\n"
            "                       a gadget goes at the pace of its bus)\n"
            "  --silent             stay connected but send no input report\n"
            "  --script FILE        play a script; '-' reads it line by line from stdin\n"
            "  --interactive        follow the keyboard (default when stdin is a terminal\n"
            "                       and no script is given)\n"
            "  --display, --no-display\n"
            "                       show LEDs, lamps and touches live (default: when stdout\n"
            "                       is a terminal)\n"
            "  --log FILE           append every report taken, one line each: 'O' (output)\n"
            "                       or 'F' (feature), then the report's bytes in hex\n"
            "  --quiet              no event messages on stderr but the script's echo lines\n"
            "  --help\n"
            "\n"
            "Script commands (one per line):\n%s"
            "\n"
            "Keys of the interactive mode:\n%s",
            program, vctl::script_help, vctl::keyboard_help);
}

// Stores an option's value when it is good: nullptr, else what a good value is.
using store_fn = const char *(*)(options &o, const char *value);

// An option sets a flag, takes a text as it is, takes a number from 0 to max
// (range says so), or checks its value itself (store).
struct option_rule {
    const char *name;
    bool takes_value;
    bool options::*flag;
    std::string options::*text;
    uint32_t options::*number;
    uint32_t max;
    const char *range;
    store_fn store;
};

constexpr option_rule flag(const char *name, bool options::*field) {
    return {name, false, field, nullptr, nullptr, 0, nullptr, nullptr};
}
constexpr option_rule text(const char *name, std::string options::*field) {
    return {name, true, nullptr, field, nullptr, 0, nullptr, nullptr};
}
constexpr option_rule number(const char *name, uint32_t options::*field, uint32_t max,
                             const char *range) {
    return {name, true, nullptr, nullptr, field, max, range, nullptr};
}
constexpr option_rule checked(const char *name, bool takes_value, store_fn store) {
    return {name, takes_value, nullptr, nullptr, nullptr, 0, nullptr, store};
}

const option_rule option_rules[] = {
    text("--dir", &options::dir),
    checked("--interfaces", true,
            [](options &o, const char *v) -> const char * {
                o.interfaces = v;
                const bool known = o.interfaces == "both" || o.interfaces == "input" ||
                                   o.interfaces == "lighting" || o.interfaces == "single";
                return known ? nullptr : "both, input, lighting or single";
            }),
    number("--vid", &options::vid, 0xFFFF, "0 to 0xffff"),
    number("--pid", &options::pid, 0xFFFF, "0 to 0xffff"),
    checked("--name", true,
            [](options &o, const char *v) -> const char * {
                o.name = v;
                const bool good = !o.name.empty() && o.name.find('/') == std::string::npos;
                return good ? nullptr : "a non-empty name without '/'";
            }),
    number("--rate", &options::rate, 100000, "0 to 100000"),
    number("--ack-rate", &options::ack_rate, 100000, "0 to 100000"),
    flag("--gadget", &options::gadget),
    checked("--udc", true,
            [](options &o, const char *v) -> const char * {
                o.udc = v;
                o.gadget = true;
                const bool good = !o.udc.empty() && o.udc.find('/') == std::string::npos;
                return good ? nullptr : "a controller's name in /sys/class/udc";
            }),
    flag("--silent", &options::silent),
    text("--script", &options::script),
    flag("--interactive", &options::interactive),
    checked("--display", false,
            [](options &o, const char *) -> const char * {
                o.display = 1;
                return nullptr;
            }),
    checked("--no-display", false,
            [](options &o, const char *) -> const char * {
                o.display = 0;
                return nullptr;
            }),
    text("--log", &options::log),
    flag("--quiet", &options::quiet),
};

const char *store(const option_rule &rule, options &o, const char *value) {
    if (rule.flag != nullptr) {
        o.*rule.flag = true;
        return nullptr;
    }
    if (rule.text != nullptr) {
        o.*rule.text = value;
        return nullptr;
    }
    if (rule.number != nullptr) {
        return vctl::parse_number(value, rule.max, &(o.*rule.number)) ? nullptr : rule.range;
    }
    return rule.store(o, value);
}

const option_rule *find_rule(const std::string &name) {
    for (const option_rule &rule : option_rules) {
        if (name == rule.name) {
            return &rule;
        }
    }
    return nullptr;
}

// What no single option can check. Returns -1 to go on, else the exit status.
int check_options(const options &o) {
    if (o.dir.empty() && !o.gadget) {
        fprintf(stderr, "%s: no socket folder: give --dir or set %s\n", program, VHID_DIR_ENV);
        return 2;
    }
    if (o.interactive && o.script == "-") {
        fprintf(stderr, "%s: --interactive and --script - both want stdin\n", program);
        return 2;
    }
    return -1;
}

} // namespace

int parse_options(int argc, char **argv, options *o) {
    const char *env_dir = getenv(VHID_DIR_ENV);
    if (env_dir != nullptr) {
        o->dir = env_dir;
    }
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        const option_rule *rule = find_rule(a);
        if (rule == nullptr) {
            fprintf(stderr, "%s: unknown option '%s' (see --help)\n", program, a.c_str());
            return 2;
        }
        const char *value = ""; // for an option that takes none
        if (rule->takes_value) {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s: %s needs a value\n", program, a.c_str());
                return 2;
            }
            value = argv[++i];
        }
        const char *good = store(*rule, *o, value);
        if (good != nullptr) {
            fprintf(stderr, "%s: bad value '%s' for %s (%s)\n", program, value, a.c_str(), good);
            return 2;
        }
    }
    return check_options(*o);
}

} // namespace vctl_tool
