#include "tevuio/state.h"

#include <new>

tevuio_state tevu;

void live_config::publish(const io_config &loaded) {
    for (int i = 0; i < report::game_button_count; ++i)
        vk_button[i].store(loaded.vk_button[i], std::memory_order_relaxed);
    for (int i = 0; i < report::slider_key_count; ++i)
        vk_cell[i].store(loaded.vk_cell[i], std::memory_order_relaxed);
    vk_test.store(loaded.vk_test, std::memory_order_relaxed);
    vk_service.store(loaded.vk_service, std::memory_order_relaxed);
    vk_coin.store(loaded.vk_coin, std::memory_order_relaxed);
    lamp_state_address.store(loaded.lamp_state_address, std::memory_order_release);
}

void tevuio_state::reset() {
    // Every part states its own load-time value; make the object anew.
    this->~tevuio_state();
    new (this) tevuio_state();
}

void log_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    plat_vprint(format, args);
    va_end(args);
}
