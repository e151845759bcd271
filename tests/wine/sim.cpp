#include "sim.h"

#include <cstdio>

struct sim_interface {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE connected_event = nullptr; // manual reset, set once the client is there
    HANDLE write_event = nullptr;
    CRITICAL_SECTION lock;
    CRITICAL_SECTION write_lock;
    sim_record record; // guarded by lock
};

namespace {

// The pipe is opened for overlapped I/O on this side, so the recording thread's
// pending read never holds up a write from the test's thread.
DWORD WINAPI serve(void *arg) {
    sim_interface *s = static_cast<sim_interface *>(arg);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov = {};
    ov.hEvent = event;
    DWORD ignored = 0;
    if (!ConnectNamedPipe(s->pipe, &ov)) {
        DWORD err = GetLastError();
        if (err == ERROR_IO_PENDING) {
            if (!GetOverlappedResult(s->pipe, &ov, &ignored, TRUE))
                return 1;
        } else if (err != ERROR_PIPE_CONNECTED) {
            return 1;
        }
    }
    SetEvent(s->connected_event);
    uint8_t buffer[4096];
    for (;;) {
        ResetEvent(event);
        ov = OVERLAPPED{};
        ov.hEvent = event;
        DWORD count = 0;
        if (!ReadFile(s->pipe, buffer, sizeof buffer, &count, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return 0; // client gone
            if (!GetOverlappedResult(s->pipe, &ov, &count, TRUE))
                return 0;
        }
        // Like a device on a USB interrupt endpoint, take about one report per
        // millisecond: the small inbound buffer then holds the writer back, as
        // a real write blocks until the device has taken the report.
        Sleep(1);
        bytes message(buffer, buffer + count);
        EnterCriticalSection(&s->lock);
        if (count > 0 && buffer[0] == 0x06) {
            s->record.lamp_count++;
            if (message != s->record.last_lamp) {
                s->record.messages.push_back(message);
                s->record.last_lamp = message;
            }
        } else {
            s->record.messages.push_back(message);
        }
        LeaveCriticalSection(&s->lock);
    }
}

} // namespace

sim_interface *sim_open(const std::string &name) {
    sim_interface *s = new sim_interface;
    InitializeCriticalSection(&s->lock);
    InitializeCriticalSection(&s->write_lock);
    s->connected_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s->write_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s->pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 64,
                               0, nullptr);
    if (s->pipe == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "sim: cannot create %s (error %lu)\n", name.c_str(), GetLastError());
        return s;
    }
    HANDLE thread = CreateThread(nullptr, 0, serve, s, 0, nullptr);
    if (thread != nullptr)
        CloseHandle(thread);
    return s;
}

bool sim_wait_connected(sim_interface *s, DWORD timeout_ms) {
    return WaitForSingleObject(s->connected_event, timeout_ms) == WAIT_OBJECT_0;
}

bool sim_connected(sim_interface *s) {
    return sim_wait_connected(s, 0);
}

bool sim_send(sim_interface *s, const bytes &message) {
    // The client may have opened the pipe an instant before this side's
    // thread noticed.
    if (!sim_wait_connected(s, 5000))
        return false;
    EnterCriticalSection(&s->write_lock);
    ResetEvent(s->write_event);
    OVERLAPPED ov = {};
    ov.hEvent = s->write_event;
    DWORD written = 0;
    bool ok = WriteFile(s->pipe, message.data(), static_cast<DWORD>(message.size()), &written, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(s->pipe, &ov, &written, TRUE);
    LeaveCriticalSection(&s->write_lock);
    return ok && written == message.size();
}

sim_record sim_snapshot(sim_interface *s) {
    EnterCriticalSection(&s->lock);
    sim_record copy = s->record;
    LeaveCriticalSection(&s->lock);
    return copy;
}

void sim_clear(sim_interface *s) {
    EnterCriticalSection(&s->lock);
    s->record = sim_record{};
    LeaveCriticalSection(&s->lock);
}

bytes sim_input_report(uint16_t buttons, uint32_t slider) {
    return bytes{0x01,
                 static_cast<uint8_t>(buttons),
                 static_cast<uint8_t>(buttons >> 8),
                 0x00,
                 static_cast<uint8_t>(slider),
                 static_cast<uint8_t>(slider >> 8),
                 static_cast<uint8_t>(slider >> 16),
                 static_cast<uint8_t>(slider >> 24),
                 0x00};
}

std::string sim_hex(const bytes &b) {
    std::string out;
    char two[4];
    for (uint8_t v : b) {
        snprintf(two, sizeof two, "%02x", v);
        out += two;
    }
    return out;
}

// Expands an LZF block; empty on a malformed one.
bytes sim_lzf_expand(const uint8_t *in, size_t length) {
    bytes out;
    size_t i = 0;
    while (i < length) {
        unsigned k = in[i++];
        if (k < 0x20) {
            if (i + k + 1 > length)
                return bytes();
            out.insert(out.end(), in + i, in + i + k + 1);
            i += k + 1;
            continue;
        }
        size_t run = k >> 5;
        if (run == 7) {
            if (i >= length)
                return bytes();
            run += in[i++];
        }
        if (i >= length)
            return bytes();
        size_t distance = ((k & 0x1f) << 8 | in[i++]) + 1;
        if (distance > out.size())
            return bytes();
        for (size_t n = 0; n < run + 2; ++n)
            out.push_back(out[out.size() - distance]);
    }
    return out;
}
