// placeholder until this part lands
#include "platform/platform.h"
#include <cstdio>
#include <cstdlib>
plat_list plat_hid_list_open() { return nullptr; }
bool plat_hid_list_entry(plat_list, uint32_t, uint32_t *) { return false; }
bool plat_hid_list_path(plat_list, uint32_t, char *, uint32_t) { return false; }
void plat_hid_list_close(plat_list) {}
plat_file plat_hid_open(const char *) { return PLAT_INVALID_FILE; }
uint32_t plat_hid_read(plat_file, uint8_t *, uint32_t) { return 0; }
bool plat_hid_write(plat_file, const uint8_t *, uint32_t) { return false; }
bool plat_hid_set_feature(plat_file, const uint8_t *, uint32_t) { return false; }
bool plat_hid_set_input_queue(plat_file, uint32_t) { return false; }
unsigned long plat_last_error() { return 0; }
bool plat_key_down(uint8_t) { return false; }
uint32_t plat_ini_uint(const char *, const char *, int32_t def, const char *) { return (uint32_t)def; }
uint64_t plat_host_image_base() { return 0; }
uint64_t plat_host_image_size() { return 0; }
plat_thread plat_thread_start(plat_thread_fn, void *) { return nullptr; }
bool plat_thread_wait(plat_thread, uint32_t) { return true; }
void plat_thread_cancel_io(plat_thread) {}
void plat_thread_close(plat_thread) {}
void plat_sleep_ms(uint32_t) {}
void plat_vprint(const char *format, va_list args) { vprintf(format, args); }
void plat_exit(int status) { exit(status); }
