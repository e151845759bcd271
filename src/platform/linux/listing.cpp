// The interface listing: virtual interfaces first (when TEVUIO_VIRTUAL_HID_DIR
// names a folder), then the hidraw devices hidapi enumerates, each with the
// vendor and interface numbers it was listed with.
#include "platform/linux/linux_internal.h"
#include "platform/virtual_hid.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

constexpr uint32_t max_listed = 128;

struct listed_interface {
    plat_hid_interface fields;
    bool fits; // the whole path is in fields.path
};

struct interface_list {
    listed_interface entries[max_listed];
    uint32_t count;
};

interface_list the_list;

// Adds an entry whose path is prefix + middle + rest. A path too long for
// plat_path_room is kept cut and marked, so that the walk skips it.
void list_add(int32_t vendor_id, int32_t interface, const char *prefix, const char *middle,
              const char *rest) {
    if (the_list.count >= max_listed) {
        return;
    }
    listed_interface &entry = the_list.entries[the_list.count++];
    entry.fields.vendor_id = vendor_id;
    entry.fields.interface_number = interface;
    int length = snprintf(entry.fields.path, plat_path_room, "%s%s%s", prefix, middle, rest);
    entry.fits = length >= 0 && static_cast<uint32_t>(length) < plat_path_room;
}

void list_real_devices() {
    hid_device_info *devices = hid_enumerate(0, 0);
    for (hid_device_info *info = devices; info; info = info->next) {
        list_add(info->vendor_id, info->interface_number, "hidraw:", "",
                 info->path ? info->path : "");
    }
    hid_free_enumeration(devices);
}

constexpr uint32_t max_virtual = 64;
constexpr size_t name_room = 256;

void list_virtual_devices() {
    const char *folder = getenv(VHID_DIR_ENV);
    if (!folder || !*folder || strlen(folder) >= plat_path_room) {
        return;
    }
    DIR *dir = opendir(folder);
    if (!dir) {
        return;
    }
    struct socket_name {
        char text[name_room];
        int32_t vendor_id;
        int32_t interface;
    };
    static socket_name names[max_virtual];
    uint32_t count = 0;
    char full[plat_path_room + 8];
    while (dirent *item = readdir(dir)) {
        socket_name read{};
        if (count >= max_virtual || strlen(item->d_name) >= name_room ||
            !vhid_parse_name(item->d_name, &read.vendor_id, &read.interface)) {
            continue;
        }
        snprintf(full, sizeof full, "%s/%s", folder, item->d_name);
        struct stat info;
        if (stat(full, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            continue;
        }
        // Insertion into a sorted list keeps the order stable between runs.
        uint32_t at = count;
        while (at > 0 && strcmp(names[at - 1].text, item->d_name) > 0) {
            names[at] = names[at - 1];
            --at;
        }
        snprintf(read.text, name_room, "%s", item->d_name);
        names[at] = read;
        ++count;
    }
    closedir(dir);
    char folder_slash[plat_path_room + 8];
    snprintf(folder_slash, sizeof folder_slash, "%s/", folder);
    for (uint32_t i = 0; i < count; ++i) {
        list_add(names[i].vendor_id, names[i].interface, VHID_PATH_PREFIX, folder_slash,
                 names[i].text);
    }
}

} // namespace

plat_list plat_hid_list_open() {
    the_list.count = 0;
    list_virtual_devices();
    list_real_devices();
    return &the_list;
}

plat_entry_result plat_hid_list_entry(plat_list list, uint32_t index, plat_hid_interface *entry) {
    if (list != &the_list || index >= the_list.count) {
        return PLAT_ENTRY_END;
    }
    const listed_interface &listed = the_list.entries[index];
    if (!listed.fits || !entry) {
        return PLAT_ENTRY_SKIP;
    }
    *entry = listed.fields;
    return PLAT_ENTRY_OK;
}

void plat_hid_list_close(plat_list) {}
