// Helpers of the backend's tests: temporary folders and a served virtual
// interface socket.
#ifndef TEVUIO_TESTS_LINUX_SUPPORT_H
#define TEVUIO_TESTS_LINUX_SUPPORT_H

#include <cstdint>
#include <string>
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

// Closes every handle the backend has opened and frees its slots (the
// backend itself never closes one; a test process opens many). Defined
// beside the backend's internals in test_internals.cpp.
void release_backend_handles();

} // namespace linux_test

#endif
