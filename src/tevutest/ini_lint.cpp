// The INI file as the library reads it. The values come from the library's
// own loader and reader (io_config_load, plat_ini_uint); the warnings come
// from reading the text here by the same rules the reader applies:
// - the encoding follows the byte-order mark (UTF-8, UTF-16 LE or BE), else
//   bytes; a NUL ends every name and value, so a file full of them (UTF-16
//   without a mark, UTF-32) yields no key at all;
// - lines end at CR or LF and are trimmed of blanks (tab, LF, VT, FF, CR,
//   ^Z, space);
// - "[name]" opens a section, named up to the last ']'; only the first
//   section of a name is read, and in it the first key of a name;
// - a key's name runs to the first '='; its value is the rest of the line,
//   a comment after it included; quotes around the whole value are dropped;
// - names are compared without regard to ASCII case;
// - a value's integer: an optional sign, "0x", "0o" or "0b" (lower case),
//   then the digits up to the first that does not belong; no digits give 0.
#include "tevutest/ini_lint.h"

#include "platform/platform.h"
#include "tevuio/config.h"
#include "tevutest/key_names.h"

#include <algorithm>
#include <cstdio>

const config_key config_keys[config_key_count] = {
    {"tevuio", "hid_offset"}, {"io3", "test"},     {"io3", "service"},  {"io3", "coin"},
    {"buttons", "key1"},      {"buttons", "key2"}, {"buttons", "key3"}, {"buttons", "key4"},
    {"buttons", "key5"},      {"slider", "cell1"}, {"slider", "cell2"}, {"slider", "cell3"},
    {"slider", "cell4"},      {"slider", "cell5"}, {"slider", "cell6"}, {"slider", "cell7"},
    {"slider", "cell8"},
};

namespace {

const char *const sections[] = {"tevuio", "io3", "buttons", "slider"};
constexpr int section_count = 4;

// The binding of key k (1 to 16) in a loaded configuration.
uint8_t binding_of(const io_config &cfg, int k) {
    if (k <= 3) {
        const uint8_t operator_keys[3] = {cfg.vk_test, cfg.vk_service, cfg.vk_coin};
        return operator_keys[k - 1];
    }
    return k <= 8 ? cfg.vk_button[k - 4] : cfg.vk_cell[k - 9];
}

} // namespace

void read_config(const char *file_name, key_reading readings[config_key_count]) {
    // A path below the file itself never exists: the loader gives its defaults.
    const std::string nowhere = std::string(file_name) + "\\-";
    io_config defaults;
    io_config_load(&defaults, nowhere.c_str());
    for (int k = 0; k < config_key_count; ++k) {
        // A key that is missing (or has no value) gives whichever default is
        // asked for: two different ones tell it apart from any value.
        const config_key &key = config_keys[k];
        const uint32_t first = plat_ini_uint(key.section, key.name, 0, file_name);
        const uint32_t second = plat_ini_uint(key.section, key.name, 1, file_name);
        key_reading &reading = readings[k];
        reading.def = k == 0 ? 0 : binding_of(defaults, k);
        reading.from_file = first != 0 || second != 1;
        reading.value = reading.from_file ? first : reading.def;
    }
}

uint32_t value_in_force(int key, const key_reading &reading) {
    return key == 0 ? reading.value : (reading.value & 0xFF);
}

namespace {

bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1A;
}

