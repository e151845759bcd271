// Differential test of the INI integer reader: every file is read by the
// Windows reader (a 64-bit probe program under wine64, one run for all files)
// and by the Linux backend, and the two must agree on every key asked. The
// files are hand-made hostile ones and seeded random ones (TEVUIO_INI_SEED
// picks another seed).
#include "platform/platform.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

using linux_test::temp_folder;

namespace {

struct ini_query {
    std::string section;
    std::string key;
    int32_t def;
};

struct ini_case {
    std::string text; // the file's bytes
    std::vector<ini_query> queries;
};

// The text in UTF-16 with its byte order mark, each byte the unit unit(byte).
template <typename Unit> std::string utf16(const std::string &text, bool big_endian, Unit unit) {
    std::string out = big_endian ? "\xfe\xff" : "\xff\xfe";
    for (char c : text) {
        const uint16_t u = unit(static_cast<unsigned char>(c));
        const char low = static_cast<char>(u & 0xFF), high = static_cast<char>(u >> 8);
        out += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return out;
}

std::vector<ini_case> cases() {
    std::vector<ini_case> all;
    auto add = [&all](const std::string &text, const std::string &section, const std::string &key,
                      int32_t def = 1234) {
        all.push_back({text, {{section, key, def}}});
    };
    // Values.
    for (const char *value :
         {"65",          "0x41",        "0X41",        "0xfF",       "-1",
          "+5",          "12abc",       " 7",          "\t7",        "",
          "   ",         "abc",         "4294967295",  "4294967296", "4294967301",
          "99999999999", "0x",          "0x1g",        "010",        "0b101",
          "0o17",        "0B101",       "\"66\"",      "'67'",       "\"\"",
          "\"68",        "\" 69 \"",    "5 ; five",    "5;five",     ";5",
          "- 5",         "-0x10",       "+-5",         "1 2",        "0x7fffffff",
          "0xffffffff",  "0x100000000", "-2147483648", "321",        "=5",
          "5=6",         "#5",          "\xef\xbc\x95"}) {
        add(std::string("[s]\r\nk=") + value + "\r\n", "s", "k");
    }
    add("[s]\r\nk=" + std::string(39, '0') + "42\r\n", "s", "k");
    add("[s]\r\nk=1234567890123456789012345678901234567890\r\n", "s", "k");
    add("[s]\r\nk=7", "s", "k"); // no line end at the end of the file
    add("[s]\nk=8\n", "s", "k"); // LF only
    // Names.
    add("[IO3]\r\nTeSt=0x41\r\n", "io3", "test");
    add("[io3]\r\ntest=3\r\n", "IO3", "TEST");
    add("  [io3]  \r\n  test  =  9  \r\n", "io3", "test");
    add("[ io3 ]\r\ntest=9\r\n", "io3", "test");
    add("[io3]x\r\ntest=9\r\n", "io3", "test");
    add("[io3\r\ntest=9\r\n", "io3", "test");
    add("[io3]]\r\ntest=9\r\n", "io3", "test");
    add("[io3]\r\nte st=9\r\n", "io3", "te st");
    add("[io3]\r\ntest\t=\t9\r\n", "io3", "test");
    add("[]\r\nk=4\r\n", "", "k");
    add("[s:x]\r\nk=4\r\n", "s:x", "k");
    add("[s]\r\nk:x=4\r\n", "s", "k:x");
    add("[s]x]\r\nk=4\r\n", "s]x", "k");
    // First match wins, and what counts as a match.
    add("[s]\r\nk=1\r\nk=2\r\n", "s", "k");
    add("[s]\r\nk=1\r\nK=2\r\n", "s", "K");
    add("[s]\r\nk=1\r\n[S]\r\nk=2\r\n", "s", "k");
    add("[s]\r\nj=1\r\n[s]\r\nk=2\r\n", "s", "k");
    add("[s]\r\nk\r\nk=2\r\n", "s", "k");
    add("[s]\r\nk=\r\nk=2\r\n", "s", "k");
    add("[s]\r\nk:5\r\nk=6\r\n", "s", "k");
    add("[s]\r\nk:5\r\n", "s", "k");
    add("[s]\r\n[s]\r\nk=2\r\n", "s", "k");
    add("[s]\r\n\r\n\r\nk=2\r\n", "s", "k");
    add("[t]\r\nk=1\r\n[s]\r\nk=2\r\n[t]\r\nk=3\r\n", "s", "k");
    // Comments and lines outside sections.
    add("[s]\r\n;k=1\r\nk=2\r\n", "s", "k");
    add("[s]\r\n#k=1\r\nk=2\r\n", "s", "k");
    add("[s]\r\n  ;k=1\r\nk=2\r\n", "s", "k");
    add("[s] ; note\r\nk=2\r\n", "s", "k");
    add(";[s]\r\nk=1\r\n[s]\r\nk=2\r\n", "s", "k");
    add("k=3\r\n[s]\r\nk=4\r\n", "s", "k");
    add("k=3\r\n[s]\r\nk=4\r\n", "", "k");
    add("[s]\r\nj=1\r\n  k=8\r\n", "s", "k");
    add("\xef\xbb\xbf[s]\r\nk=5\r\n", "s", "k");
    add("[s]\r\nk=" + std::string(300, '9') + "\r\n", "s", "k");
    add("[s]\r\nk=    " + std::string(250, ' ') + "42\r\n", "s", "k");
    add("[s]\r\nk=\"" + std::string(100, '7') + "\"\r\n", "s", "k");
    add("[s]\r\nk=\"" + std::string(100, '7') + "\"   \r\n", "s", "k");
    add("[s]\r\n" + std::string(300, 'j') + "=1\r\nk=5\r\n", "s", "k");
    // Encodings, line ends, blanks and NULs.
    const auto ascii = [](unsigned char c) { return uint16_t{c}; };
    add(utf16("[s]\r\nk=0x41\r\n", false, ascii), "s", "k");
    add(utf16("[s]\r\nk=0x42\r\n", true, ascii), "s", "k");
    add(utf16("[s]\r\nk=43\r\n", false, ascii).substr(2), "s", "k"); // no mark: not UTF-16
    add("\xff\xfe", "s", "k");
    add("\xef\xbb\xbf", "s", "k");
    add("\xef\xbb\xbf[s]\r\nk=\xc2\xa0"
        "5\r\n",
        "s", "k");
    add("[s]\rk=8\r", "s", "k");
    add("[s]\n\rk=8\n\r", "s", "k");
    add("[s]\r\n" + std::string(5000, 'j') + "=1\r\nk=" + std::string(5000, ' ') + "6\r\n", "s",
        "k");
    add("[s]\r\nk=5\x1a\r\n\x1a", "s", "k");
    add("[ s\x0c]\r\n\x0bk\x0c=\x0c5\r\n", "s", "k");
    add("[s\x1a]\r\nk\x1c=5\r\n", "s", "k");
    add(std::string("[s]\r\nk\0x=5\r\n", 13), "s", "k");
    add(std::string("[s]\r\nk \0=5\r\n", 13), "s", "k");
    add(std::string("[s\0x]\r\nk=5\r\n", 13), "s", "k");
    add(std::string("[s]\r\nk=\"5\"\0x\"\r\n", 15), "s", "k");
    add(std::string("[s]\r\nk=\0 5\r\n", 12), "s", "k");
    add(std::string("[s]\r\n\0k=5\r\n", 11), "s", "k");
    add("[s]\r\n[k=5\r\n", "s", "[k");
    add("[s]\r\n;k=5\r\n", "s", ";k");
    add("[s]\r\nk=\"" + std::string(29, '1') + "\"\r\n", "s", "k");
    add("[s]\r\nk=\"" + std::string(28, '1') + "\"\r\n", "s", "k");
    add("[s]\r\nk=5\r\n", " s ", " k ");
    // Defaults.
    add("[s]\r\nk=1\r\n", "t", "k", 5);
    add("[s]\r\nk=1\r\n", "s", "j", -7);
    add("[s]\r\nk=1\r\n", "s", "j", 0);
    add("", "s", "k", 0x31);
    return all;
}

// Random files built from hostile parts, then mutated byte by byte.
class ini_generator {
  public:
    explicit ini_generator(uint32_t seed) : rng_(seed) {}

    ini_case next() {
        placed_.clear();
        section_.clear(); // the nameless section
        std::string text;
        for (int i = pick(3); i > 0; --i) {
            text += line();
        }
        for (int sections = 1 + pick(4); sections > 0; --sections) {
            text += header();
            for (int i = pick(6); i > 0; --i) {
                text += line();
            }
        }
        if (chance(30) && !text.empty()) {
            text.resize(text.size() - 1 - static_cast<size_t>(pick(2))); // no last line end
        }
        for (int i = chance(25) ? 1 + pick(3) : 0; i > 0 && !text.empty(); --i) {
            static const char hostile[] = {'\0', '\x1a', '\v', '\f', '\xa0', '\xff', '\xc2', '\r',
                                           '\n', '=',    '[',  ']',  '"',    ' ',    '\t',   ';'};
            size_t at = static_cast<size_t>(pick(static_cast<int>(text.size())));
            char c = hostile[pick(sizeof hostile)];
            if (chance(50)) {
                text[at] = c;
            } else {
                text.insert(at, 1, c);
            }
        }
        ini_case made{encode(text), {}};
        for (int i = 1 + pick(3); i > 0; --i) {
            static const int32_t defaults[] = {1234, 0, -7, 0x31};
            // Mostly keys the file has, in the sections they were put in.
            bool placed = !placed_.empty() && chance(75);
            auto pair = placed
                            ? placed_[static_cast<size_t>(pick(static_cast<int>(placed_.size())))]
                            : std::make_pair(any(sections_), any(keys_));
            std::string section = asked(pair.first);
            std::string key = asked(pair.second);
            made.queries.push_back({section, key, defaults[pick(4)]});
        }
        return made;
    }

  private:
    // The parts in order: a braced list is evaluated left to right.
    static std::string cat(std::initializer_list<std::string> parts) {
        std::string out;
        for (const std::string &part : parts) {
            out += part;
        }
        return out;
    }
    int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
    bool chance(int percent) { return pick(100) < percent; }
    template <size_t N> const char *one(const char *const (&from)[N]) {
        return from[pick(static_cast<int>(N))];
    }
    std::string blanks() {
        static const char *const runs[] = {"", "", "", " ", "  ", "\t", " \t ", "\v", "\f", "\x1a"};
        return one(runs);
    }
    std::string vary_case(std::string name) {
        for (char &c : name) {
            if (chance(30)) {
                c = static_cast<char>(isupper(static_cast<unsigned char>(c)) ? tolower(c)
                                                                             : toupper(c));
            }
        }
        return name;
    }
    std::string any(const std::vector<std::string> &pool) {
        return pool[static_cast<size_t>(pick(static_cast<int>(pool.size())))];
    }
    std::string asked(const std::string &name) {
        std::string varied = vary_case(name);
        return chance(10) ? " " + varied + " " : varied;
    }
    std::string placed_key() {
        std::string key = any(keys_);
        placed_.emplace_back(section_, key);
        return vary_case(key);
    }
    std::string line_end() {
        static const char *const ends[] = {"\r\n", "\r\n", "\n", "\r", "\n\r", "\r\r\n"};
        return one(ends);
    }
    std::string header() {
        section_ = any(sections_);
        std::string name = vary_case(section_);
        static const char *const tails[] = {"", "", "", "x", " ; note", "]", " ]"};
        std::string close = chance(95) ? "]" : "";
        return cat({blanks(), "[", blanks(), name, blanks(), close, one(tails), line_end()});
    }
    std::string number() {
        static const char *const signs[] = {"", "", "", "+", "-", "+-", "- "};
        static const char *const prefixes[] = {"", "", "", "0x", "0X", "0b", "0o", "0B", "00"};
        static const char digits[] = "0123456789abcdefABCDEFxz";
        std::string text = cat({one(signs), one(prefixes)});
        if (chance(15)) {
            size_t padding = static_cast<size_t>(pick(32));
            text = std::string(padding, chance(50) ? ' ' : '0') + text;
        }
        int count = chance(10) ? 20 + pick(25) : (chance(5) ? 0 : 1 + pick(11));
        for (int i = 0; i < count; ++i) {
            text +=
                chance(70) ? static_cast<char>('0' + pick(10)) : digits[pick(sizeof digits - 1)];
        }
        static const char *const quotes[] = {"", "", "", "\"", "'"};
        std::string quote = one(quotes);
        std::string end_quote = chance(85) ? quote : std::string(chance(50) ? "\"" : "'");
        static const char *const tails[] = {"", "", "", " ; five", ";x", " 2", "\xc3\xa9", "="};
        return cat({quote, text, end_quote, one(tails)});
    }
    std::string line() {
        switch (pick(12)) {
        case 0:
            return cat({blanks(), line_end()});
        case 1:
            return cat({one({";", "#", "//"}), keys_[0], "=1", line_end()});
        case 2: { // over 4 KiB
            size_t length = static_cast<size_t>(4090 + pick(3000));
            std::string long_run(length, chance(50) ? ' ' : 'j');
            return chance(50) ? cat({"k=", long_run, number(), line_end()})
                              : cat({long_run, "=", number(), line_end()});
        }
        case 3:
            return cat({placed_key(), blanks(), line_end()}); // a key without '='
        default: {
            std::string key = placed_key();
            std::string separator = chance(95) ? "=" : ":";
            return cat(
                {blanks(), key, blanks(), separator, blanks(), number(), blanks(), line_end()});
        }
        }
    }
    // The text in one of the encodings a file may have; in UTF-16 each byte
    // above ASCII stands for a character outside it.
    std::string encode(const std::string &text) {
        int kind = pick(20);
        if (kind < 11) {
            return text;
        }
        if (kind < 14) {
            return "\xef\xbb\xbf" + text;
        }
        static const uint16_t others[] = {0x00E9, 0x4E2D, 0x3000, 0x00A0, 0xFEFF, 0x2028};
        return utf16(text, kind >= 18,
                     [this](unsigned char c) { return c < 0x80 ? uint16_t{c} : others[pick(6)]; });
    }

    std::mt19937 rng_;
    std::vector<std::string> sections_ = {"s", "io3", "t", "slider", "", "s x", "s]x", "s:x"};
    std::vector<std::string> keys_ = {"k", "key1", "j", "cell1", "k:x", "[k", ";k", "k x"};
    std::string section_;                                     // of the lines being made
    std::vector<std::pair<std::string, std::string>> placed_; // (section, key) put in the file
};

std::string escaped(const std::string &bytes) {
    std::string out;
    char hex[8];
    for (size_t i = 0; i < bytes.size() && i < 3000; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return bytes.size() > 3000 ? out + "... (" + std::to_string(bytes.size()) + " bytes)" : out;
}

std::string windows_path(const std::string &unix_path) {
    std::string path = "Z:" + unix_path;
    for (char &c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

std::string shell_quote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

} // namespace

TEST(IniDifferential, LinuxReaderAgreesWithTheWindowsReader) {
    temp_folder folder;
    std::vector<ini_case> all = cases();
    const char *seed_text = std::getenv("TEVUIO_INI_SEED");
    uint32_t seed = seed_text ? static_cast<uint32_t>(std::stoul(seed_text)) : 20261208u;
    ini_generator generator(seed);
    for (int i = 0; i < 2000; ++i) {
        all.push_back(generator.next());
    }
    std::ofstream queries(folder.file("queries.txt"), std::ios::binary);
    size_t query_count = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        std::string name = "f" + std::to_string(i) + ".ini";
        folder.write(name, all[i].text);
        for (const ini_query &q : all[i].queries) {
            queries << windows_path(folder.file(name)) << '\t' << q.section << '\t' << q.key << '\t'
                    << q.def << "\n";
            ++query_count;
        }
    }
    queries.close();

    // One wine prefix serves a whole test run when the runner provides it.
    const char *shared_prefix = std::getenv("TEVUIO_WINEPREFIX");
    std::string prefix =
        shell_quote(shared_prefix != nullptr && *shared_prefix != '\0' ? std::string(shared_prefix)
                                                                       : folder.file("wineprefix"));
    std::string env = "WINEPREFIX=" + prefix + " WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= ";
    std::string command = env + "timeout 120 /usr/lib/wine/wine64 " + shell_quote(INI_PROBE_EXE) +
                          " " + shell_quote(windows_path(folder.file("queries.txt"))) + " > " +
                          shell_quote(folder.file("windows.txt")) + " 2> /dev/null";
    int status = std::system(command.c_str());
    std::system((env + "timeout 30 /usr/lib/wine/wineserver -k > /dev/null 2>&1").c_str());
    ASSERT_EQ(status, 0) << command;

    std::ifstream results(folder.file("windows.txt"));
    std::vector<uint32_t> windows;
    std::string line;
    while (std::getline(results, line)) {
        windows.push_back(static_cast<uint32_t>(std::stoul(line)));
    }
    ASSERT_EQ(windows.size(), query_count);

    size_t at = 0;
    int disagreements = 0;
    size_t defaults = 0; // answers that are the default: a sign of how much the files say
    for (size_t i = 0; i < all.size(); ++i) {
        std::string path = folder.file("f" + std::to_string(i) + ".ini");
        for (const ini_query &q : all[i].queries) {
            uint32_t linux_value =
                plat_ini_uint(q.section.c_str(), q.key.c_str(), q.def, path.c_str());
            defaults += windows[at] == static_cast<uint32_t>(q.def) ? size_t{1} : size_t{0};
            if (linux_value != windows[at] && ++disagreements <= 20) {
                ADD_FAILURE() << "file " << i << " (seed " << seed << "): \""
                              << escaped(all[i].text) << "\"\n[" << q.section << "] " << q.key
                              << " (default " << q.def << "): Windows " << windows[at] << ", Linux "
                              << linux_value;
            }
            ++at;
        }
    }
    EXPECT_EQ(disagreements, 0);
    std::cout << all.size() << " files, " << query_count << " keys (" << defaults
              << " answered with the default), " << disagreements << " disagreements (seed " << seed
              << ")\n";
}
