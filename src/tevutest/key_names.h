// Names of the keyboard's virtual-key codes, as a user reads them in the
// doctor's report: "0x27 (right arrow)", "0x72 (F3)".
#ifndef TEVUTEST_KEY_NAMES_H
#define TEVUTEST_KEY_NAMES_H

#include <cstdint>
#include <string>

// "0xNN (name)": the code in two hex digits and what the key is.
std::string key_text(uint8_t vk);

#endif
