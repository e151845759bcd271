// The connection to the controller: one object that owns its two interfaces
// and its link state, and the only code that changes them.
//
// The link goes from none to connected when init opens the controller, from
// connected to lost when the slider thread's read says it is gone, and back
// to connected when the slider thread's search finds it (or a new init opens
// it). Init, the slider thread and the lighting thread call the operations
// below; none of them keeps a flag of its own about the controller.
//
//   none --open--> connected --lose--> lost --search_while_lost--> connected
//
// A lighting interface may be missing while the link is connected (after a
// return, or when it went away on its own): the lighting thread looks for it
// for a while (await_lighting), and sleeps while there is nothing to look for.
#ifndef TEVUIO_CONTROLLER_H
#define TEVUIO_CONTROLLER_H

#include "platform/platform.h"
#include "tevuio/device.h"
#include "tevuio/hid.h"

#include <atomic>
#include <cstdint>

#define TEVUIO_VENDOR_ID 0x0F0D

// The controller's interfaces: input reports come on interface 0 (or, for a
// controller without interface numbers, on its only one), lights go to 1.
constexpr uint8_t device_input_interface = 0;
constexpr uint8_t device_lighting_interface = 1;
// Input reports queued at most: a read asks for two and keeps the newer.
constexpr uint32_t device_input_queue_depth = 2;

enum class link : uint8_t {
    none,      // no init has opened the controller
    connected, // opened by init or found again after a loss
    lost,      // gone: both interfaces closed, the slider thread searches
};

// When the calling thread searches next; each thread keeps its own.
struct search_timer {
    uint64_t next_ms = 0;
    // Lighting interfaces that proved dead (gone, or the open failed) since
    // the thread started: the next search passes over as many matches, so
    // a dead interface the system still lists before a live one (wine keeps
    // such one after an unplug) is not taken again and again.
    uint32_t dead = 0;
};

struct controller {
    device_slot input;    // interface 0 (or any): the slider thread reads it
    device_slot lighting; // interface 1: the lighting thread writes it
    std::atomic<link> state{link::none};
    // The interface init's successful search asked for (0, or any): a search
    // for a lost controller asks for the same.
    std::atomic<uint8_t> input_interface{device_input_interface};
    // Until this time (0: not at all) the lighting thread looks for a lighting
    // interface it lacks. Kept here so that a stop and start of the threads
    // does not end the search.
    std::atomic<uint64_t> lighting_search_until{0};
    // The searches of init and both threads take turns.
    hid_search_turn search_turn;
    // Init's searches that found nothing, process-wide, never reset (the
    // third one ends the process). Other searches do not count. Init's thread only.
    uint8_t open_failure_count = 0;

    // Init: opens the input interface (0, else any), then the lighting one,
    // and the link is connected; sets the input queue. 0, or -1 when no input
    // interface opened or the queue was refused (with a line).
    int32_t open();
    // The slider thread, on a read that says the controller is gone (the
    // caller has released the inputs): both interfaces are closed, one line
    // is printed, the link is lost and the search begins.
    void lose(search_timer &timer);
    // The slider thread while lost: searches when a search is due, else
    // pauses one pass. When the controller is back its input is open again,
    // the link is connected, and the lighting thread looks for its interface.
    void search_while_lost(search_timer &timer, const plat_pacer *pacer);

    // The lighting thread without an interface: looks for one while a search
    // is on, else sleeps until one starts or stop wakes the thread.
    void await_lighting(search_timer &timer);
    // The lighting interface is gone while the controller stays: it is closed
    // and looked for again.
    void lighting_gone(search_timer &timer);

    // Whether the lighting thread has work, now or later: a lighting
    // interface is open, or init found the controller (its lighting interface
    // may come back).
    bool lighting_wanted() const;
    link link_state() const { return state.load(std::memory_order_acquire); }
};

#endif
