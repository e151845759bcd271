#!/usr/bin/env python3
"""tevu-vctl as a real USB gadget, seen from the host's side of the real stack
(hidraw, usbhid, dummy_hcd): input reports a second, report lengths, the light
reports reaching the model, what unplug and plug do (the library's own release
and reconnect times: tests/vm/usb_scenarios). Needs root and a USB device
controller, e.g. the VM:

    bash tests/vm/run.sh --timeout 300 -- python3 bench/gadget_probe.py build/linux
"""
import fcntl, os, select, subprocess, sys, threading, time

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/linux")
work = "/tmp/gadget-probe"
os.makedirs(work, exist_ok=True)


def nodes():
    """hidraw nodes of vendor 0f0d in /dev: {interface number: path}"""
    found = {}
    for name in os.listdir("/sys/class/hidraw"):
        try:  # a node that goes away meanwhile is not there
            with open(f"/sys/class/hidraw/{name}/device/uevent") as f:
                if "HID_ID=0003:00000F0D:" in f.read() and os.path.exists("/dev/" + name):
                    usb_interface = os.path.dirname(os.path.realpath(f"/sys/class/hidraw/{name}/device"))
                    found[int(usb_interface.rsplit(".", 1)[1])] = "/dev/" + name
        except OSError:
            pass
    return found


def wait_for(condition, limit=20.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.005)
    return condition()


class Lines:
    """A child's output lines with the time each arrived."""

    def __init__(self, stream):
        self.lines = []
        threading.Thread(target=self.pump, args=(stream,), daemon=True).start()

    def pump(self, stream):
        for line in stream:
            self.lines.append((time.monotonic(), line.decode(errors="replace").rstrip()))

    def when(self, text, after=0.0):
        for t, line in self.lines:
            if t >= after and text in line:
                return t
        return None


def start_vctl():
    p = subprocess.Popen([f"{build}/tools/tevu-vctl", "--gadget", "--script", "-", "--no-display",
                          "--log", f"{work}/reports.log"], stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    return p, Lines(p.stderr)


def say(p, line):
    p.stdin.write((line + "\n").encode())
    p.stdin.flush()


def ms(seconds):
    return f"{seconds * 1000:.0f} ms"


open(f"{work}/reports.log", "w").close()
vctl, vctl_err = start_vctl()
assert wait_for(lambda: len(nodes()) == 2), vctl_err.lines
hid = nodes()
print("nodes:", hid)

# Input reports reaching the host through the real stack.
fd = os.open(hid[0], os.O_RDONLY)
lengths, count, start = set(), 0, time.monotonic()
while time.monotonic() - start < 3:
    lengths.add(len(os.read(fd, 64)))
    count += 1
print(f"input: {count / (time.monotonic() - start):.0f} reports/s read from hidraw, lengths {lengths}")

# Light reports: output 0x04 0x05 0x06 by write, feature 0x0B by ioctl, then
# malformed ones; the log shows what the gadget read, the stderr what the model refused.
light = os.open(hid[1], os.O_RDWR)
set_feature = 0xC0000000 | (64 << 16) | (ord("H") << 8) | 0x06  # HIDIOCSFEATURE(64)
block = bytes([0x03, 0x7F, 0x23, 0x00, 0x00, 0xE0, 0x53, 0x00])  # LED 0 orange, the rest dark
sent = [bytes([0x04] + [0x11] * 48), bytes([0x05] + [0x22] * 48), bytes([0x06, 1, 2, 3, 4] + [0] * 44),
        bytes([0x0B, len(block)]) + block + bytes(62 - len(block)),  # the good ones
        bytes([0x04] + [0] * 9), bytes([0x07] + [0] * 48), bytes([0x0B, 63] + [0] * 62)]
for r in sent:
    written = fcntl.ioctl(light, set_feature, bytearray(r)) if r[0] == 0x0B else os.write(light, r)
    print(f"host {'feature' if r[0] == 0x0B else 'write'} 0x{r[0]:02x} ({len(r)} bytes): {written}")
time.sleep(0.5)
log = open(f"{work}/reports.log").read().splitlines()
print("the gadget read:", [f"{l[0]} {l[2:4]} ({len(l[2:].split())} bytes)" for l in log])
taken = [(l[0], bytes.fromhex(l[2:])) for l in log]
print("the four good ones arrived whole, of the right kind:",
      all((("F" if r[0] == 0x0B else "O"), r) in taken for r in sent[:4]))
print("refusals:", [line for _, line in vctl_err.lines if "refused" in line])

# Back to back: numbered lamp reports as fast as the host writes them; the
# function keeps only the latest SET_REPORT until the gadget reads it.
before = len(open(f"{work}/reports.log").read().splitlines())
start = time.monotonic()
for n in range(500):
    os.write(light, bytes([0x06, n & 0xFF, n >> 8, 0, 0] + [0] * 44))
took = time.monotonic() - start
time.sleep(0.5)
got = len(open(f"{work}/reports.log").read().splitlines()) - before
print(f"500 lamp reports back to back in {ms(took)}: the gadget read {got}")

# Unplug with the host's nodes open: what the host sees, and a write then.
t0 = time.monotonic()
say(vctl, "unplug")
assert wait_for(lambda: vctl_err.when("unplugged") is not None)
t_unbound = time.monotonic()
poll = select.poll()
poll.register(fd, select.POLLIN)
os.set_blocking(fd, False)
queued, read_result = 0, "nothing for 5 s"
while time.monotonic() - t_unbound < 5:
    events = poll.poll(100)
    try:
        os.read(fd, 64)
        queued += 1
    except BlockingIOError:
        continue
    except OSError as e:
        read_result = f"poll {events}, {e}"
        break
t_host = time.monotonic()
try:
    write_result = f"{os.write(light, sent[2])} bytes written"
except OSError as e:
    write_result = str(e)
print(f"unplug: vctl unbound after {ms(t_unbound - t0)}; the host read {queued} queued reports, "
      f"then {read_result} at {ms(t_host - t0)}; a write to the lighting node: {write_result}")
os.close(fd)
os.close(light)
assert wait_for(lambda: vctl_err.when("unplugged") is not None and not nodes())
t1 = time.monotonic()
say(vctl, "plug")
assert wait_for(lambda: len(nodes()) == 2)
print(f"plug: both hidraw nodes after {ms(time.monotonic() - t1)} (vctl's bind returned after "
      f"{ms(vctl_err.when('plugged in', t1) - t1)})")

vctl.terminate()
vctl.wait(10)
print("gadget removed at exit:", not os.path.exists("/sys/kernel/config/usb_gadget/tevu-vctl"))
print("\n".join(line for _, line in vctl_err.lines[-2:]))
