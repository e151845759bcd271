// Slider LEDs and button lamps.
//
// tevu_io_slider_set_leds only hands the host's frame over: it copies the 96
// bytes into the triple buffer (state.h) and publishes them, replacing a frame
// that still waits, so it never blocks and the newest frame is never lost.
// The lighting thread is the only writer to the lighting interface. On each
// pass it sends the lamp report, takes the newest frame if there is a new one,
// and sends that frame whole: as the compressed feature report when it fits,
// else as the two halves in device order, each only when the controller may
// not show it yet. Both halves come from the one frame the thread holds, so
// the controller never keeps halves of two frames. A frame not sent whole (a
// write failed) is sent again on a later pass unless a newer one replaces it.
#include "tevuio/lighting.h"

#include "lzf/lzf.h"
#include "tevuio.h"
#include "tevuio/hid.h"
#include "tevuio/reports.h"
#include "tevuio/state.h"

#include <cstring>

namespace {

constexpr uint8_t lamp_on = 0xFF;
constexpr uint8_t lamp_off = 0x00;
// Per lamp 0-3: the bit of the host's lamp-state byte (lit when set) and the
// bit of the controller's button word (lit when clear).
constexpr uint8_t lamp_host_bit[report::lamp_count] = {3, 6, 4, 7};
constexpr uint8_t lamp_button_bit[report::lamp_count] = {3, 0, 1, 2};

// After a pass with a failed write (the device refused a report, or it is
// going away) the thread pauses this long before it tries again.
constexpr uint32_t failed_pass_pause_ms = 10;
// Writes that keep failing this long mean an interface that is gone, whatever
// the platform could tell: it is closed and looked for again.
constexpr uint64_t failing_interface_ms = 1000;
// While the lighting interface is missing and looked for: how often to look.
constexpr uint64_t lighting_search_interval_ms = 250;

void update_lamp_levels() {
    const uint64_t address = config.lamp_state_address.load(std::memory_order_acquire);
    if (address != 0) {
        // In a 32-bit process the byte lies at the low bits of the address.
        const volatile uint8_t *lamp_state =
            reinterpret_cast<const volatile uint8_t *>(static_cast<uintptr_t>(address));
        const uint8_t state = *lamp_state;
        for (int lamp = 0; lamp < report::lamp_count; ++lamp)
            lamp_levels[lamp] = (state >> lamp_host_bit[lamp]) & 1u ? lamp_on : lamp_off;
    } else {
        const uint16_t buttons = latest_report.buttons.load(std::memory_order_acquire);
        for (int lamp = 0; lamp < report::lamp_count; ++lamp)
            lamp_levels[lamp] = (buttons >> lamp_button_bit[lamp]) & 1u ? lamp_off : lamp_on;
    }
}

// Makes the newest frame the front one when the host has set one since.
void take_newest_frame() {
    if ((led_frames.newest.load(std::memory_order_acquire) & led_frame_fresh) == 0)
        return;
    const uint8_t newest = led_frames.newest.exchange(led_output.front, std::memory_order_acq_rel);
    led_output.front = newest & led_frame_index;
    led_output.have_frame = true;
    led_output.unsent = true;
}

// Sends one half unless the controller is known to show it.
plat_io_result send_half(plat_file lighting, uint8_t *report, uint8_t id, bool &known,
                         const uint8_t *half) {
    if (known && std::memcmp(report + 1, half, report::half_bytes) == 0)
        return PLAT_IO_DONE;
    std::memcpy(report + 1, half, report::half_bytes);
    const plat_io_result result = hid_write_report(lighting, report, id, report::output_length);
    known = result == PLAT_IO_DONE;
    return result;
}

// Sends the front frame whole. When a write did not go through, the frame
// stays unsent and goes again on a later pass.
plat_io_result send_frame(plat_file lighting) {
    const uint8_t *frame = led_frames.frames[led_output.front];
    uint32_t block_length = report::feature_block_room;
    if (lzf_block_compress(frame, report::frame_bytes, led_feature_report + 2, &block_length) ==
        0) {
        led_feature_report[1] = static_cast<uint8_t>(block_length);
        std::memset(led_feature_report + 2 + block_length, 0,
                    report::feature_block_room - block_length);
        // The halves' record no longer tells what the controller shows.
        led_output.low_known = false;
        led_output.high_known = false;
        const plat_io_result result = hid_set_feature_report(
            lighting, led_feature_report, report::feature_id, report::feature_length);
        if (result != PLAT_IO_DONE)
            return result;
    } else {
        uint8_t device_order[report::frame_bytes];
        report::frame_to_device_order(device_order, frame);
        plat_io_result result = send_half(lighting, led_report_low, report::led_low_id,
                                          led_output.low_known, device_order);
        if (result == PLAT_IO_DONE)
            result = send_half(lighting, led_report_high, report::led_high_id,
                               led_output.high_known, device_order + report::half_bytes);
        if (result != PLAT_IO_DONE)
            return result;
    }
    led_output.unsent = false;
    return PLAT_IO_DONE;
}

// Without a lighting interface: looks for one while a search is on (after
// the controller came back, or after the interface went away on its own),
// else sleeps until a search starts or stop wakes the thread.
void await_interface(uint64_t &next_search_ms) {
    const uint64_t until = device.lighting_search_until.load(std::memory_order_acquire);
    if (until == 0 || device.lost.load(std::memory_order_acquire)) {
        plat_wait(nullptr, plat_wait_forever);
        return;
    }
    const uint64_t now = plat_now_ms();
    if (now >= next_search_ms) {
        plat_file found = nullptr;
        if (hid_open_device(&found, TEVUIO_VENDOR_ID, device_lighting_interface, true) ==
            HID_OPENED) {
            device_replace(device.lighting, found);
            device.lighting_search_until.store(0, std::memory_order_release);
            return;
        }
        if (now >= until) {
            // Given up: lights stay off until the controller comes back.
            uint64_t expected = until;
            device.lighting_search_until.compare_exchange_strong(expected, 0,
                                                                 std::memory_order_acq_rel);
            return;
        }
        next_search_ms = now + lighting_search_interval_ms;
    }
    plat_wait(nullptr, static_cast<uint32_t>(next_search_ms - now));
}

// The lighting interface is gone while the controller stays: close it and
// look for it again.
void drop_interface(uint64_t &next_search_ms) {
    device_replace(device.lighting, nullptr);
    if (device.lost.load(std::memory_order_acquire))
        return;
    const uint64_t now = plat_now_ms();
    device.lighting_search_until.store(now + device_lighting_search_ms, std::memory_order_release);
    next_search_ms = now + lighting_search_interval_ms;
}

unsigned lighting_thread_proc(void *) {
    uint64_t next_search_ms = 0;
    uint64_t failing_since_ms = 0; // 0: the last pass's writes went through
    while (!lighting_stop.load(std::memory_order_acquire)) {
        uint32_t generation = 0;
        const plat_file lighting = device_acquire(device.lighting, &generation);
        if (!device_file_open(lighting)) {
            failing_since_ms = 0;
            await_interface(next_search_ms);
            continue;
        }
        if (generation != led_output.generation) {
            // A controller (re)connected: what it shows is unknown, so the
            // newest frame goes to it in full.
            led_output.generation = generation;
            led_output.low_known = false;
            led_output.high_known = false;
            led_output.unsent = led_output.have_frame;
        }

        update_lamp_levels();
        plat_io_result result =
            hid_write_padded_report(lighting, lamp_levels, report::lamp_id, report::lamp_count);
        // Stop, or a closer waiting for this handle, ends the pass here.
        if (result == PLAT_IO_DONE && !lighting_stop.load(std::memory_order_acquire) &&
            device.lighting.file.load(std::memory_order_acquire) == lighting) {
            take_newest_frame();
            if (led_output.unsent)
                result = send_frame(lighting);
        }
        device_release(device.lighting);

        if (result == PLAT_IO_DONE || result == PLAT_IO_CANCELLED) {
            failing_since_ms = 0; // a cancelled write needs no pause
            continue;
        }
        const uint64_t now = plat_now_ms();
        if (failing_since_ms == 0)
            failing_since_ms = now;
        if (result == PLAT_IO_GONE || now - failing_since_ms >= failing_interface_ms) {
            failing_since_ms = 0;
            drop_interface(next_search_ms);
        } else if (!lighting_stop.load(std::memory_order_acquire)) {
            plat_wait(nullptr, failed_pass_pause_ms);
        }
    }
    return 0;
}

} // namespace

