// Key bindings and the lamp-state address, read from the INI file.
#ifndef TEVUIO_CONFIG_H
#define TEVUIO_CONFIG_H

#include "tevuio/reports.h"

#include <cstdint>

struct io_config {
    uint8_t vk_button[report::game_button_count]; // game buttons 1-5
    uint8_t vk_cell[report::slider_key_count];    // slider keys 1-8; key k covers cells 4k to 4k+3
    uint8_t vk_test;
    uint8_t vk_service;
    uint8_t vk_coin;
    uint64_t lamp_state_address; // host image base + hid_offset; 0 means none
};

// Fills cfg from file_name; missing file, section or key gives the default.
// Both arguments must be non-null (checked by assertion in every build).
void io_config_load(io_config *cfg, const char *filename);

#endif
