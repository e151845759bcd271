// tevu-vctl's sockets: one per interface, published in the folder while the
// controller is plugged in. Input reports go out at the controller's pace; each
// light report a host writes is taken into the model and answered with an ACK
// carrying its sequence number, at the pace of the bus.
#include "platform/virtual_hid.h"
#include "vctl_tool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vctl_tool {

namespace {

void close_client(client &c) {
    if (c.fd >= 0) {
        close(c.fd);
        c.fd = -1;
    }
}

void send_ack(client &c) {
    uint8_t ack[vctl::ack_length];
    vctl::make_ack(c.ack_sequence, ack);
    if (send(c.fd, ack, sizeof ack, MSG_NOSIGNAL | MSG_DONTWAIT) !=
            static_cast<ssize_t>(sizeof ack) &&
        errno != EAGAIN) {
        // The host is gone; its hang-up closes the connection.
    }
    c.ack_pending = false;
}

// The host's write returns when the ACK arrives; the bus takes one report per
// slot.
void schedule_ack(vctl_state &s, interface_socket &is, client &c, uint8_t sequence) {
    const uint64_t now = now_ns();
    uint64_t due = now;
    if (s.opt.ack_rate > 0) {
        due = std::max(due, is.next_ack_ns);
        is.next_ack_ns = due + 1000000000ull / s.opt.ack_rate;
    }
    c.ack_pending = true;
    c.ack_sequence = sequence;
    c.ack_due_ns = due;
    if (due <= now) {
        send_ack(c);
    }
}

// A message from a host. Returns false when the connection ended.
bool take_message(vctl_state &s, interface_socket &is, client &c) {
    uint8_t message[256];
    const ssize_t n = recv(c.fd, message, sizeof message, MSG_DONTWAIT);
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR;
    }
    if (n == 0) {
        return false;
    }
    vctl::host_message m;
    const vctl::message_check check = vctl::read_host_message(message, static_cast<size_t>(n), &m);
    if (check != vctl::message_check::report) {
        s.model.reports_refused++;
        say(s, check == vctl::message_check::too_short
                   ? "ignored a message of " + std::to_string(n) + " byte(s) on the " + is.label +
                         " interface: too short for a sequence byte and a report"
                   : "unexpected message of kind 0x" + vctl::hex_bytes(message, 1) + " on the " +
                         is.label + " interface");
        return true;
    }
    take_host_report(s, m.kind, m.report, m.length);
    schedule_ack(s, is, c, m.sequence);
    return true;
}

void send_input_reports(vctl_state &s) {
    uint8_t message[1 + vctl::input_report_length];
    message[0] = VHID_INPUT;
    vctl::encode_input_report(s.model, message + 1);
    for (interface_socket &is : s.sockets) {
        if (!is.sends_input) {
            continue;
        }
        for (client &c : is.clients) {
            // A host that does not read loses reports, as with a full HID queue.
            if (send(c.fd, message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT) ==
                static_cast<ssize_t>(sizeof message)) {
                s.reports_sent++;
            }
        }
    }
}

void accept_host(vctl_state &s, interface_socket &is) {
    const int fd = accept4(is.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
        client c;
        c.fd = fd;
        is.clients.push_back(c);
        say(s, "host connected to the " + is.label + " interface");
    }
}

bool plan_sockets(vctl_state &s) {
    struct plan {
        const char *label;
        bool input;
        int interface; // -1: a single-interface device
    };
    std::vector<plan> plans;
    const std::string &kind = s.opt.interfaces;
    if (kind == "both" || kind == "input") {
        plans.push_back({"input", true, 0});
    }
    if (kind == "both" || kind == "lighting") {
        plans.push_back({"lighting", false, 1});
    }
    if (kind == "single") {
        plans.push_back({"single", true, -1});
    }
    for (const plan &p : plans) {
        char file[200];
        if (p.interface >= 0) {
            snprintf(file, sizeof file, VHID_NAME_COMPOSITE, s.opt.vid, s.opt.pid, p.interface,
                     s.opt.name.c_str());
        } else {
            snprintf(file, sizeof file, VHID_NAME_SINGLE, s.opt.vid, s.opt.pid, s.opt.name.c_str());
        }
        interface_socket is;
        is.label = p.label;
        is.sends_input = p.input;
        is.path = s.opt.dir + "/" + file;
        if (is.path.size() >= sizeof(sockaddr_un{}.sun_path)) {
            fprintf(stderr, "%s: socket path too long (%zu bytes, at most %zu): %s\n", program,
                    is.path.size(), sizeof(sockaddr_un{}.sun_path) - 1, is.path.c_str());
            return false;
        }
        s.sockets.push_back(is);
    }
    return true;
}