void lighting_check_lamp_address(io_config &loaded) {
    const uint64_t address = loaded.lamp_state_address;
    if (address == 0)
        return;
    const uint64_t offset = address - plat_host_image_base();
    uint64_t image_size = 0;
    if (!plat_host_byte_readable(offset, &image_size)) {
        log_printf("hid_offset 0x%lx lies outside the host image (0x%lx bytes); lamps follow "
                   "the controller's buttons.\r\n",
                   static_cast<unsigned long>(offset), static_cast<unsigned long>(image_size));
        loaded.lamp_state_address = 0;
    }
}

void lighting_wake() {
    const plat_thread thread = lighting_thread.load(std::memory_order_acquire);
    if (thread != nullptr)
        plat_thread_wake(thread);
}

void lighting_start_step() {
    // A controller that was connected may get its lighting interface back
    // later, so the thread runs (and waits) without one.
    const bool wanted = device_file_open(device.lighting.file.load(std::memory_order_acquire)) ||
                        device.was_connected.load(std::memory_order_acquire);
    if (wanted && lighting_thread.load(std::memory_order_acquire) == nullptr) {
        const plat_thread thread = plat_thread_start(lighting_thread_proc, nullptr);
        lighting_thread.store(thread, std::memory_order_release);
    }
}

void lighting_stop_step() {
    const plat_thread thread = lighting_thread.load(std::memory_order_acquire);
    if (thread == nullptr)
        return;
    lighting_stop.store(true, std::memory_order_release);
    // A controller that takes no more reports leaves the thread in a write.
    device_end_user(device.lighting, thread);
    lighting_thread.store(nullptr, std::memory_order_release);
    lighting_stop.store(false, std::memory_order_release);
}

void tevu_io_slider_set_leds(const uint8_t *rgb) {
    // Without a controller found at init there is none to show the frame.
    if (!device_file_open(device.lighting.file.load(std::memory_order_acquire)) &&
        !device.was_connected.load(std::memory_order_acquire))
        return;
    std::memcpy(led_frames.frames[led_frames.back], rgb, report::frame_bytes);
    const uint8_t replaced =
        led_frames.newest.exchange(led_frames.back | led_frame_fresh, std::memory_order_acq_rel);
    led_frames.back = replaced & led_frame_index;
}
