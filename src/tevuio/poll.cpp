// Operator and game buttons from the keyboard and the controller's button
// word, and the coin counter from the coin key.
#include "tevuio.h"

#include "tevuio/state.h"

namespace {

constexpr uint8_t opbtn_test = 1u << 0;
constexpr uint8_t opbtn_service = 1u << 1;

bool pressed(uint16_t word, uint8_t bit) {
    return ((word >> bit) & 1u) != 0;
}

} // namespace

void tevu_io_jvs_poll(uint8_t *opbtn, uint8_t *gamebtn) {
    const live_config &config = tevu.config;
    // One load, so a poll sees either the old or the new word. A button reads
    // pressed when its key or the controller presses it.
    const uint16_t word = tevu.input.buttons.load(std::memory_order_acquire);
    uint8_t op = 0;
    if (plat_key_down(key_of(config.vk_test)) || pressed(word, report::button_bit_test))
        op |= opbtn_test;
    if (plat_key_down(key_of(config.vk_service)) || pressed(word, report::button_bit_service))
        op |= opbtn_service;

    // gamebtn bit i is game button i + 1.
    uint8_t game = 0;
    for (int i = 0; i < report::game_button_count; ++i)
        if (plat_key_down(key_of(config.vk_button[i])) || pressed(word, report::game_button_bit[i]))
            game |= static_cast<uint8_t>(1u << i);

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
