// The doctor's reading of the INI file: the keys as the library's loader gets
// them, and what the reader makes of the file differently from what its
// writer likely meant.
#ifndef TEVUTEST_INI_LINT_H
#define TEVUTEST_INI_LINT_H

#include <cstdint>
#include <string>
#include <vector>

struct config_key {
    const char *section;
    const char *name;
};
constexpr int config_key_count = 17;
// Every key the loader reads, in its order: hid_offset; test, service, coin;
// key1 to key5; cell1 to cell8.
extern const config_key config_keys[config_key_count];

// What the library's reader gives for one key.
struct key_reading {
    bool from_file; // the file gives the key a value; otherwise the default is in force
    uint32_t value; // what the reader gives, all 32 bits (a key binding keeps the low byte)
    uint32_t def;   // the loader's default
};

// Reads every key of file_name with the library's loader and INI reader.
void read_config(const char *file_name, key_reading readings[config_key_count]);

// The value in force: hid_offset whole, a key binding's low byte.
uint32_t value_in_force(int key, const key_reading &reading);

// Warnings about the file's text (its bytes as read), one per line at most,
// and about keys bound to several functions.
std::vector<std::string> lint_ini(const std::string &bytes,
                                  const key_reading readings[config_key_count]);

#endif
