// Slider LEDs and button lamps.
//
// tevu_io_slider_set_leds prepares the reports on the host's thread and never
// touches the device; the lighting thread is the only writer to the lighting
// interface. The three report buffers are handed over by their flags alone:
// the setter fills a buffer only while its flag is clear and then sets the flag
// (release); the thread loads the flag (acquire), sends the buffer and clears
// the flag (release).
//
// Order of a pass: the compressed flag is loaded first, then the pending
// halves are sent, then the compressed frame if it was flagged. The setter
// drops whole frames while a compressed frame is pending, so every half that
// is pending together with a compressed frame is older than it; sending the
// halves first means the controller always ends on the newest queued frame.
#include "tevuio/lighting.h"

#include "tevuio.h"
#include "tevuio/hid.h"
#include "tevuio/state.h"
#include "utils/lzf.h"

#include <cstring>

namespace {

constexpr uint8_t report_low_id = 0x04;
constexpr uint8_t report_high_id = 0x05;
constexpr uint8_t report_lamp_id = 0x06;
constexpr uint8_t report_feature_id = 0x0B;
constexpr uint8_t output_report_length = 49;
constexpr uint8_t feature_report_length = 64;
// Room for the LZF block inside the feature report (after ID and length).
constexpr uint32_t feature_block_room = 62;
constexpr int frame_bytes = 96;
constexpr int half_bytes = 48;
constexpr size_t led_count = 32;

constexpr uint8_t lamp_on = 0xFF;
constexpr uint8_t lamp_off = 0x00;
// Per lamp 0-3: the bit of the host's lamp-state byte (lit when set) and the
// bit of the controller's button word (lit when clear).
constexpr uint8_t lamp_host_bit[4] = {3, 6, 4, 7};
constexpr uint8_t lamp_button_bit[4] = {3, 0, 1, 2};

// A lamp write failed (controller gone): pause before the next pass.
constexpr uint32_t failed_write_pause_ms = 1;
// Stop waits without a limit, in slices of this length.
constexpr uint32_t stop_wait_slice_ms = 1000;

void update_lamp_levels() {
    const uint64_t address = config.lamp_state_address;
    if (address != 0) {
        // In a 32-bit process the byte lies at the low bits of the address.
        const volatile uint8_t *lamp_state =
            reinterpret_cast<const volatile uint8_t *>(static_cast<uintptr_t>(address));
        const uint8_t state = *lamp_state;
        for (int lamp = 0; lamp < 4; ++lamp)
            lamp_levels[lamp] = (state >> lamp_host_bit[lamp]) & 1u ? lamp_on : lamp_off;
    } else {
        const uint16_t buttons = latest_report.buttons.load(std::memory_order_acquire);
        for (int lamp = 0; lamp < 4; ++lamp)
            lamp_levels[lamp] = (buttons >> lamp_button_bit[lamp]) & 1u ? lamp_off : lamp_on;
    }
}

unsigned lighting_thread_proc(void *) {
    while (!lighting_stop.load(std::memory_order_acquire)) {
        const plat_file device = lighting_device.load(std::memory_order_acquire);
        if (device == nullptr)
            continue;

        update_lamp_levels();
        const bool lamp_write_failed =
            hid_write_padded_report(device, lamp_levels, report_lamp_id, 4) != 0;

        // Loaded before the halves: halves flagged now are older than a
        // compressed frame flagged now, and go out ahead of it.
        const bool feature = led_feature_pending.load(std::memory_order_acquire);
        if (led_low_dirty.load(std::memory_order_acquire)) {
            hid_write_report(device, led_report_low, report_low_id, output_report_length);
            led_low_dirty.store(false, std::memory_order_release);
        }
        if (led_high_dirty.load(std::memory_order_acquire)) {
            hid_write_report(device, led_report_high, report_high_id, output_report_length);
            led_high_dirty.store(false, std::memory_order_release);
        }
        if (feature) {
            hid_set_feature_report(device, led_feature_report, report_feature_id,
                                   feature_report_length);
            led_feature_pending.store(false, std::memory_order_release);
        }

        if (lamp_write_failed)
            plat_sleep_ms(failed_write_pause_ms);
    }
    return 0;
}

// Queues one half unless it is still pending. Returns false when the half
// was pending (and this frame's half is dropped).
bool queue_half(uint8_t *report, std::atomic<bool> &dirty, const uint8_t *half, bool force) {
    if (dirty.load(std::memory_order_acquire))
        return false;
    if (force || std::memcmp(report + 1, half, half_bytes) != 0) {
        std::memcpy(report + 1, half, half_bytes);
        dirty.store(true, std::memory_order_release);
    }
    return true;
}

} // namespace

void lighting_check_lamp_address() {
    const uint64_t address = config.lamp_state_address;
    if (address == 0)
        return;
    const uint64_t offset = address - plat_host_image_base();
    uint64_t image_size = 0;
    if (!plat_host_byte_readable(offset, &image_size)) {
        log_printf("hid_offset 0x%lx lies outside the host image (0x%lx bytes); lamps follow "
                   "the controller's buttons.\r\n",
                   static_cast<unsigned long>(offset), static_cast<unsigned long>(image_size));
        config.lamp_state_address = 0;
    }
}

void lighting_start_step() {
    if (lighting_device.load(std::memory_order_acquire) != nullptr && lighting_thread == nullptr)
        lighting_thread = plat_thread_start(lighting_thread_proc, nullptr);
}

void lighting_stop_step() {
    if (lighting_thread == nullptr)
        return;
    lighting_stop.store(true, std::memory_order_release);
    while (!plat_thread_wait(lighting_thread, stop_wait_slice_ms)) {
    }
    plat_thread_close(lighting_thread);
    lighting_thread = nullptr;
    lighting_stop.store(false, std::memory_order_release);
}

void tevu_io_slider_set_leds(const uint8_t *rgb) {
    if (lighting_device.load(std::memory_order_acquire) == nullptr ||
        led_feature_pending.load(std::memory_order_acquire))
        return;

    uint32_t block_length = feature_block_room;
    if (lzf_block_compress(rgb, frame_bytes, led_feature_report + 2, &block_length) == 0) {
        led_feature_report[1] = static_cast<uint8_t>(block_length);
        // The halves' record no longer matches what the controller shows.
        led_halves_stale = true;
        led_feature_pending.store(true, std::memory_order_release);
        return;
    }

    // Device order: device LED k is host LED 31 - k.
    for (size_t k = 0; k < led_count; ++k)
        std::memcpy(led_staging + 3 * k, rgb + 3 * (led_count - 1 - k), 3);

    // After a compressed frame both halves go out in full; the mark stays
    // until both halves of one frame could be queued.
    const bool force = led_halves_stale;
    const bool low_queued = queue_half(led_report_low, led_low_dirty, led_staging, force);
    const bool high_queued =
        queue_half(led_report_high, led_high_dirty, led_staging + half_bytes, force);
    if (low_queued && high_queued)
        led_halves_stale = false;
}
