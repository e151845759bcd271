// The interface listing: virtual interfaces first (when TEVUIO_VIRTUAL_HID_DIR
// names a folder), then the hidraw devices hidapi enumerates, each under a
// path the library's vendor and interface patterns match.
#include "platform/linux/linux_internal.h"
#include "platform/virtual_hid.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

constexpr uint32_t max_listed = 128;
constexpr uint32_t path_room = 1024; // the library's path buffer
constexpr uint32_t detail_header = 4;

struct listed_interface {
    char path[path_room];
    uint32_t length; // the full path's length, which may exceed what is kept
};

struct interface_list {
    listed_interface entries[max_listed];
    uint32_t count;
};

interface_list the_list;

// Adds an entry whose path is prefix + middle + rest. A path too long for the
// library's buffer is kept cut, with its real length, so that its detail size
// tells the library to skip it.
void list_add(const char *prefix, const char *middle, const char *rest) {
    if (the_list.count >= max_listed) {
        return;
    }
    listed_interface &entry = the_list.entries[the_list.count++];
    entry.length = static_cast<uint32_t>(strlen(prefix) + strlen(middle) + strlen(rest));
    if (snprintf(entry.path, sizeof entry.path, "%s%s%s", prefix, middle, rest) < 0) {
        entry.path[0] = '\0';
    } // a longer path is kept cut on purpose
}

void list_real_devices() {
    hid_device_info *devices = hid_enumerate(0, 0);
    for (hid_device_info *info = devices; info; info = info->next) {
        char identity[64];
        if (info->interface_number < 0) {
            snprintf(identity, sizeof identity, "hid#vid_%04x&pid_%04x#", info->vendor_id,
                     info->product_id);
        } else {
            snprintf(identity, sizeof identity, "hid#vid_%04x&pid_%04x&mi_%02x#", info->vendor_id,
                     info->product_id, static_cast<unsigned>(info->interface_number) & 0xFF);
        }
        list_add("hidraw:", identity, info->path ? info->path : "");
    }
    hid_free_enumeration(devices);
}

constexpr uint32_t max_virtual = 64;
constexpr size_t name_room = 256;

void list_virtual_devices() {
    const char *folder = getenv(VHID_DIR_ENV);
    if (!folder || !*folder || strlen(folder) >= path_room) {
        return;
    }
    DIR *dir = opendir(folder);
    if (!dir) {
        return;
    }
    static char names[max_virtual][name_room];
    uint32_t count = 0;
    char full[path_room + 8];
    while (dirent *item = readdir(dir)) {
        if (count >= max_virtual || strlen(item->d_name) >= name_room) {
            continue;
        }
        snprintf(full, sizeof full, "%s/%s", folder, item->d_name);
        struct stat info;
        if (stat(full, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            continue;
        }
        // Insertion into a sorted list keeps the order stable between runs.
        uint32_t at = count;
        while (at > 0 && strcmp(names[at - 1], item->d_name) > 0) {
            memcpy(names[at], names[at - 1], name_room);
            --at;
        }
        snprintf(names[at], name_room, "%s", item->d_name);
        ++count;
    }
    closedir(dir);
    char folder_slash[path_room + 8];
    snprintf(folder_slash, sizeof folder_slash, "%s/", folder);
    for (uint32_t i = 0; i < count; ++i) {
        list_add(VHID_PATH_PREFIX, folder_slash, names[i]);
    }
}

} // namespace

plat_list plat_hid_list_open() {
    the_list.count = 0;
    list_virtual_devices();
    list_real_devices();
    return &the_list;
}

bool plat_hid_list_entry(plat_list list, uint32_t index, uint32_t *detail_size) {
    if (list != &the_list || index >= the_list.count) {
        return false;
    }
    if (detail_size) {
        *detail_size = detail_header + the_list.entries[index].length + 1;
    }
    return true;
}

bool plat_hid_list_path(plat_list list, uint32_t index, char *path, uint32_t detail_size) {
    if (list != &the_list || index >= the_list.count || !path) {
        return false;
    }
    const listed_interface &entry = the_list.entries[index];
    if (entry.length + 1 > path_room || detail_size < detail_header + entry.length + 1) {
        return false;
    }
    memcpy(path, entry.path, entry.length + 1);
    return true;
}

void plat_hid_list_close(plat_list) {}