std::string trim(const std::string &text) {
    size_t start = 0;
    size_t end = text.size();
    while (start < end && is_blank(text[start])) {
        ++start;
    }
    while (end > start && is_blank(text[end - 1])) {
        --end;
    }
    return text.substr(start, end - start);
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(const std::string &a, const char *b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

// Edit distance, without regard to case.
size_t distance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            const size_t change = diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1);
            row[j] = std::min(std::min(row[j - 1] + 1, above + 1), change);
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known name nearest to name, within two edits; empty when none is.
std::string nearest(const std::string &name, const std::vector<const char *> &names) {
    std::string best;
    size_t best_distance = 3;
    for (const char *candidate : names) {
        const size_t d = distance(name, candidate);
        if (d < best_distance && d < name.size()) {
            best = candidate;
            best_distance = d;
        }
    }
    return best;
}

int section_index(const std::string &name) {
    for (int s = 0; s < section_count; ++s) {
        if (same_name(name, sections[s])) {
            return s;
        }
    }
    return -1;
}

int key_index(const std::string &name) {
    for (int k = 0; k < config_key_count; ++k) {
        if (same_name(name, config_keys[k].name)) {
            return k;
        }
    }
    return -1;
}

// Whether the whole text is one integer as the reader reads it.
bool is_number(const std::string &text) {
    size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        ++at;
    }
    int base = 10;
    if (text.compare(at, 2, "0x") == 0) {
        base = 16;
    } else if (text.compare(at, 2, "0o") == 0) {
        base = 8;
    } else if (text.compare(at, 2, "0b") == 0) {
        base = 2;
    }
    at += base == 10 ? 0 : 2;
    if (at == text.size()) {
        return false;
    }
    for (; at < text.size(); ++at) {
        const char c = lower(text[at]);
        const int digit =
            c >= '0' && c <= '9' ? c - '0' : (c >= 'a' && c <= 'z' ? c - 'a' + 10 : 99);
        if (digit >= base) {
            return false;
        }
    }
    return true;
}

// Where a comment starts in a value: a ';', or a '#' at the start or after a
// blank; npos when there is none.
size_t comment_start(const std::string &value) {
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == ';' || (value[i] == '#' && (i == 0 || is_blank(value[i - 1])))) {
            return i;
        }
    }
    return std::string::npos;
}

std::string value_text(int key, uint32_t value) {
    if (key != 0) {
        return key_text(static_cast<uint8_t>(value & 0xFF));
    }
    char text[16];
    snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// The text as characters: bytes as they are (UTF-8 and ANSI), UTF-16 units
// below 0x80 as themselves and any other as '?', which no name holds.
// False when a NUL is in it.
bool decode(const std::string &bytes, std::string *text) {
    size_t at = 0;
    int utf16 = 0; // 1: little-endian, 2: big-endian
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        at = 3;
    } else if (bytes.compare(0, 2, "\xFF\xFE") == 0) {
        utf16 = 1;
        at = 2;
    } else if (bytes.compare(0, 2, "\xFE\xFF") == 0) {
        utf16 = 2;
        at = 2;
    }
    if (utf16 == 0) {
        *text = bytes.substr(at);
    } else {
        text->clear();
        for (; at < bytes.size(); at += 2) {
            const unsigned first = static_cast<unsigned char>(bytes[at]);
            const unsigned second =
                at + 1 < bytes.size() ? static_cast<unsigned char>(bytes[at + 1]) : 0u;
            const unsigned unit = utf16 == 1 ? first | second << 8 : first << 8 | second;
            text->push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
        }
    }
    return text->find('\0') == std::string::npos;
}

struct lint {
    const key_reading *readings;
    std::vector<std::string> warnings;
    int section = -2;                     // -2 before any header, -1 one not read
    int section_line[section_count] = {}; // where each section was first opened
    int key_line[config_key_count] = {};  // where each key was first given

    void warn(int line, const std::string &text) {
        char number[24];
        snprintf(number, sizeof number, "line %d: ", line);
        warnings.push_back(number + text);
    }

    void header(int line, const std::string &name) {
        const int s = section_index(name);
        if (s < 0) {
            const std::string near = nearest(name, {sections, sections + section_count});
            warn(line, "unknown section [" + name + "]: its keys are ignored" +
                           (near.empty() ? "" : " (did you mean [" + near + "]?)"));
        } else if (section_line[s] != 0) {
            warn(line, "[" + name + "] again: only the first one (line " +
                           std::to_string(section_line[s]) +
                           ") is read; the keys here are ignored");
        } else {
            section_line[s] = line;
            section = s;
            return;
        }
        section = -1;
    }

