#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace linux_test {

temp_folder::temp_folder() {
    char pattern[] = "/tmp/tevuio-linux-XXXXXX";
    if (!mkdtemp(pattern)) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

temp_folder::~temp_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void temp_folder::write(const std::string &name, const std::string &text) const {
    std::ofstream out(file(name), std::ios::binary);
    out << text;
}

virtual_interface::virtual_interface(const std::string &socket_path) {
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long");
    }
    memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener_, 4) != 0) {
        throw std::runtime_error("bind/listen failed");
    }
}

virtual_interface::~virtual_interface() {
    if (connection_ >= 0) {
        close(connection_);
    }
    close(listener_);
}

bool virtual_interface::accept_connection() {
    pollfd fd{listener_, POLLIN, 0};
    if (poll(&fd, 1, 5000) != 1) {
        return false;
    }
    connection_ = accept(listener_, nullptr, nullptr);
    return connection_ >= 0;
}

bool virtual_interface::send(uint8_t kind, const std::vector<uint8_t> &report) {
    std::vector<uint8_t> message{kind};
    message.insert(message.end(), report.begin(), report.end());
    return ::send(connection_, message.data(), message.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(message.size());
}

bool virtual_interface::send_raw(const std::vector<uint8_t> &message) {
    return ::send(connection_, message.data(), message.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(message.size());
}

std::vector<uint8_t> virtual_interface::receive(int timeout_ms) {
    pollfd fd{connection_, POLLIN, 0};
    if (poll(&fd, 1, timeout_ms) != 1) {
        return {};
    }
    uint8_t buffer[256];
    ssize_t got = recv(connection_, buffer, sizeof buffer, 0);
    if (got <= 0) {
        return {};
    }
    return std::vector<uint8_t>(buffer, buffer + got);
}

void virtual_interface::hang_up() {
    if (connection_ >= 0) {
        close(connection_);
        connection_ = -1;
    }
}

scoped_env::scoped_env(const char *name, const char *value) : name_(name) {
    const char *old = getenv(name);
    had_ = old != nullptr;
    if (had_) {
        old_ = old;
    }
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

scoped_env::~scoped_env() {
    if (had_) {
        setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

std::vector<uint8_t> report9(uint8_t marker) {
    return {0x01, marker, 0x00, 0x00, 0x80, 0x80, 0x80, 0x80, marker};
}

std::vector<std::string> listed() {
    std::vector<std::string> lines;
    plat_list list = plat_hid_list_open();
    if (!list) {
        return lines;
    }
    static plat_hid_interface entry;
    for (uint32_t i = 0;; ++i) {
        plat_entry_result result = plat_hid_list_entry(list, i, &entry);
        if (result == PLAT_ENTRY_END) {
            break;
        }
        char numbers[32] = "skipped";
        if (result == PLAT_ENTRY_OK) {
            snprintf(numbers, sizeof numbers, "%04x %d ", static_cast<unsigned>(entry.vendor_id),
                     entry.interface_number);
        }
        lines.push_back(numbers + (result == PLAT_ENTRY_OK ? std::string(entry.path) : ""));
    }
    plat_hid_list_close(list);
    return lines;
}

bool wait_until(const std::function<bool()> &condition, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace linux_test
