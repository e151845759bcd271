// INI integers as the Windows reader gives them: the reading rules.
//
// The reader is written here rather than on inih. The Windows reader's rules
// differ from inih's at almost every turn (no comments: ";k=1" is a key named
// ";k"; ':' is no separator; only the first section of a name is searched;
// files in UTF-16 with a byte-order mark; lone CR line ends; lines of any
// length; NUL ending a name or value; ^Z, vertical tab and form feed counted
// as blanks), so inih needed a line reader in front of it that did most of
// the parsing anyway. And inih's options are process-wide variables: setting
// them on every read races with anything else in the host that uses inih.
//
// The rules, as the Windows reader applies them:
// - Encoding from the first bytes: EF BB BF is UTF-8, FF FE UTF-16 LE, FE FF
//   UTF-16 BE (the mark skipped); anything else is the ANSI code page. Only
//   ASCII characters matter below: every other character is "other" (never a
//   blank, never equal to an ASCII name character), so UTF-8 and ANSI are read
//   byte for byte and UTF-16 unit for unit.
// - Lines end at CR or LF. Blanks (tab, LF, VT, FF, CR, ^Z, space) are trimmed
//   from both ends of a line; blank lines are skipped.
// - A line starting with '[' that has a ']' after it is a section header: the
//   name runs to the last ']', trimmed. Any other line is a key: its name runs
//   to the first '=' (trimmed), its value from there (blanks after '='
//   skipped) to the line's end; without '=' the key has no value.
// - Lines before the first header form a nameless section. Names are compared
//   without regard to ASCII case, each ending at its first NUL; only the first
//   section of a name is searched, and in it the first key of the name wins.
// - The value ends at its first NUL. When it starts and ends with the same
//   quote (' or "), the quotes are dropped; its first 29 characters then go to
//   the integer rule below. An empty result or a key without value gives the
//   default.
#include "platform/linux/linux_internal.h"

#include <cerrno>
#include <unistd.h>

using namespace linux_platform;

namespace {

// Any character outside ASCII.
constexpr uint8_t other_char = 0x80;

bool is_blank(uint8_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1A;
}

uint8_t lower(uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c - 'A' + 'a') : c;
}

} // namespace

ini_name linux_platform::asked_name(const char *text) {
    ini_name name{};
    while (is_blank(static_cast<uint8_t>(*text))) {
        ++text;
    }
    size_t length = strlen(text);
    while (length > 0 && is_blank(static_cast<uint8_t>(text[length - 1]))) {
        --length;
    }
    if (length > name_room) {
        name.length = name_room + 1;
        return name;
    }
    memcpy(name.text, text, length);
    name.length = static_cast<uint32_t>(length);
    return name;
}

