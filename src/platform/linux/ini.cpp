// INI integers as the Windows reader gives them.
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
//
// One pass over the file answers every key of a fixed table (the keys the
// configuration loader asks for, plus any other key asked, while there is
// room); the answers are kept for the file's identity (device, inode, size,
// modification and change times), so the loader's seventeen reads scan the
// file once (a file changed within the clock tick of the scan is scanned
// again). The file is read in fixed chunks: no heap, any size. Names longer
// than kNameRoom characters are never found.
#include "platform/linux/linux_internal.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The Windows reader hands the integer parser at most this many characters.
constexpr uint32_t kIniValueRoom = 29;
// Longest section or key name that can be found.
constexpr uint32_t kNameRoom = 64;
// Characters kept from the start of a value: an opening quote and the room.
constexpr uint32_t kValueKept = kIniValueRoom + 1;
constexpr int kMaxQueries = 32;
// Any character outside ASCII.
constexpr uint8_t kOther = 0x80;

bool is_blank(uint8_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1A;
}

uint8_t lower(uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c - 'A' + 'a') : c;
}

struct ini_name {
    char text[kNameRoom + 1];
    uint32_t length; // kNameRoom + 1 when too long to be found
};

// A name asked for, trimmed as the Windows reader trims it.
ini_name asked_name(const char *text) {
    ini_name name{};
    while (is_blank(static_cast<uint8_t>(*text))) {
        ++text;
    }
    size_t length = strlen(text);
    while (length > 0 && is_blank(static_cast<uint8_t>(text[length - 1]))) {
        --length;
    }
    if (length > kNameRoom) {
        name.length = kNameRoom + 1;
        return name;
    }
    memcpy(name.text, text, length);
    name.length = static_cast<uint32_t>(length);
    return name;
}

// Whether a name from the file (its first kept characters, its length) is
// the name asked for.
bool same_name(const uint8_t *kept, uint64_t length, const ini_name &wanted) {
    if (length != wanted.length) {
        return false;
    }
    for (uint32_t i = 0; i < wanted.length; ++i) {
        if (kept[i] == kOther || lower(kept[i]) != lower(static_cast<uint8_t>(wanted.text[i]))) {
            return false;
        }
    }
    return true;
}

struct ini_query {
    ini_name section;
    ini_name key;
};

// What the file says for one query.
struct ini_answer {
    bool found;     // the key is in the first section of its name
    bool has_value; // the key has '='
    uint64_t length;
    uint8_t first[kValueKept];
    uint8_t last;
};

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
    uint8_t header_kept[kNameRoom];
    // Key: name up to the first '=', value after it.
    int64_t equals;
    int64_t key_end;
    int64_t key_nul;
    uint8_t key_kept[kNameRoom];
    int64_t value_start;
    int64_t value_nul;
    uint8_t before_value_nul;
    uint8_t previous; // the character before the current one
    uint8_t value_kept[kValueKept];
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
    uint8_t stage[kMaxQueries];
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

// One character of the file (kOther for any outside ASCII).
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
            keep(line.header_kept, kNameRoom, line.header_start, line.pos, c);
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
            keep(line.key_kept, kNameRoom, 0, line.pos, c);
            if (c == 0 && line.key_nul < 0) {
                line.key_nul = pos;
            }
        }
    } else if (line.value_start >= 0 || !blank) {
        if (line.value_start < 0) {
            line.value_start = pos;
        }
        if (line.value_nul < 0) {
            keep(line.value_kept, kValueKept, line.value_start, line.pos, c);
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
void scan_file(int fd, ini_scan &scan) {
    static uint8_t chunk[1 << 16];
    bool first_chunk = true;
    text_encoding encoding = encoding_bytes;
    int carried = -1; // the first byte of a UTF-16 unit split between chunks
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
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
                step(scan, byte < 0x80 ? byte : kOther);
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
            step(scan, unit < 0x80 ? static_cast<uint8_t>(unit) : kOther);
        }
        if (scan.open == 0) {
            return;
        }
    }
    // A last odd byte of a UTF-16 file is read as a unit of its own.
    if (carried >= 0) {
        step(scan, carried < 0x80 ? static_cast<uint8_t>(carried) : kOther);
    }
    end_line(scan);
}

