// The version query and initialisation: configuration, the controller's input
// and lighting interfaces, the report IDs and the input queue depth.
#include "tevuio.h"

#include "tevuio/hid.h"
#include "tevuio/lighting.h"
#include "tevuio/state.h"

namespace {

constexpr uint8_t input_interface = 0;
constexpr uint8_t lighting_interface = 1;
// Queued input reports: the read asks for two and keeps the newer.
constexpr uint32_t input_queue_depth = 2;

} // namespace

uint16_t tevu_io_get_api_version(void) {
    return 0x0100;
}

int32_t tevu_io_jvs_init(void) {
    io_config_load(&config, TEVUIO_CONFIG_FILE);
    lighting_check_lamp_address();

    // A search that finds nothing leaves the handle as it was; a found
    // interface that fails to open leaves the invalid handle.
    plat_file input = input_device.load(std::memory_order_acquire);
    int found = hid_open_device(&input, TEVUIO_VENDOR_ID, input_interface);
    input_device.store(input, std::memory_order_release);
    if (found != 0) {
        found = hid_open_device(&input, TEVUIO_VENDOR_ID, TEVUIO_ANY_INTERFACE);
        input_device.store(input, std::memory_order_release);
        if (found != 0)
            return -1;
    }

    plat_file lighting = nullptr;
    if (hid_open_device(&lighting, TEVUIO_VENDOR_ID, lighting_interface) != 0)
        lighting = nullptr;
    lighting_device.store(lighting, std::memory_order_release);

    led_report_low[0] = 0x04;
    led_report_high[0] = 0x05;
    led_feature_report[0] = 0x0B;

    if (!plat_hid_set_input_queue(input, input_queue_depth)) {
        log_printf("Error %lu setnuminputbuff\r\n", plat_last_error());
        return -1;
    }
    return 0;
}

int32_t tevu_io_slider_init(void) {
    return 0;
}