namespace {

// Whether a name from the file (its first kept characters, its length) is
// the name asked for.
bool same_name(const uint8_t *kept, uint64_t length, const ini_name &wanted) {
    if (length != wanted.length) {
        return false;
    }
    for (uint32_t i = 0; i < wanted.length; ++i) {
        if (kept[i] == other_char ||
            lower(kept[i]) != lower(static_cast<uint8_t>(wanted.text[i]))) {
            return false;
        }
    }
    return true;
}

// One text line as it streams past: only what the rules above look at is kept.
struct line_state {
    bool started;          // a non-blank character has come
    uint64_t pos;          // position of the next character, the first non-blank at 0
    int64_t last_nonblank; // position of the last non-blank character so far
    uint8_t last_nonblank_char;
    uint8_t first;
    // Header: name from the first non-blank after '[' to the last ']'.
    int64_t header_start;
    int64_t header_end;
    int64_t header_nul;
    uint8_t header_kept[name_room];
    // Key: name up to the first '=', value after it.
    int64_t equals;
    int64_t key_end;
    int64_t key_nul;
    uint8_t key_kept[name_room];
    int64_t value_start;
    int64_t value_nul;
    uint8_t before_value_nul;
    uint8_t previous; // the character before the current one
    uint8_t value_kept[value_kept_room];
};

void line_reset(line_state &line) {
    line.started = false;
    line.pos = 0;
    line.last_nonblank = -1;
    line.header_start = -1;
    line.header_end = -1;
    line.header_nul = -1;
    line.equals = -1;
    line.key_nul = -1;
    line.value_start = -1;
    line.value_nul = -1;
}

// Progress of one scan over a set of queries.
struct ini_scan {
    const ini_query *queries;
    ini_answer *answers;
    int count;
    // Per query: 0 before its section, 1 inside the first section of its
    // name, 2 after it.
    uint8_t stage[max_queries];
    int open; // queries that may still change
    line_state line;
};

void scan_start(ini_scan &scan, const ini_query *queries, ini_answer *answers, int count) {
    scan.queries = queries;
    scan.answers = answers;
    scan.count = count;
    scan.open = count;
    for (int i = 0; i < count; ++i) {
        answers[i] = ini_answer{};
        scan.stage[i] = queries[i].section.length == 0 ? 1 : 0; // the nameless section
    }
    line_reset(scan.line);
}

void close_query(ini_scan &scan, int i, uint8_t stage) {
    if (scan.stage[i] != 2 && !scan.answers[i].found) {
        --scan.open;
    }
    scan.stage[i] = stage;
}

int64_t name_length(int64_t start, int64_t end, int64_t nul) {
    int64_t stop = nul >= 0 && nul < end ? nul : end;
    return stop > start ? stop - start : 0;
}

void end_line(ini_scan &scan) {
    line_state &line = scan.line;
    if (!line.started) {
        return;
    }
    if (line.first == '[' && line.header_end >= 0) {
        int64_t length = name_length(line.header_start, line.header_end, line.header_nul);
        for (int i = 0; i < scan.count; ++i) {
            if (scan.stage[i] == 1) {
                close_query(scan, i, 2);
            } else if (scan.stage[i] == 0 &&
                       same_name(line.header_kept, static_cast<uint64_t>(length),
                                 scan.queries[i].section)) {
                scan.stage[i] = 1;
            }
        }
        return;
    }
    int64_t key_end = line.equals >= 0 ? line.key_end : line.last_nonblank + 1;
    uint64_t key_length = static_cast<uint64_t>(name_length(0, key_end, line.key_nul));
    for (int i = 0; i < scan.count; ++i) {
        ini_answer &answer = scan.answers[i];
        if (scan.stage[i] != 1 || answer.found ||
            !same_name(line.key_kept, key_length, scan.queries[i].key)) {
            continue;
        }
        answer.found = true;
        --scan.open;
        answer.has_value = line.equals >= 0;
        if (line.value_start < 0) {
            continue; // nothing but blanks after '='
        }
        bool cut = line.value_nul >= 0;
        int64_t end = cut ? line.value_nul : line.last_nonblank + 1;
        answer.length = static_cast<uint64_t>(end - line.value_start);
        answer.last = cut ? line.before_value_nul : line.last_nonblank_char;
        memcpy(answer.first, line.value_kept, sizeof answer.first);
    }
}

void keep(uint8_t *kept, uint32_t room, int64_t start, uint64_t pos, uint8_t c) {
    uint64_t at = pos - static_cast<uint64_t>(start);
    if (at < room) {
        kept[at] = c;
    }
}

// One character of the file (other_char for any outside ASCII).
void step(ini_scan &scan, uint8_t c) {
    line_state &line = scan.line;
    if (c == '\r' || c == '\n') {
        end_line(scan);
        line_reset(line);
        return;
    }
    const bool blank = is_blank(c);
    if (!line.started) {
        if (blank) {
            return;
        }
        line.started = true;
        line.first = c;
    }
    const int64_t pos = static_cast<int64_t>(line.pos);
    if (line.first == '[' && pos > 0) {
        if (c == ']') {
            line.header_end = line.last_nonblank + 1;
        }
        if (line.header_start < 0 && !blank) {
            line.header_start = pos;
        }
        if (line.header_start >= 0) {
            keep(line.header_kept, name_room, line.header_start, line.pos, c);
            if (c == 0 && line.header_nul < 0) {
                line.header_nul = pos;
            }
        }
    }
    if (line.equals < 0) {
        if (c == '=') {
            line.equals = pos;
            line.key_end = line.last_nonblank + 1;
        } else {
            keep(line.key_kept, name_room, 0, line.pos, c);
            if (c == 0 && line.key_nul < 0) {
                line.key_nul = pos;
            }
        }
    } else if (line.value_start >= 0 || !blank) {
        if (line.value_start < 0) {
            line.value_start = pos;
        }
        if (line.value_nul < 0) {
            keep(line.value_kept, value_kept_room, line.value_start, line.pos, c);
            if (c == 0) {
                line.value_nul = pos;
                line.before_value_nul = line.previous;
            }
        }
    }
    if (!blank) {
        line.last_nonblank = pos;
        line.last_nonblank_char = c;
    }
    line.previous = c;
    ++line.pos;
}

enum text_encoding { encoding_bytes, encoding_utf16le, encoding_utf16be };

// Feeds the file to the scan until it ends or every query is settled.
void scan_file(int fd, ini_scan &scan, ini_chunk &buffer) {
    uint8_t(&chunk)[sizeof buffer.bytes] = buffer.bytes;
    bool first_chunk = true;
    text_encoding encoding = encoding_bytes;
    int carried = -1; // the first byte of a UTF-16 unit split between chunks
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        size_t at = 0;
        const size_t size = static_cast<size_t>(got);
        if (first_chunk) {
            first_chunk = false;
            if (size >= 3 && chunk[0] == 0xEF && chunk[1] == 0xBB && chunk[2] == 0xBF) {
                at = 3;
            } else if (size >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE) {
                encoding = encoding_utf16le;
                at = 2;
            } else if (size >= 2 && chunk[0] == 0xFE && chunk[1] == 0xFF) {
                encoding = encoding_utf16be;
                at = 2;
            }
        }
        for (; at < size && scan.open > 0; ++at) {
            uint8_t byte = chunk[at];
            if (encoding == encoding_bytes) {
                step(scan, byte < 0x80 ? byte : other_char);
                continue;
            }
            if (carried < 0) {
                carried = byte;
                continue;
            }
            unsigned unit = encoding == encoding_utf16le
                                ? static_cast<unsigned>(carried) | (unsigned{byte} << 8)
                                : (static_cast<unsigned>(carried) << 8) | byte;
            carried = -1;
            step(scan, unit < 0x80 ? static_cast<uint8_t>(unit) : other_char);
        }
        if (scan.open == 0) {
            return;
        }
    }
    // A last odd byte of a UTF-16 file is read as a unit of its own.
    if (carried >= 0) {
        step(scan, carried < 0x80 ? static_cast<uint8_t>(carried) : other_char);
    }
    end_line(scan);
}

} // namespace

