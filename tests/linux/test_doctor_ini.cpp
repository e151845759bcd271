// The doctor's INI warnings: hostile files, each read by the library's own
// reader, each with the one warning the doctor gives for it.
#include "tevutest/ini_lint.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

struct lint_case {
    std::string file;
    std::vector<std::string> warnings;
};

const std::string utf16_le("\xFF\xFE[\0i\0o\0\x33\0]\0\r\0\n\0c\0o\0i\0n\0=\0\x46\0\x33\0", 30);
const std::string utf16_no_bom("[\0i\0o\0\x33\0]\0\n\0c\0o\0i\0n\0=\0\x31\0", 24);

const lint_case lint_cases[] = {
    {"[slider]\r\ncel1=0x41\r\n",
     {"line 2: unknown key cel1 in [slider]: ignored (did you mean cell1?)"}},
    {"[io]\ntest=0x70\n",
     {"line 1: unknown section [io]: its keys are ignored (did you mean [io3]?)"}},
    {"[slider]\ncoin=0x72\n", {"line 2: coin in [slider]: ignored; it belongs in [io3]"}},
    {"key1=0x41\n", {"line 1: key1 before any section: ignored; it belongs in [buttons]"}},
    {"[io3]\ncoin=F3\n",
     {"line 2: coin=F3 is not a number: the reader makes 0x00 (no key) of it, not the default "
      "0x33 (3)"}},
    {"[io3]\ncoin=0X72\n",
     {"line 2: coin=0X72 is not a number: the reader makes 0x00 (no key) of it, not the default "
      "0x33 (3)"}},
    {"[buttons]\nkey2=0x141\n",
     {"line 2: key2=0x141 is above 0xFF: only the low byte is kept: 0x41 (A)"}},
    {"[io3]\ncoin=\"0x72\" ; F3\n",
     {"line 2: coin=\"0x72\" ; F3: a comment after a value is part of the value (keep comments on "
      "lines of their own); the reader makes 0x00 (no key) of it"}},
    {"[io3]\ntest=0x51\n", {"0x51 (Q) is bound to several functions: [io3] test, [slider] cell1"}},
    {"[io3]\ncoin=1\n[io3]\ntest=2\n",
     {"line 3: [io3] again: only the first one (line 1) is read; the keys here are ignored"}},
    {utf16_no_bom,
     {"encoding: the file holds NUL characters, as UTF-16 without a byte-order mark or UTF-32 do; "
      "the reader ends every name there and finds no key. Save it as UTF-8 or ANSI"}},
    {"[io3]\ncoin=0x72\nCOIN=0x73\n", {"line 3: COIN again: only the first one (line 2) is read"}},
    {"[io3]\n  coin  \n", {"line 2: coin has no '=': the default 0x33 (3) is used"}},
    {"[io3]\ncoin=\t\n", {"line 2: coin= has no value: the default 0x33 (3) is used"}},
    {"[io3\ncoin=0x72\n",
     {"line 1: [io3 has no ']': the reader takes it for a key",
      "line 2: coin before any section: ignored; it belongs in [io3]"}},
    // What the reader reads as meant: lone CR line ends, any case, quotes,
    // comment lines, a UTF-8 mark, other number forms.
    {"\xEF\xBB\xBF; coin on F3\r[IO3]\r Coin = '0x72'\r# test\r[tevuio]\rhid_offset=-0b1\r", {}},
    {utf16_le,
     {"line 2: coin=F3 is not a number: the reader makes 0x00 (no key) of it, not the default "
      "0x33 (3)"}},
};

TEST(DoctorIni, EachHostileFileGivesItsWarning) {
    linux_test::temp_folder folder;
    key_reading readings[config_key_count];
    for (const lint_case &c : lint_cases) {
        folder.write("morvantel.ini", c.file);
        read_config(folder.file("morvantel.ini").c_str(), readings);
        EXPECT_EQ(lint_ini(c.file, readings), c.warnings) << c.file;
    }
    // A value equal to its default still comes from the file.
    folder.write("morvantel.ini", "[io3]\ntest=0x31\n");
    read_config(folder.file("morvantel.ini").c_str(), readings);
    EXPECT_TRUE(readings[1].from_file && !readings[2].from_file && readings[2].value == 0x32);
}

} // namespace
