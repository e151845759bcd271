// INI integers as the Windows reader gives them, through inih.
#include "platform/linux/linux_internal.h"

#include <ini.h>

#include <cctype>
#include <cstdio>
#include <cstring>

using linux_platform::windows_integer;

namespace {

// --- INI integers ---------------------------------------------------------------------------

// The Windows reader hands the integer parser at most this many characters.
constexpr size_t kIniValueRoom = 29;

} // namespace

// The integer rule of the Windows reader: leading control characters and
// spaces skipped, one sign, "0x" (hexadecimal), "0o" (octal) or "0b" (binary)
// after it, then digits up to the first one that does not belong; the
// unsigned 32-bit result wraps and is negated for a minus sign.
uint32_t linux_platform::windows_integer(const char *text) {
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

namespace {

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

} // namespace

uint32_t plat_ini_uint(const char *section, const char *key, int32_t def, const char *file_name) {
    if (!section || !key || !file_name) {
        return static_cast<uint32_t>(def);
    }
    return read_ini_integer(section, key, def, file_name);
}
