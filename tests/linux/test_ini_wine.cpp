// Differential test of the INI integer reader: every case is read by the
// Windows reader (a 64-bit probe program under wine64) and by the Linux
// backend, and the two must agree.
#include "platform/platform.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using linux_test::temp_folder;

namespace {

struct ini_case {
    std::string text;
    std::string section;
    std::string key;
    int32_t def;
};

std::vector<ini_case> cases() {
    std::vector<ini_case> all;
    auto add = [&all](const std::string &text, const std::string &section, const std::string &key,
                      int32_t def = 1234) {
        all.push_back({text, section, key, def});
    };
    // Values.
    for (const char *value : {"65",
                              "0x41",
                              "0X41",
                              "0xfF",
                              "-1",
                              "+5",
                              "12abc",
                              " 7",
                              "\t7",
                              "",
                              "   ",
                              "abc",
                              "4294967295",
                              "4294967296",
                              "4294967301",
                              "99999999999",
                              "0x",
                              "0x1g",
                              "010",
                              "0b101",
                              "0o17",
                              "0B101",
                              "\"66\"",
                              "'67'",
                              "\"\"",
                              "\"68",
                              "\" 69 \"",
                              "5 ; five",
                              "5;five",
                              ";5",
                              "- 5",
                              "-0x10",
                              "+-5",
                              "1 2",
                              "0x7fffffff",
                              "0xffffffff",
                              "0x100000000",
                              "-2147483648",
                              "321",
                              "00000000000000000000000000000000000000042",
                              "1234567890123456789012345678901234567890",
                              "=5",
                              "5=6",
                              "#5",
                              "\xef\xbc\x95"}) {
        add(std::string("[s]\r\nk=") + value + "\r\n", "s", "k");
    }
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
    // Defaults.
    add("[s]\r\nk=1\r\n", "t", "k", 5);
    add("[s]\r\nk=1\r\n", "s", "j", -7);
    add("[s]\r\nk=1\r\n", "s", "j", 0);
    add("", "s", "k", 0x31);
    return all;
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
    std::ofstream queries(folder.file("queries.txt"), std::ios::binary);
    for (size_t i = 0; i < all.size(); ++i) {
        std::string name = "case" + std::to_string(i) + ".ini";
        folder.write(name, all[i].text);
        queries << windows_path(folder.file(name)) << '\t' << all[i].section << '\t' << all[i].key
                << '\t' << all[i].def << "\n";
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
    ASSERT_EQ(windows.size(), all.size());

    for (size_t i = 0; i < all.size(); ++i) {
        uint32_t linux_value =
            plat_ini_uint(all[i].section.c_str(), all[i].key.c_str(), all[i].def,
                          folder.file("case" + std::to_string(i) + ".ini").c_str());
        std::string shown =
            all[i].text.size() > 80 ? all[i].text.substr(0, 80) + "..." : all[i].text;
        EXPECT_EQ(linux_value, windows[i])
            << "case " << i << ": [" << all[i].section << "] " << all[i].key << " in\n"
            << shown;
    }
}