void linux_platform::ini_scan_file(int fd, const ini_query *queries, ini_answer *answers, int count,
                                   ini_chunk &chunk) {
    ini_scan scan;
    scan_start(scan, queries, answers, count);
    scan_file(fd, scan, chunk);
}

uint32_t linux_platform::ini_answer_value(const ini_answer &answer, int32_t def) {
    if (!answer.found || !answer.has_value || answer.length == 0) {
        return static_cast<uint32_t>(def);
    }
    const uint8_t *text = answer.first;
    uint64_t length = answer.length;
    bool quoted = (text[0] == '"' || text[0] == '\'') && length >= 2 && answer.last == text[0];
    if (quoted) {
        ++text;
        --length;
    }
    uint64_t taken = length < ini_value_room ? length : ini_value_room;
    if (quoted && length <= ini_value_room + 1) {
        --taken; // the closing quote, or what stands in its place after the cut
    }
    if (taken == 0) {
        return static_cast<uint32_t>(def);
    }
    char value[ini_value_room + 1];
    memcpy(value, text, taken);
    value[taken] = '\0';
    return windows_integer(value);
}

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
            digit = static_cast<uint32_t>(*p - '0');
        } else if (*p >= 'a' && *p <= 'z') {
            digit = static_cast<uint32_t>(*p - 'a' + 10);
        } else if (*p >= 'A' && *p <= 'Z') {
            digit = static_cast<uint32_t>(*p - 'A' + 10);
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
