// Helpers of the backend's tests: temporary folders, a served virtual
// interface socket, the listing as text and reads on threads of their own.
#ifndef TEVUIO_TESTS_LINUX_SUPPORT_H
#define TEVUIO_TESTS_LINUX_SUPPORT_H

#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace linux_test {

// A fresh folder under /tmp, removed with its contents when the object goes.
class temp_folder {
  public:
    temp_folder();
    ~temp_folder();
    temp_folder(const temp_folder &) = delete;
    temp_folder &operator=(const temp_folder &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    void write(const std::string &name, const std::string &text) const;

  private:
    std::string path_;
};

// The controller's side of one virtual interface: a listening SOCK_SEQPACKET
// socket and the one connection the backend makes to it.
class virtual_interface {
  public:
    explicit virtual_interface(const std::string &socket_path);
    ~virtual_interface();
    virtual_interface(const virtual_interface &) = delete;
    virtual_interface &operator=(const virtual_interface &) = delete;
    // Waits (at most a few seconds) for the backend to connect.
    bool accept_connection();
    bool send(uint8_t kind, const std::vector<uint8_t> &report);
    // One message of exactly these bytes (no kind byte added).
    bool send_raw(const std::vector<uint8_t> &message);
    // Next message from the backend, kind byte included; empty on timeout.
    std::vector<uint8_t> receive(int timeout_ms = 3000);
    // Plays an unplugged device.
    void hang_up();

  private:
    int listener_ = -1;
    int connection_ = -1;
};

// The environment variable, set for the life of the object.
class scoped_env {
  public:
    scoped_env(const char *name, const char *value);
    ~scoped_env();

  private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

std::vector<uint8_t> report9(uint8_t marker);

// One listing, an entry a line: "<vendor> <interface> <path>" (vendor in
// four hex digits), or "skipped".
std::vector<std::string> listed();

// Polls the condition every millisecond for at most timeout_ms.
bool wait_until(const std::function<bool()> &condition, int timeout_ms = 5000);

// Closes every handle the backend has opened (a test that fails midway
// leaves some open). Defined beside the backend's internals in
// test_internals.cpp.
void release_backend_handles();

// A read on a thread of its own: start it with start_blocked_read, or with
// plat_thread_start(run_read, &read).
struct threaded_read {
    threaded_read(plat_file f, uint32_t r) : file(f), room(r) {}
    plat_file file;
    uint32_t room;
    std::atomic<bool> started{false};         // about to enter the read
    std::atomic<bool> done{false};            // the read has returned
    std::atomic<uint32_t> result{0xFFFFFFFF}; // the count, 0 unless data came
    std::atomic<int> status{-1};
    uint8_t buffer[64] = {};
};

inline unsigned run_read(void *raw) {
    auto *read = static_cast<threaded_read *>(raw);
    read->started.store(true, std::memory_order_release);
    uint32_t count = 0;
    plat_io_result status = plat_hid_read(read->file, read->buffer, read->room, &count);
    read->result.store(count, std::memory_order_release);
    read->status.store(status, std::memory_order_release);
    read->done.store(true, std::memory_order_release);
    return 0;
}

// Starts the read and returns once it has had time to block (nullptr when no
// thread could be started).
inline plat_thread start_blocked_read(threaded_read &read) {
    plat_thread thread = plat_thread_start(run_read, &read);
    if (thread && wait_until([&read] { return read.started.load(); })) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return thread;
}

} // namespace linux_test

#endif
