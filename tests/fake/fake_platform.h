// A fake operating system for the library's logic tests: scripted HID
// interfaces, keys, INI values and host image, with real threads.
#ifndef TEVUIO_FAKE_PLATFORM_H
#define TEVUIO_FAKE_PLATFORM_H

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fake {

// One listed interface.
struct entry {
    std::string path;
    // What the walk gives at this entry: the entry (OK; a path that does not
    // fit plat_path_room is skipped), SKIP, or END (the walk stops here).
    plat_entry_result walk = PLAT_ENTRY_OK;
    bool open_fails = false;
    unsigned long open_error = 5; // error code when the open fails
};

// What a read on a device does when its queue of scripted reads is empty.
enum class when_empty {
    fail,  // the device is gone: the read says so at once
    block, // block until a read is scripted or the read is cancelled
};

struct sent_report {
    plat_report_kind kind;
    std::vector<uint8_t> bytes;
};

// Resets everything: no list entries, all keys up, no INI values, no devices.
void reset();

void set_list_unavailable(bool unavailable);
void add_entry(const entry &e);
void add_entry(const std::string &path);

// Open handles are numbered in open order from 0; device(n) names the n-th.
int open_count();
// Paths opened so far, in order.
std::vector<std::string> opened_paths();

// Scripted reads on the n-th opened device: each push is what one read
// returns (its bytes; an empty vector says the device is gone; more bytes than
// the read has room for are dropped).
void push_read(int device, const std::vector<uint8_t> &bytes);
void set_when_empty(int device, when_empty mode);
// The mode of devices opened from now on (fail until set).
void set_default_when_empty(when_empty mode);
// A function that answers every read of the device instead of the script:
// it fills buffer (room bytes) and returns the count (0 = the device is gone).
void set_reader(int device, std::function<uint32_t(uint8_t *buffer, uint32_t room)> reader);
// Reads made so far on the device, and the room each asked for.
int read_calls(int device);
std::vector<uint32_t> read_rooms(int device);
// Whether a read of the device is blocked now.
bool read_blocked(int device);

// Reports written to the device (output and feature), in order.
std::vector<sent_report> sent(int device);
void clear_sent(int device);
// Make every write on the device fail (and count the failures).
void set_write_fails(int device, bool fails);
// Writes on the device block until this is cleared or the writer's I/O is
// cancelled (then they fail).
void set_write_blocks(int device, bool blocks);
// Unplugs the device: its blocked and later reads say it is gone, its writes fail.
void set_gone(int device);
// Takes listed entries whose path contains part off the list.
void remove_entries(const std::string &part);
// Closes of the device so far, opened devices not closed yet, and reads or
// writes made on a closed device (any is a fault).
int close_count(int device);
int open_handles();
int uses_after_close_count();
// Interface lists taken so far (one per search).
int list_opens();
// Called for every write or feature report on any device, on the writer's
// thread, before the write returns.
void set_write_hook(
    std::function<void(int device, plat_report_kind kind, const uint8_t *report, uint32_t length)>
        hook);

// Queue-depth calls: the depth asked for last (0 if never), and refusal.
uint32_t input_queue_depth(int device);
void refuse_input_queue(unsigned long error_code);

void set_key(uint8_t vk, bool down);

// INI values by section and key (matched case-insensitively); missing keys
// give the default. Every lookup is recorded with the file name.
void set_ini(const std::string &section, const std::string &key, uint32_t value);
void clear_ini();
std::vector<std::string> ini_lookups(); // "file|section|key|default"

void set_image(uint64_t base, uint64_t size);

// Text printed through the platform so far, and clearing it.
std::string output();
void clear_output();

// Thread starts so far, and making them fail.
int threads_started();
void set_thread_start_fails(bool fails);
// Pacers open now (the slider thread holds one while it runs).
int pacers_open();
// Waits of 1 ms with a pacer, by any thread.
int paced_waits();
// Sleeps and waits requested through the platform, in all and by one thread.
int sleeps();
int thread_sleeps(plat_thread thread);

// Waits until the condition holds, yielding between looks; false when it
// still does not hold after a generous bound (a hang, not a slow machine).
bool wait_until(const std::function<bool()> &condition);

} // namespace fake

#endif
