// INI integers as the Windows reader gives them: the files to read and the
// answers kept. The reading rules are in ini_scan.cpp.
//
// One pass over the file answers every key of a fixed table (the keys the
// configuration loader asks for, plus any other key asked, while there is
// room); the answers are kept for the file's identity (device, inode, size,
// modification and change times), so the loader's seventeen reads scan the
// file once (a file changed within the clock tick of the scan is scanned
// again). The file is read in fixed chunks: no heap, any size. Names longer
// than name_room characters are never found.
#include "platform/linux/linux_internal.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace linux_platform;

namespace {

struct file_identity {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;
};

bool same_identity(const file_identity &a, const file_identity &b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

// The answers of the last file scanned, for its identity, covering the first
// `covered` queries of the table.
struct ini_cache {
    bool valid;
    file_identity identity;
    int covered;
    ini_answer answers[max_queries];
};

// The reader's state, all guarded by lock: the queries one scan answers (the
// configuration loader's keys first), the answers kept, and the scan's read
// buffer.
struct ini_reader {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    ini_query queries[max_queries] = {};
    int query_count = 0;
    ini_cache cache = {};
    ini_chunk chunk = {};
};
ini_reader ini;

void add_query(const char *section, const char *key) {
    ini.queries[ini.query_count].section = asked_name(section);
    ini.queries[ini.query_count].key = asked_name(key);
    ++ini.query_count;
}

void seed_queries() {
    add_query("tevuio", "hid_offset");
    add_query("io3", "test");
    add_query("io3", "service");
    add_query("io3", "coin");
    const char *const buttons[] = {"key1", "key2", "key3", "key4", "key5"};
    for (const char *key : buttons) {
        add_query("buttons", key);
    }
    const char *const cells[] = {"cell1", "cell2", "cell3", "cell4",
                                 "cell5", "cell6", "cell7", "cell8"};
    for (const char *key : cells) {
        add_query("slider", key);
    }
}

// The index of a query in the table, added when there is room; -1 otherwise.
int query_index(const ini_name &section, const ini_name &key) {
    if (ini.query_count == 0) {
        seed_queries();
    }
    for (int i = 0; i < ini.query_count; ++i) {
        const ini_query &q = ini.queries[i];
        if (q.section.length == section.length && q.key.length == key.length &&
            memcmp(q.section.text, section.text, section.length) == 0 &&
            memcmp(q.key.text, key.text, key.length) == 0) {
            return i;
        }
    }
    if (ini.query_count == max_queries) {
        return -1;
    }
    ini.queries[ini.query_count] = ini_query{section, key};
    return ini.query_count++;
}

// Opens a regular file without blocking on a FIFO or a device; -1 otherwise.
int open_regular(const char *file_name, file_identity *identity) {
    char path[4096];
    snprintf(path, sizeof path, "%s", file_name);
    for (char *c = path; *c; ++c) {
        if (*c == '\\') {
            *c = '/';
        }
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    *identity = file_identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
    return fd;
}

uint32_t read_ini_integer(const char *section, const char *key, int32_t def,
                          const char *file_name) {
    file_identity identity;
    int fd = open_regular(file_name, &identity);
    if (fd < 0) {
        return static_cast<uint32_t>(def);
    }
    const ini_name section_name = asked_name(section);
    const ini_name key_name = asked_name(key);
    pthread_mutex_lock(&ini.lock);
    int index = query_index(section_name, key_name);
    uint32_t value;
    if (index < 0) {
        // The table is full: a scan of its own for this query.
        ini_query single{section_name, key_name};
        ini_answer answer;
        ini_scan_file(fd, &single, &answer, 1, ini.chunk);
        value = ini_answer_value(answer, def);
    } else {
        ini_cache &cache = ini.cache;
        if (!cache.valid || index >= cache.covered || !same_identity(cache.identity, identity)) {
            // File times come from the kernel's coarse clock: a file changed
            // in the current tick could change again, at the same size, with
            // the same times. Its answers are used for this read only.
            timespec now;
            clock_gettime(CLOCK_REALTIME_COARSE, &now);
            ini_scan_file(fd, ini.queries, cache.answers, ini.query_count, ini.chunk);
            cache.valid =
                identity.changed.tv_sec < now.tv_sec ||
                (identity.changed.tv_sec == now.tv_sec && identity.changed.tv_nsec < now.tv_nsec);
            cache.identity = identity;
            cache.covered = ini.query_count;
        }
        value = ini_answer_value(cache.answers[index], def);
    }
    pthread_mutex_unlock(&ini.lock);
    close(fd);
    return value;
}

} // namespace

uint32_t plat_ini_uint(const char *section, const char *key, int32_t def, const char *file_name) {
    if (!section || !key || !file_name) {
        return static_cast<uint32_t>(def);
    }
    return read_ini_integer(section, key, def, file_name);
}
