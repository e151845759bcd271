// The version query and initialisation: configuration, then the controller.
#include "tevuio.h"

#include "tevuio/lighting.h"
#include "tevuio/state.h"

uint16_t tevu_io_get_api_version(void) {
    return 0x0100;
}

int32_t tevu_io_jvs_init(void) {
    io_config loaded;
    io_config_load(&loaded, TEVUIO_CONFIG_FILE);
    lighting_check_lamp_address(loaded);
    tevu.config.publish(loaded);
    return tevu.device.open();
}

int32_t tevu_io_slider_init(void) {
    return 0;
}
