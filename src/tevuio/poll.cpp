// Operator and game buttons from the keyboard and the controller's button
// word, and the coin counter from the coin key.
#include "tevuio.h"

#include "tevuio/state.h"

namespace {

// Controller button word bits.
constexpr uint16_t word_button3 = 1u << 0;
constexpr uint16_t word_button2 = 1u << 1;
constexpr uint16_t word_button1 = 1u << 2;
constexpr uint16_t word_button4 = 1u << 3;
constexpr uint16_t word_service = 1u << 8;
constexpr uint16_t word_button5 = 1u << 9;
constexpr uint16_t word_test = 1u << 12;

constexpr uint8_t opbtn_test = 1u << 0;
constexpr uint8_t opbtn_service = 1u << 1;

} // namespace

void tevu_io_jvs_poll(uint8_t *opbtn, uint8_t *gamebtn) {
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
    const uint16_t word = latest_report.buttons.load(std::memory_order_acquire);
    if (word & word_test)
        op |= opbtn_test;
    if (word & word_service)
        op |= opbtn_service;
    if (word & word_button1)
        game |= 1u << 0;
    if (word & word_button2)
        game |= 1u << 1;
    if (word & word_button3)
        game |= 1u << 2;
    if (word & word_button4)
        game |= 1u << 3;
    if (word & word_button5)
        game |= 1u << 4;

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
    uint32_t state = coin_state.load(std::memory_order_acquire);
    for (;;) {
        const bool down = plat_key_down(key_of(config.vk_coin));
        const bool was_down = (state & coin_key_down_bit) != 0;
        if (down == was_down)
            break;
        const uint32_t next =
            down ? (state + coin_one) | coin_key_down_bit : state & ~coin_key_down_bit;
        if (coin_state.compare_exchange_weak(state, next, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
            state = next;
            break;
        }
    }
    *count = static_cast<uint16_t>(state / coin_one);
}