// The integer the Windows reader makes of an answer, def for none.
uint32_t answer_value(const ini_answer &answer, int32_t def) {
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
    uint64_t taken = length < kIniValueRoom ? length : kIniValueRoom;
    if (quoted && length <= kIniValueRoom + 1) {
        --taken; // the closing quote, or what stands in its place after the cut
    }
    if (taken == 0) {
        return static_cast<uint32_t>(def);
    }
    char value[kIniValueRoom + 1];
    memcpy(value, text, taken);
    value[taken] = '\0';
    return linux_platform::windows_integer(value);
}

struct file_identity {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;
};

bool same_identity(const file_identity &a, const file_identity &b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

// The queries one scan answers: the configuration loader's keys first.
ini_query queries[kMaxQueries];
int query_count = 0;

void add_query(const char *section, const char *key) {
    queries[query_count].section = asked_name(section);
    queries[query_count].key = asked_name(key);
    ++query_count;
}

void seed_queries() {
    add_query("tevuio", "hid_offset");
    add_query("io3", "test");
    add_query("io3", "service");
    add_query("io3", "coin");
    const char *const buttons[] = {"key1", "key2", "key3", "key4", "key5"};
    for (const char *key : buttons) {
        add_query("buttons", key);
    }
    const char *const cells[] = {"cell1", "cell2", "cell3", "cell4",
                                 "cell5", "cell6", "cell7", "cell8"};
    for (const char *key : cells) {
        add_query("slider", key);
    }
}

// The index of a query in the table, added when there is room; -1 otherwise.
int query_index(const ini_name &section, const ini_name &key) {
    if (query_count == 0) {
        seed_queries();
    }
    for (int i = 0; i < query_count; ++i) {
        const ini_query &q = queries[i];
        if (q.section.length == section.length && q.key.length == key.length &&
            memcmp(q.section.text, section.text, section.length) == 0 &&
            memcmp(q.key.text, key.text, key.length) == 0) {
            return i;
        }
    }
    if (query_count == kMaxQueries) {
        return -1;
    }
    queries[query_count] = ini_query{section, key};
    return query_count++;
}

// The answers of the last file scanned, for its identity, covering the first
// `covered` queries of the table.
struct ini_cache {
    bool valid;
    file_identity identity;
    int covered;
    ini_answer answers[kMaxQueries];
};

ini_cache cache;
pthread_mutex_t ini_lock = PTHREAD_MUTEX_INITIALIZER;

// Opens a regular file without blocking on a FIFO or a device; -1 otherwise.
int open_regular(const char *file_name, file_identity *identity) {
    char path[4096];
    snprintf(path, sizeof path, "%s", file_name);
    for (char *c = path; *c; ++c) {
        if (*c == '\\') {
            *c = '/';
        }
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    *identity = file_identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
    return fd;
}

uint32_t read_ini_integer(const char *section, const char *key, int32_t def,
                          const char *file_name) {
    file_identity identity;
    int fd = open_regular(file_name, &identity);
    if (fd < 0) {
        return static_cast<uint32_t>(def);
    }
    const ini_name section_name = asked_name(section);
    const ini_name key_name = asked_name(key);
    pthread_mutex_lock(&ini_lock);
    int index = query_index(section_name, key_name);
    uint32_t value;
    ini_scan scan;
    if (index < 0) {
        // The table is full: a scan of its own for this query.
        ini_query single{section_name, key_name};
        ini_answer answer;
        scan_start(scan, &single, &answer, 1);
        scan_file(fd, scan);
        value = answer_value(answer, def);
    } else {
        if (!cache.valid || index >= cache.covered || !same_identity(cache.identity, identity)) {
            // File times come from the kernel's coarse clock: a file changed
            // in the current tick could change again, at the same size, with
            // the same times. Its answers are used for this read only.
            timespec now;
            clock_gettime(CLOCK_REALTIME_COARSE, &now);
            scan_start(scan, queries, cache.answers, query_count);
            scan_file(fd, scan);
            cache.valid =
                identity.changed.tv_sec < now.tv_sec ||
                (identity.changed.tv_sec == now.tv_sec && identity.changed.tv_nsec < now.tv_nsec);
            cache.identity = identity;
            cache.covered = query_count;
        }
        value = answer_value(cache.answers[index], def);
    }
    pthread_mutex_unlock(&ini_lock);
    close(fd);
    return value;
}

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

uint32_t plat_ini_uint(const char *section, const char *key, int32_t def, const char *file_name) {
    if (!section || !key || !file_name) {
        return static_cast<uint32_t>(def);
    }
    return read_ini_integer(section, key, def, file_name);
}
