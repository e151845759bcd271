// Operator and game buttons from the keyboard and the controller's button
// word, and the coin counter from the coin key.
#include "tevuio.h"

#include "tevuio/state.h"

namespace {

// Controller button word bit, and the bit of opbtn or gamebtn it sets.
struct word_button {
    uint16_t word_bit;
    bool operator_byte; // opbtn, else gamebtn
    uint8_t bit;
};
constexpr word_button word_buttons[] = {
    {1u << 12, true, 1u << 0}, // test
    {1u << 8, true, 1u << 1},  // service
    {1u << 2, false, 1u << 0}, // button 1
    {1u << 1, false, 1u << 1}, // button 2
    {1u << 0, false, 1u << 2}, // button 3
    {1u << 3, false, 1u << 3}, // button 4
    {1u << 9, false, 1u << 4}, // button 5
};

constexpr uint8_t opbtn_test = 1u << 0;
constexpr uint8_t opbtn_service = 1u << 1;

} // namespace

void tevu_io_jvs_poll(uint8_t *opbtn, uint8_t *gamebtn) {
    const live_config &config = tevu.config;
    uint8_t op = 0;
    if (plat_key_down(key_of(config.vk_test)))
        op |= opbtn_test;
    if (plat_key_down(key_of(config.vk_service)))
        op |= opbtn_service;

    uint8_t game = 0;
    for (int i = 0; i < 5; ++i)
        if (plat_key_down(key_of(config.vk_button[i])))
            game |= static_cast<uint8_t>(1u << i);

    // One load, so a poll sees either the old or the new word.
    const uint16_t word = tevu.input.buttons.load(std::memory_order_acquire);
    for (const word_button &b : word_buttons)
        if (word & b.word_bit)
            (b.operator_byte ? op : game) |= b.bit;

    *opbtn = op;
    *gamebtn = game;
}

void tevu_io_jvs_read_coin_counter(uint16_t *count) {
    if (count == nullptr)
        return;
    // The word is loaded before the key is looked at, and changed only if no
    // other thread changed it meanwhile: a thread whose look at the key is
    // older than the last change that took effect looks again. So a press
    // counts once, however many threads count coins.
    std::atomic<uint32_t> &word = tevu.coins.word;
    uint32_t seen = word.load(std::memory_order_acquire);
    for (;;) {
        const bool down = plat_key_down(key_of(tevu.config.vk_coin));
        const bool was_down = (seen & coin_counter::key_down_bit) != 0;
        if (down == was_down)
            break;
        const uint32_t next = down ? (seen + coin_counter::one) | coin_counter::key_down_bit
                                   : seen & ~coin_counter::key_down_bit;
        if (word.compare_exchange_weak(seen, next, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
            seen = next;
            break;
        }
    }
    *count = static_cast<uint16_t>(seen / coin_counter::one);
}
