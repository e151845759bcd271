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

#include "tevuio.h"
#include "tevuio/hid.h"
#include "tevuio/log.h"
#include "tevuio/state.h"

#include <cstring>

namespace {

constexpr uint8_t lamp_on = 0xFF;
constexpr uint8_t lamp_off = 0x00;
// Per lamp 0-3: the bit of the host's lamp-state byte (lit when set); from
// the controller's button word, a lamp is lit while its button is released.
constexpr uint8_t lamp_host_bit[report::lamp_count] = {3, 6, 4, 7};

// No controller shows its lamps faster than its bus polls it, once a
// millisecond at the most: a pass that took less waits for the next tick, so
// a controller that takes reports at once is not flooded. A frame set
// meanwhile goes out on that next pass.
constexpr uint64_t pass_period_ms = 1;

// After a pass with a failed write (the device refused a report, or it is
// going away) the thread pauses this long before it tries again.
constexpr uint32_t failed_pass_pause_ms = 10;
// Writes that keep failing this long mean an interface that is gone, whatever
// the platform could tell: it is closed and looked for again.
constexpr uint64_t failing_interface_ms = 1000;

// The lamp report of this pass: from the host's lamp-state byte when one is
// configured, else from the controller's buttons.
void build_lamps(report::outgoing &out) {
    uint8_t levels[report::lamp_count];
    const uint64_t address = tevu.config.lamp_state_address.load(std::memory_order_acquire);
    if (address != 0) {
        // In a 32-bit process the byte lies at the low bits of the address.
        const volatile uint8_t *lamp_state =
            reinterpret_cast<const volatile uint8_t *>(static_cast<uintptr_t>(address));
        const uint8_t bits = *lamp_state;
        for (int lamp = 0; lamp < report::lamp_count; ++lamp)
            levels[lamp] = (bits >> lamp_host_bit[lamp]) & 1u ? lamp_on : lamp_off;
    } else {
        const uint16_t buttons = tevu.input.buttons.load(std::memory_order_acquire);
        for (int lamp = 0; lamp < report::lamp_count; ++lamp)
            levels[lamp] = (buttons >> report::lamp_button_bit(lamp)) & 1u ? lamp_off : lamp_on;
    }
    report::build_lamp_report(out, levels);
}

// Makes the newest frame the front one when the host has set one since.
void take_newest_frame(lighting_worker &lighting) {
    led_frame_exchange &frames = lighting.frames;
    led_output_record &output = lighting.output;
    if ((frames.newest.load(std::memory_order_acquire) & led_frame_exchange::fresh) == 0)
        return;
    const uint8_t newest = frames.newest.exchange(output.front, std::memory_order_acq_rel);
    output.front = newest & led_frame_exchange::index;
    output.have_frame = true;
    output.unsent = true;
}

// Sends one half (0: report 0x04, 1: report 0x05) unless the controller is
// known to show it.
plat_io_result send_half(plat_file lighting, led_output_record &output, int half,
                         const uint8_t *device_half) {
    if (output.known[half] && std::memcmp(output.shown[half], device_half, report::half_bytes) == 0)
        return PLAT_IO_DONE;
    report::outgoing out;
    report::build_led_half(out, half == 1, device_half);
    const plat_io_result result = hid_send_report(lighting, out);
    std::memcpy(output.shown[half], device_half, report::half_bytes);
    output.known[half] = result == PLAT_IO_DONE;
    return result;
}

// Sends the front frame whole. When a write did not go through, the frame
// stays unsent and goes again on a later pass.
plat_io_result send_frame(plat_file lighting, lighting_worker &worker) {
    led_output_record &output = worker.output;
    const uint8_t *frame = worker.frames.frames[output.front];
    report::outgoing feature;
    plat_io_result result;
    if (report::build_led_feature(feature, frame)) {
        // The halves' record no longer tells what the controller shows.
        output.known[0] = false;
        output.known[1] = false;
        result = hid_send_report(lighting, feature);
    } else {
        uint8_t device_order[report::frame_bytes];
        report::frame_to_device_order(device_order, frame);
        result = send_half(lighting, output, 0, device_order);
        if (result == PLAT_IO_DONE)
            result = send_half(lighting, output, 1, device_order + report::half_bytes);
    }
    if (result == PLAT_IO_DONE)
        output.unsent = false;
    return result;
}

// One pass with an open interface: the lamps, then the newest frame unless
// stop, or a closer waiting for this handle, ends the pass after the lamps.
plat_io_result lighting_pass(plat_file lighting, uint32_t generation) {
    lighting_worker &worker = tevu.lighting;
    led_output_record &output = worker.output;
    if (generation != output.generation) {
        // A controller (re)connected: what it shows is unknown, so the newest
        // frame goes to it in full.
        output.generation = generation;
        output.known[0] = false;
        output.known[1] = false;
        output.unsent = output.have_frame;
    }
    report::outgoing lamps;
    build_lamps(lamps);
    plat_io_result result = hid_send_report(lighting, lamps);
    if (result != PLAT_IO_CANCELLED && result != PLAT_IO_GONE &&
        !worker.stop.load(std::memory_order_acquire) &&
        tevu.device.lighting.file.load(std::memory_order_acquire) == lighting) {
        take_newest_frame(worker);
        if (output.unsent) {
            const plat_io_result sent = send_frame(lighting, worker);
            if (result == PLAT_IO_DONE)
                result = sent;
        }
    }
    return result;
}

// After a pass whose writes failed: a pause before the next try, or, when the
// interface is gone or its writes have failed for a second, its close and the
// search for it. *failing_since_ms: when the writes began to fail (0: they
// went through on the pass before).
void after_failed_pass(plat_io_result result, uint64_t *failing_since_ms, search_timer &timer) {
    const uint64_t now = plat_now_ms();
    if (*failing_since_ms == 0)
        *failing_since_ms = now;
    if (result == PLAT_IO_GONE || now - *failing_since_ms >= failing_interface_ms) {
        *failing_since_ms = 0;
        tevu.device.lighting_gone(timer);
    } else if (!tevu.lighting.stop.load(std::memory_order_acquire)) {
        plat_wait(nullptr, failed_pass_pause_ms);
    }
}

unsigned lighting_thread_proc(void *) {
    lighting_worker &worker = tevu.lighting;
    controller &device = tevu.device;
    device_slot &slot = device.lighting;
    search_timer timer;
    uint64_t failing_since_ms = 0; // 0: the last pass's writes went through
    // The pacer makes the 1 ms wait last about 1 ms where the system's timer is coarse.
    plat_pacer pacer;
    plat_pacer_open(&pacer);
    while (!worker.stop.load(std::memory_order_acquire)) {
        uint32_t generation = 0;
        const plat_file lighting = device_acquire(slot, &generation);
        if (!device_file_open(lighting)) {
            failing_since_ms = 0;
            device.await_lighting(timer);
            continue;
        }
        const uint64_t started_ms = plat_now_ms();
        const plat_io_result result = lighting_pass(lighting, generation);
        device_release(slot);

        if (result == PLAT_IO_DONE || result == PLAT_IO_CANCELLED) {
            failing_since_ms = 0; // a cancelled write needs no pause
            const uint64_t now = plat_now_ms();
            if (result == PLAT_IO_DONE && now < started_ms + pass_period_ms)
                plat_wait(&pacer, static_cast<uint32_t>(started_ms + pass_period_ms - now));
            continue;
        }
        after_failed_pass(result, &failing_since_ms, timer);
    }
    plat_pacer_close(&pacer);
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

void lighting_start_step() {
    // A controller that was connected may get its lighting interface back
    // later, so the thread runs (and waits) without one.
    device_slot &slot = tevu.device.lighting;
    if (tevu.device.lighting_wanted() && slot.user.load(std::memory_order_acquire) == nullptr)
        slot.user.store(plat_thread_start(lighting_thread_proc, nullptr),
                        std::memory_order_release);
}

void lighting_stop_step() {
    lighting_worker &worker = tevu.lighting;
    device_slot &slot = tevu.device.lighting;
    if (slot.user.load(std::memory_order_acquire) == nullptr)
        return;
    worker.stop.store(true, std::memory_order_release);
    // A controller that takes no more reports leaves the thread in a write.
    device_end_user(slot);
    worker.stop.store(false, std::memory_order_release);
}

void tevu_io_slider_set_leds(const uint8_t *rgb) {
    // Without a controller found at init there is none to show the frame.
    if (!tevu.device.lighting_wanted())
        return;
    led_frame_exchange &frames = tevu.lighting.frames;
    std::memcpy(frames.frames[frames.back], rgb, report::frame_bytes);
    const uint8_t replaced =
        frames.newest.exchange(frames.back | led_frame_exchange::fresh, std::memory_order_acq_rel);
    frames.back = replaced & led_frame_exchange::index;
}
