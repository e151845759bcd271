// tevu-vctl's command line: the help text and the options.
#include "platform/virtual_hid.h"
#include "vctl_tool.h"

#include <cerrno>
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

bool parse_uint(const char *text, uint32_t max, uint32_t *out) {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// Stores an option (its value, when it takes one): nullptr when the value is
// good, else what a good value is.
using store_fn = const char *(*)(options &o, const char *value);

struct option_rule {
    const char *name;
    bool takes_value;
    store_fn store;
};

const option_rule option_rules[] = {
    {"--dir", true,
     [](options &o, const char *v) -> const char * {
         o.dir = v;
         return nullptr;
     }},
    {"--interfaces", true,
     [](options &o, const char *v) -> const char * {
         o.interfaces = v;
         const bool known = o.interfaces == "both" || o.interfaces == "input" ||
                            o.interfaces == "lighting" || o.interfaces == "single";
         return known ? nullptr : "both, input, lighting or single";
     }},
    {"--vid", true,
     [](options &o, const char *v) -> const char * {
         return parse_uint(v, 0xFFFF, &o.vid) ? nullptr : "0 to 0xffff";
     }},
    {"--pid", true,
     [](options &o, const char *v) -> const char * {
         return parse_uint(v, 0xFFFF, &o.pid) ? nullptr : "0 to 0xffff";
     }},
    {"--name", true,
     [](options &o, const char *v) -> const char * {
         o.name = v;
         const bool good = !o.name.empty() && o.name.find('/') == std::string::npos;
         return good ? nullptr : "a non-empty name without '/'";
     }},
    {"--rate", true,
     [](options &o, const char *v) -> const char * {
         return parse_uint(v, 100000, &o.rate) ? nullptr : "0 to 100000";
     }},
    {"--ack-rate", true,
     [](options &o, const char *v) -> const char * {
         return parse_uint(v, 100000, &o.ack_rate) ? nullptr : "0 to 100000";
     }},
    {"--gadget", false,
     [](options &o, const char *) -> const char * {
         o.gadget = true;
         return nullptr;
     }},
    {"--udc", true,
     [](options &o, const char *v) -> const char * {
         o.udc = v;
         o.gadget = true;
         const bool good = !o.udc.empty() && o.udc.find('/') == std::string::npos;
         return good ? nullptr : "a controller's name in /sys/class/udc";
     }},
    {"--silent", false,
     [](options &o, const char *) -> const char * {
         o.silent = true;
         return nullptr;
     }},
    {"--script", true,
     [](options &o, const char *v) -> const char * {
         o.script = v;
         return nullptr;
     }},
    {"--interactive", false,
     [](options &o, const char *) -> const char * {
         o.interactive = true;
         return nullptr;
     }},
    {"--display", false,
     [](options &o, const char *) -> const char * {
         o.display = 1;
         return nullptr;
     }},
    {"--no-display", false,
     [](options &o, const char *) -> const char * {
         o.display = 0;
         return nullptr;
     }},
    {"--log", true,
     [](options &o, const char *v) -> const char * {
         o.log = v;
         return nullptr;
     }},
    {"--quiet", false,
     [](options &o, const char *) -> const char * {
         o.quiet = true;
         return nullptr;
     }},
};

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
        const char *value = nullptr;
        if (rule->takes_value) {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s: %s needs a value\n", program, a.c_str());
                return 2;
            }
            value = argv[++i];
        }
        const char *good = rule->store(*o, value);
        if (good != nullptr) {
            fprintf(stderr, "%s: bad value '%s' for %s (%s)\n", program, value, a.c_str(), good);
            return 2;
        }
    }
    return check_options(*o);
}

} // namespace vctl_tool
