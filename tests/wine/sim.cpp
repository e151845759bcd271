#include "sim.h"

#include <cstdio>
#include <string>

struct sim_interface {
    std::string name;
    HANDLE pipe = INVALID_HANDLE_VALUE; // replaced under write_lock
    HANDLE thread = nullptr;
    HANDLE connected_event = nullptr; // manual reset, set while a client is there
    HANDLE unplug_event = nullptr;    // manual reset, asks the serving thread to close the pipe
    HANDLE resume_event = nullptr;    // manual reset, clear while stalled
    HANDLE write_event = nullptr;
    CRITICAL_SECTION lock;
    CRITICAL_SECTION write_lock;
    sim_record record; // guarded by lock
    bool listed_when_unplugged = false;
};

namespace {

enum io_end { IO_DONE, IO_FAILED, IO_UNPLUGGED };

// Waits for an overlapped call on the pipe, or for an unplug, which cancels it.
io_end wait_io(sim_interface *s, OVERLAPPED *ov, DWORD *count) {
    HANDLE events[2] = {ov->hEvent, s->unplug_event};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(s->pipe, ov);
        GetOverlappedResult(s->pipe, ov, count, TRUE);
        return IO_UNPLUGGED;
    }
    return GetOverlappedResult(s->pipe, ov, count, FALSE) ? IO_DONE : IO_FAILED;
}

bool unplugged(sim_interface *s) {
    return WaitForSingleObject(s->unplug_event, 0) == WAIT_OBJECT_0;
}

// Records what one client writes until it leaves (IO_FAILED) or the
// interface is unplugged.
io_end serve_client(sim_interface *s, HANDLE event) {
    uint8_t buffer[4096];
    for (;;) {
        HANDLE wake[2] = {s->resume_event, s->unplug_event};
        if (WaitForMultipleObjects(2, wake, FALSE, INFINITE) != WAIT_OBJECT_0)
            return IO_UNPLUGGED;
        ResetEvent(event);
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD count = 0;
        if (!ReadFile(s->pipe, buffer, sizeof buffer, &count, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return IO_FAILED;
            const io_end end = wait_io(s, &ov, &count);
            if (end != IO_DONE)
                return end;
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

// The pipe is opened for overlapped I/O on this side, so the recording thread's
// pending read never holds up a write from the test's thread. One client at a
// time; when it leaves, the interface waits for the next one. On an unplug the
// pipe is disconnected and closed, so the client's calls fail.
DWORD WINAPI serve(void *arg) {
    sim_interface *s = static_cast<sim_interface *>(arg);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    while (!unplugged(s)) {
        ResetEvent(event);
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD ignored = 0;
        io_end end = IO_DONE;
        if (!ConnectNamedPipe(s->pipe, &ov)) {
            const DWORD err = GetLastError();
            if (err == ERROR_IO_PENDING)
                end = wait_io(s, &ov, &ignored);
            else if (err != ERROR_PIPE_CONNECTED)
                end = IO_FAILED;
        }
        if (end == IO_DONE) {
            SetEvent(s->connected_event);
            end = serve_client(s, event);
            ResetEvent(s->connected_event);
        }
        if (end == IO_UNPLUGGED)
            break;
        DisconnectNamedPipe(s->pipe);
        if (end == IO_FAILED && !unplugged(s))
            Sleep(1); // a pipe that cannot connect: do not spin
    }
    EnterCriticalSection(&s->write_lock);
    DisconnectNamedPipe(s->pipe);
    CloseHandle(s->pipe);
    s->pipe = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&s->write_lock);
    CloseHandle(event);
    return 0;
}

// Creates the pipe and starts its serving thread.
void plug(sim_interface *s) {
    ResetEvent(s->unplug_event);
    HANDLE pipe = CreateNamedPipeA(s->name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                   64, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "sim: cannot create %s (error %lu)\n", s->name.c_str(), GetLastError());
        return;
    }
    EnterCriticalSection(&s->write_lock);
    s->pipe = pipe;
    LeaveCriticalSection(&s->write_lock);
    s->thread = CreateThread(nullptr, 0, serve, s, 0, nullptr);
}

std::string listed_paths() {
    char value[8192];
    DWORD n = GetEnvironmentVariableA(SIM_ENV_PATHS, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

// Takes a path out of the listing; true when it was there.
bool unlist(const std::string &name) {
    std::string all = ";" + listed_paths() + ";";
    size_t at = all.find(";" + name + ";");
    if (at == std::string::npos)
        return false;
    all.erase(at, name.size() + 1);
    all = all.size() > 1 ? all.substr(1, all.size() - 2) : std::string();
    SetEnvironmentVariableA(SIM_ENV_PATHS, all.c_str());
    return true;
}

} // namespace

sim_interface *sim_open(const std::string &name) {
    sim_interface *s = new sim_interface;
    s->name = name;
    InitializeCriticalSection(&s->lock);
    InitializeCriticalSection(&s->write_lock);
    s->connected_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s->unplug_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s->resume_event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    s->write_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    plug(s);
    return s;
}

void sim_unplug(sim_interface *s) {
    s->listed_when_unplugged = unlist(s->name);
    SetEvent(s->unplug_event);
    if (s->thread != nullptr) {
        WaitForSingleObject(s->thread, INFINITE);
        CloseHandle(s->thread);
        s->thread = nullptr;
    }
}

void sim_plug(sim_interface *s) {
    plug(s);
    if (s->listed_when_unplugged) {
        const std::string all = listed_paths();
        SetEnvironmentVariableA(SIM_ENV_PATHS,
                                (all.empty() ? s->name : all + ";" + s->name).c_str());
    }
}

void sim_stall(sim_interface *s, bool stalled) {
    if (stalled)
        ResetEvent(s->resume_event);
    else
        SetEvent(s->resume_event);
}

bool sim_wait_connected(sim_interface *s, DWORD timeout_ms) {
    return WaitForSingleObject(s->connected_event, timeout_ms) == WAIT_OBJECT_0;
}

bool sim_wait_listening(sim_interface *s, DWORD timeout_ms) {
    // Returns once the pipe has an instance waiting in ConnectNamedPipe.
    return WaitNamedPipeA(s->name.c_str(), timeout_ms) != FALSE;
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
        ok = wait_io(s, &ov, &written) == IO_DONE;
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

DWORD sim_handle_count() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    // wine hands out the lowest free handle values, so the walk ends after a
    // long run of unused ones (each look is a server call: slow under qemu).
    for (uintptr_t value = 4, unused = 0; value < 0x40000 && unused < 4096; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            unused = 0;
        } else {
            ++unused;
        }
    }
    return count;
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

void sim_key(BYTE vk, bool down) {
    keybd_event(vk, 0, down ? 0 : KEYEVENTF_KEYUP, 0);
    wait_until(3000, [&] { return ((GetAsyncKeyState(vk) & 0x8000) != 0) == down; });
    // Other threads that asked just before may see the old state a while longer.
    Sleep(150);
}
