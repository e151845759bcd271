// Slider LEDs and button lamps: the lighting thread and its start and stop steps.
#ifndef TEVUIO_LIGHTING_H
#define TEVUIO_LIGHTING_H

#include "tevuio/config.h"

// Called by tevu_io_jvs_init on the loaded configuration before it takes
// effect: drops a lamp-state address that lies outside the host image, with a
// message.
void lighting_check_lamp_address(io_config &loaded);
// End of tevu_io_slider_start: starts the lighting thread when there is a
// lighting interface and no thread runs yet.
void lighting_start_step();
// End of tevu_io_slider_stop: stops the lighting thread and waits for it.
void lighting_stop_step();

#endif