// A second instance would take over the first's sockets. The lock lasts as
// long as the process (the descriptor stays open); the kernel drops it however
// the process ends.
bool lock_folder(vctl_state &s) {
    const std::string &dir = s.opt.dir;
    const int fd = open((dir + "/tevu-vctl.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    if (errno == EWOULDBLOCK) {
        fprintf(stderr, "%s: another tevu-vctl is serving %s\n", program, dir.c_str());
    } else {
        fprintf(stderr, "%s: cannot lock the folder %s: %s\n", program, dir.c_str(),
                strerror(errno));
    }
    return false;
}

void withdraw_sockets(vctl_state &s) {
    for (interface_socket &is : s.sockets) {
        for (client &c : is.clients) {
            close_client(c);
        }
        is.clients.clear();
        if (is.listen_fd >= 0) {
            close(is.listen_fd);
            is.listen_fd = -1;
            struct stat now {};
            if (lstat(is.path.c_str(), &now) == 0 && now.st_dev == is.dev && now.st_ino == is.ino) {
                unlink(is.path.c_str());
            }
        }
    }
    s.plugged = false;
}

bool publish_sockets(vctl_state &s) {
    for (interface_socket &is : s.sockets) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            fprintf(stderr, "%s: socket: %s\n", program, strerror(errno));
            withdraw_sockets(s);
            return false;
        }
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, is.path.c_str(), is.path.size() + 1);
        // A socket left by an earlier run that was killed: the folder's lock
        // says no live instance serves it.
        unlink(is.path.c_str());
        struct stat bound {};
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            lstat(is.path.c_str(), &bound) != 0 || listen(fd, 8) != 0) {
            fprintf(stderr, "%s: cannot publish %s: %s\n", program, is.path.c_str(),
                    strerror(errno));
            close(fd);
            withdraw_sockets(s);
            return false;
        }
        is.listen_fd = fd;
        is.dev = bound.st_dev;
        is.ino = bound.st_ino;
    }
    s.plugged = true;
    return true;
}

void plug_sockets(vctl_state &s, bool plug) {
    if (plug && !s.plugged) {
        if (publish_sockets(s)) {
            say(s, "plugged in");
        }
    } else if (!plug && s.plugged) {
        withdraw_sockets(s);
        say(s, "unplugged");
    }
    s.display_dirty = true;
}

int count_clients(const vctl_state &s, bool input) {
    int n = 0;
    for (const interface_socket &is : s.sockets) {
        if (is.sends_input == input) {
            n += static_cast<int>(is.clients.size());
        }
    }
    return n;
}

uint64_t serve_sockets_due(vctl_state &s, uint64_t now, uint64_t wake) {
    if (input_report_due(s, now, &wake)) {
        send_input_reports(s);
    }
    for (interface_socket &is : s.sockets) {
        for (client &c : is.clients) {
            if (c.ack_pending && now >= c.ack_due_ns) {
                send_ack(c);
            } else if (c.ack_pending) {
                wake = std::min(wake, c.ack_due_ns);
            }
        }
    }
    return wake;
}

void watch_sockets(const vctl_state &s, poll_set *p) {
    for (size_t i = 0; i < s.sockets.size(); i++) {
        const interface_socket &is = s.sockets[i];
        if (is.listen_fd >= 0) {
            p->fds.push_back({is.listen_fd, POLLIN, 0});
            p->owners.push_back({static_cast<int>(i), poll_set::listener});
        }
        for (size_t j = 0; j < is.clients.size(); j++) {
            // A host waits for its ACK before it writes again.
            const short events = is.clients[j].ack_pending ? 0 : POLLIN;
            p->fds.push_back({is.clients[j].fd, events, 0});
            p->owners.push_back({static_cast<int>(i), static_cast<int>(j)});
        }
    }
}

void serve_sockets_ready(vctl_state &s, const poll_set &p) {
    std::vector<poll_set::owner> dropped;
    for (size_t k = 0; k < p.fds.size(); k++) {
        const poll_set::owner owner = p.owners[k];
        if (p.fds[k].revents == 0 || owner.client == poll_set::standard_input) {
            continue;
        }
        interface_socket &is = s.sockets[static_cast<size_t>(owner.socket)];
        if (owner.client == poll_set::listener) {
            accept_host(s, is);
            continue;
        }
        client &c = is.clients[static_cast<size_t>(owner.client)];
        bool alive = true;
        if (p.fds[k].revents & POLLIN) {
            alive = take_message(s, is, c);
        } else if (p.fds[k].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            alive = false;
        }
        if (!alive) {
            dropped.push_back(owner);
        }
    }
    // Remove closed connections, highest index first.
    for (auto it = dropped.rbegin(); it != dropped.rend(); ++it) {
        interface_socket &is = s.sockets[static_cast<size_t>(it->socket)];
        close_client(is.clients[static_cast<size_t>(it->client)]);
        is.clients.erase(is.clients.begin() + it->client);
        say(s, "host left the " + is.label + " interface");
    }
}

std::string socket_folder(const vctl_state &s) {
    return "in " + s.opt.dir;
}

} // namespace

const transport socket_transport = {
    plan_sockets,  lock_folder,       publish_sockets, withdraw_sockets,    plug_sockets,
    count_clients, serve_sockets_due, watch_sockets,   serve_sockets_ready, socket_folder,
};

bool input_report_due(vctl_state &s, uint64_t now, uint64_t *wake) {
    if (!s.plugged || s.silent || s.rate == 0) {
        return false;
    }
    const uint64_t period = 1000000000ull / s.rate;
    const bool due = now >= s.next_input_ns;
    if (due) {
        s.next_input_ns += period;
        // After a stall the pace starts again instead of sending a burst.
        if (s.next_input_ns + 20 * period < now) {
            s.next_input_ns = now + period;
        }
    }
    *wake = std::min(*wake, s.next_input_ns);
    return due;
}

void take_host_report(vctl_state &s, plat_report_kind kind, const uint8_t *report, size_t length) {
    if (s.log != nullptr) {
        fprintf(s.log, "%c %s\n", kind == PLAT_REPORT_OUTPUT ? 'O' : 'F',
                vctl::hex_bytes(report, length).c_str());
        fflush(s.log);
    }
    const std::string why = vctl::take_report(s.model, kind, report, length);
    if (why.empty()) {
        s.model.reports_taken++;
    } else {
        s.model.reports_refused++;
        say(s, "refused: " + why);
    }
    s.display_dirty = true;
}

} // namespace vctl_tool
