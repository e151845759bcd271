// The version query and initialisation: configuration, the controller's input
// and lighting interfaces and the input queue depth.
#include "tevuio.h"

#include "tevuio/hid.h"
#include "tevuio/lighting.h"
#include "tevuio/state.h"

namespace {

// One of init's searches. A search that finds nothing counts towards the
// process-wide limit, and the third ends the process.
hid_search_result init_search(plat_file *handle, uint8_t interface) {
    const hid_search_result found =
        hid_open_device(tevu.device, handle, TEVUIO_VENDOR_ID, interface);
    if (found == HID_NOT_FOUND) {
        tevu.open_failure_count = static_cast<uint8_t>(tevu.open_failure_count + 1);
        if (tevu.open_failure_count > 2) {
            log_printf("Could not init device after multiple attempts. Exiting.\r\n");
            plat_exit(1);
        }
    }
    return found;
}

} // namespace

uint16_t tevu_io_get_api_version(void) {
    return 0x0100;
}

int32_t tevu_io_jvs_init(void) {
    io_config loaded;
    io_config_load(&loaded, TEVUIO_CONFIG_FILE);
    lighting_check_lamp_address(loaded);
    tevu.config.publish(loaded);

    device_state &device = tevu.device;
    // A search that finds nothing keeps the stored input handle; a found
    // interface that fails to open replaces it with the invalid handle.
    plat_file input = device.input.file.load(std::memory_order_acquire);
    const plat_file stored = input;
    uint8_t interface = device_input_interface;
    hid_search_result found = init_search(&input, interface);
    if (found != HID_OPENED) {
        interface = TEVUIO_ANY_INTERFACE;
        found = init_search(&input, interface);
    }
    if (input != stored)
        device_replace(device.input, input);
    if (found != HID_OPENED)
        return -1;

    plat_file lighting = nullptr;
    if (init_search(&lighting, device_lighting_interface) != HID_OPENED)
        lighting = nullptr;
    device_replace(device.lighting, lighting);
    device.lighting_search_until.store(0, std::memory_order_release);
    device.lost.store(false, std::memory_order_release);
    device.input_interface.store(interface, std::memory_order_release);
    device.was_connected.store(true, std::memory_order_release);
    lighting_wake();

    if (!plat_hid_set_input_queue(input, device_input_queue_depth)) {
        log_printf("Error %lu setnuminputbuff\r\n", plat_last_error());
        return -1;
    }
    return 0;
}

int32_t tevu_io_slider_init(void) {
    return 0;
}
