// placeholder until this part lands
#include "tevuio.h"
#include "tevuio/lighting.h"
void lighting_check_lamp_address() {}
void lighting_start_step() {}
void lighting_stop_step() {}
void tevu_io_slider_set_leds(const uint8_t *) {}
