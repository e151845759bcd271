// The configuration loader.
#include "fake_platform.h"
#include "tevuio/config.h"
#include "tevuio/state.h"
#include "unit_kit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char ini_file[] = ".\\morvantel.ini";

class Config : public unit::fresh_test {
  protected:
    io_config load() {
        io_config cfg;
        std::memset(&cfg, 0xEE, sizeof cfg);
        io_config_load(&cfg, ini_file);
        return cfg;
    }
};

void expect_defaults(const io_config &cfg) {
    EXPECT_EQ(0x31, cfg.vk_test);
    EXPECT_EQ(0x32, cfg.vk_service);
    EXPECT_EQ(0x33, cfg.vk_coin);
    const uint8_t buttons[5] = {0x27, 0x28, 0x25, 0x26, 0x20};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(buttons[i], cfg.vk_button[i]) << "button " << i;
    const uint8_t cells[8] = {'Q', 'W', 'E', 'R', 'U', 'I', 'O', 'P'};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(cells[i], cfg.vk_cell[i]) << "cell " << i;
    EXPECT_EQ(0u, cfg.lamp_state_address);
}

TEST_F(Config, NoFileGivesTheDefaults) {
    expect_defaults(load());
}

TEST_F(Config, ReadsEveryKeyInOrderWithItsDefault) {
    load();
    const std::vector<std::string> expected = {
        ".\\morvantel.ini|tevuio|hid_offset|0", ".\\morvantel.ini|io3|test|49",
        ".\\morvantel.ini|io3|service|50",      ".\\morvantel.ini|io3|coin|51",
        ".\\morvantel.ini|buttons|key1|39",     ".\\morvantel.ini|buttons|key2|40",
        ".\\morvantel.ini|buttons|key3|37",     ".\\morvantel.ini|buttons|key4|38",
        ".\\morvantel.ini|buttons|key5|32",     ".\\morvantel.ini|slider|cell1|81",
        ".\\morvantel.ini|slider|cell2|87",     ".\\morvantel.ini|slider|cell3|69",
        ".\\morvantel.ini|slider|cell4|82",     ".\\morvantel.ini|slider|cell5|85",
        ".\\morvantel.ini|slider|cell6|73",     ".\\morvantel.ini|slider|cell7|79",
        ".\\morvantel.ini|slider|cell8|80",
    };
    EXPECT_EQ(expected, fake::ini_lookups());
}

TEST_F(Config, PassesTheFileNameThrough) {
    io_config cfg;
    io_config_load(&cfg, "C:\\games\\other.ini");
    for (const std::string &l : fake::ini_lookups())
        EXPECT_EQ(0u, l.rfind("C:\\games\\other.ini|", 0)) << l;
}

TEST_F(Config, EveryKeyIsBound) {
    fake::set_ini("io3", "test", 'T');
    fake::set_ini("io3", "service", 'S');
    fake::set_ini("io3", "coin", 'C');
    for (int i = 0; i < 5; ++i)
        fake::set_ini("buttons", "key" + std::to_string(i + 1), static_cast<uint32_t>(0x60 + i));
    for (int i = 0; i < 8; ++i)
        fake::set_ini("slider", "cell" + std::to_string(i + 1), static_cast<uint32_t>(0x70 + i));
    io_config cfg = load();
    EXPECT_EQ('T', cfg.vk_test);
    EXPECT_EQ('S', cfg.vk_service);
    EXPECT_EQ('C', cfg.vk_coin);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(0x60 + i, cfg.vk_button[i]);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(0x70 + i, cfg.vk_cell[i]);
}

// Above 255 or negative.
TEST_F(Config, AValueKeepsItsLowByte) {
    fake::set_ini("io3", "coin", 321);
    fake::set_ini("slider", "cell8", 0xFFFFFF00u);
    fake::set_ini("buttons", "key2", static_cast<uint32_t>(-2));
    io_config cfg = load();
    EXPECT_EQ(0x41, cfg.vk_coin);
    EXPECT_EQ(0x00, cfg.vk_cell[7]);
    EXPECT_EQ(0xFE, cfg.vk_button[1]);
}

TEST_F(Config, ReloadReturnsRemovedKeysToTheirDefaults) {
    fake::set_ini("io3", "test", 0x54);
    fake::set_ini("slider", "cell3", 0x5A);
    fake::set_ini("tevuio", "hid_offset", 0x100);
    fake::set_image(0x400000, 0x10000);
    io_config cfg;
    io_config_load(&cfg, ini_file);
    EXPECT_EQ(0x54, cfg.vk_test);
    EXPECT_EQ(0x5A, cfg.vk_cell[2]);
    EXPECT_EQ(0x400100u, cfg.lamp_state_address);
    fake::clear_ini();
    io_config_load(&cfg, ini_file);
    expect_defaults(cfg);
}

// hid_offset: an unsigned 32-bit offset from the host image's base, summed in
// 64 bits; 0 or missing means no lamp-state byte.
TEST_F(Config, LampAddressIsTheImageBasePlusTheOffset) {
    const int64_t missing = -1;
    const struct {
        uint64_t base;
        int64_t offset;
        uint64_t address;
    } cases[] = {
        {0x400000, missing, 0},
        {0x400000, 0, 0},
        {0x400000, 0x1234, 0x401234},
        {0xFFFF0000u, 0xFFFFFFFFu, 0x1FFFEFFFFull},
        {0, 0x20, 0x20}, // no image base: still an address
    };
    for (const auto &c : cases) {
        fake::clear_ini();
        fake::set_image(c.base, 0x1000);
        if (c.offset != missing)
            fake::set_ini("tevuio", "hid_offset", static_cast<uint32_t>(c.offset));
        EXPECT_EQ(c.address, load().lamp_state_address) << std::hex << c.base << " " << c.offset;
    }
}

// The line of config.cpp that holds the check of this expression, 0 if none.
int check_line(const std::string &expression) {
    std::ifstream source(TEVUIO_SOURCE_DIR "/src/tevuio/config.cpp");
    std::string text;
    for (int line = 1; std::getline(source, text); ++line)
        if (text.find("TEVUIO_CHECK(" + expression + ");") != std::string::npos)
            return line;
    return 0;
}

// A null argument, in any build: the C library's own assertion report (file,
// line of the check, function, expression), the record checked first.
TEST(ConfigDeathTest, NullArgumentIsAnAssertionReportOfItsCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    io_config cfg;
    const struct {
        io_config *cfg;
        const char *filename;
        std::string check;
    } cases[] = {{nullptr, ini_file, "cfg != NULL"},
                 {&cfg, nullptr, "filename != NULL"},
                 {nullptr, nullptr, "cfg != NULL"}};
    for (const auto &c : cases) {
        const int line = check_line(c.check);
        ASSERT_NE(0, line) << c.check;
        EXPECT_DEATH(io_config_load(c.cfg, c.filename),
                     "src/tevuio/config\\.cpp:" + std::to_string(line) +
                         ": .*io_config_load.*: Assertion `" + c.check + "' failed\\.");
    }
}

} // namespace
