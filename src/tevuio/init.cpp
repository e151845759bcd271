// placeholder until this part lands
#include "tevuio.h"
uint16_t tevu_io_get_api_version(void) { return 0x0100; }
int32_t tevu_io_jvs_init(void) { return -1; }
void tevu_io_jvs_poll(uint8_t *, uint8_t *) {}
void tevu_io_jvs_read_coin_counter(uint16_t *) {}
int32_t tevu_io_slider_init(void) { return 0; }
void tevu_io_slider_start(tevu_io_slider_callback_t) {}
void tevu_io_slider_stop(void) {}