    void key_line_text(int line, const std::string &text) {
        const size_t equals = text.find('=');
        const std::string name = trim(text.substr(0, equals));
        const int k = key_index(name);
        if (section == -1) {
            return; // the section's own warning covers its keys
        }
        if (section == -2 || k < 0 || !same_name(config_keys[k].section, sections[section])) {
            const std::string where = section == -2 ? "before any section"
                                                    : std::string("in [") + sections[section] + "]";
            if (k >= 0) {
                warn(line, name + " " + where + ": ignored; it belongs in [" +
                               config_keys[k].section + "]");
                return;
            }
            std::vector<const char *> names;
            for (const config_key &key : config_keys) {
                names.push_back(key.name);
            }
            const std::string near = nearest(name, names);
            warn(line, "unknown key " + name + " " + where + ": ignored" +
                           (near.empty() ? "" : " (did you mean " + near + "?)"));
            return;
        }
        if (key_line[k] != 0) {
            warn(line, name + " again: only the first one (line " + std::to_string(key_line[k]) +
                           ") is read");
            return;
        }
        key_line[k] = line;
        value(line, k, name, equals == std::string::npos ? nullptr : text.c_str() + equals + 1);
    }

    void value(int line, int k, const std::string &name, const char *after_equals) {
        const key_reading &reading = readings[k];
        const std::string in_force = value_text(k, value_in_force(k, reading));
        if (after_equals == nullptr || trim(after_equals).empty()) {
            warn(line, name + (after_equals ? "= has no value" : " has no '='") + ": the default " +
                           in_force + " is used");
            return;
        }
        const std::string written = trim(after_equals);
        std::string number = written;
        if (number.size() >= 2 && (number[0] == '"' || number[0] == '\'') &&
            number.back() == number[0]) {
            number = number.substr(1, number.size() - 2);
        }
        const std::string shown = name + "=" + written;
        if (comment_start(number) != std::string::npos) {
            warn(line, shown +
                           ": a comment after a value is part of the value (keep comments on "
                           "lines of their own); the reader makes " +
                           in_force + " of it");
        } else if (!is_number(number)) {
            warn(line, shown + " is not a number: the reader makes " + in_force +
                           " of it, not the default " + value_text(k, reading.def));
        } else if (k != 0 && reading.value > 0xFF) {
            warn(line, shown + " is above 0xFF: only the low byte is kept: " + in_force);
        }
    }
};

// Keys that share one binding: one warning per shared key code.
void lint_bindings(const key_reading *readings, std::vector<std::string> *warnings) {
    bool reported[config_key_count] = {};
    for (int k = 1; k < config_key_count; ++k) {
        const uint32_t vk = value_in_force(k, readings[k]);
        if (reported[k] || vk == 0) {
            continue;
        }
        std::string users;
        int count = 0;
        for (int other = k; other < config_key_count; ++other) {
            if (value_in_force(other, readings[other]) == vk) {
                reported[other] = true;
                users += std::string(count++ ? ", [" : "[") + config_keys[other].section + "] " +
                         config_keys[other].name;
            }
        }
        if (count > 1) {
            warnings->push_back(key_text(static_cast<uint8_t>(vk)) +
                                " is bound to several functions: " + users);
        }
    }
}

} // namespace

std::vector<std::string> lint_ini(const std::string &bytes,
                                  const key_reading readings[config_key_count]) {
    lint state;
    state.readings = readings;
    std::string text;
    if (!decode(bytes, &text)) {
        state.warnings.push_back(
            "encoding: the file holds NUL characters, as UTF-16 without a byte-order mark or "
            "UTF-32 do; the reader ends every name there and finds no key. Save it as UTF-8 or "
            "ANSI");
    } else {
        int line = 1;
        size_t start = 0;
        for (size_t at = 0; at <= text.size(); ++at) {
            if (at < text.size() && text[at] != '\r' && text[at] != '\n') {
                continue;
            }
            const std::string content = trim(text.substr(start, at - start));
            const size_t close = content.rfind(']');
            if (content.empty() || content[0] == ';' || content[0] == '#') {
                // A blank line, or a comment on a line of its own.
            } else if (content[0] == '[' && close != std::string::npos) {
                state.header(line, trim(content.substr(1, close - 1)));
            } else if (content[0] == '[') {
                state.warn(line, content + " has no ']': the reader takes it for a key");
            } else {
                state.key_line_text(line, content);
            }
            // CR LF ends one line.
            if (at + 1 < text.size() && text[at] == '\r' && text[at + 1] == '\n') {
                ++at;
            }
            ++line;
            start = at + 1;
        }
    }
    lint_bindings(readings, &state.warnings);
    return state.warnings;
}
