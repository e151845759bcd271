// The controller's life after init: its loss, the search for it and its
// return (on the slider thread), and the search for a lighting interface that
// is missing after a return or went away on its own (on the lighting thread).
#ifndef TEVUIO_PRESENCE_H
#define TEVUIO_PRESENCE_H

#include "platform/platform.h"

#include <cstdint>

// When the calling thread searches next; each thread keeps its own.
struct search_timer {
    uint64_t next_ms = 0;
    // Lighting interfaces that proved dead (gone, or the open failed) since
    // the thread started: the next search passes over as many matches, so
    // a dead interface the system still lists before a live one (wine keeps
    // such one after an unplug) is not taken again and again.
    uint32_t dead = 0;
};

// A read said the controller is gone: every input reads released at once,
// both interfaces are closed, one line is printed, and the search begins.
void presence_lost(search_timer &timer);
// While lost: searches when a search is due, else pauses one pass. When the
// controller is back its input is open again and the lighting thread is sent
// to look for its lighting interface.
void presence_while_lost(search_timer &timer, const plat_pacer *pacer);

// The lighting thread without an interface: looks for one while a search is
// on, else sleeps until a search starts or stop wakes the thread.
void presence_await_lighting(search_timer &timer);
// The lighting interface is gone while the controller stays: it is closed
// and looked for again.
void presence_lighting_gone(search_timer &timer);

#endif
