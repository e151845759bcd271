// Virtual HID interfaces for Linux: a program that plays a controller (the
// virtual controller in tools/) publishes each of its interfaces as a Unix
// socket in the folder named by TEVUIO_VIRTUAL_HID_DIR. Without that variable
// the Linux backend lists real devices only.
//
// Socket: SOCK_SEQPACKET, one message per report. Its file name says what it is:
//   "<vendor>-<product>-<interface>.<name>"  an interface of a composite device
//   "<vendor>-<product>.<name>"              a single-interface device
// with vendor and product as four lower-case hex digits and the interface as
// two, e.g. "0f0d-7001-01.tevu-vctl". The backend lists it under the path
// "virtual:" + the socket's full path, with the vendor and interface read
// from the name.
//
// Messages, first byte the kind:
//   controller -> host  VHID_INPUT   + the input report (its ID first)
//   host -> controller  VHID_OUTPUT  + sequence byte + an output report (its ID first)
//   host -> controller  VHID_FEATURE + sequence byte + a feature report (its ID first)
//   controller -> host  VHID_ACK     + the sequence byte of the report it has taken;
//                                    the host's write returns then
// The host numbers its writes on one connection; a write takes only the ACK
// with its own number, so the late ACK of a write that was cancelled or timed
// out is never taken for the next one.
// The controller closes the connection to play an unplugged device.
#ifndef TEVUIO_VIRTUAL_HID_H
#define TEVUIO_VIRTUAL_HID_H

#include <cstdint>
#include <cstdio>

#define VHID_DIR_ENV "TEVUIO_VIRTUAL_HID_DIR"
#define VHID_PATH_PREFIX "virtual:"

enum vhid_kind : unsigned char {
    VHID_INPUT = 'I',
    VHID_OUTPUT = 'O',
    VHID_FEATURE = 'F',
    VHID_ACK = 'A',
};

// Largest message: kind byte, sequence byte and a 64-byte feature report.
#define VHID_MAX_MESSAGE 66

// Socket file names, formatted with the vendor, product (and interface) numbers.
#define VHID_NAME_COMPOSITE "%04x-%04x-%02x.%s"
#define VHID_NAME_SINGLE "%04x-%04x.%s"

// Reads a socket file name: false when it is not one. *interface is -1 for a
// single-interface device.
inline bool vhid_parse_name(const char *name, int32_t *vendor, int32_t *interface) {
    unsigned v = 0, p = 0, i = 0;
    int used = 0;
    if (std::sscanf(name, "%4x-%4x-%2x.%n", &v, &p, &i, &used) == 3 && used == 13) {
        *vendor = static_cast<int32_t>(v);
        *interface = static_cast<int32_t>(i);
        return true;
    }
    used = 0;
    if (std::sscanf(name, "%4x-%4x.%n", &v, &p, &used) == 2 && used == 10) {
        *vendor = static_cast<int32_t>(v);
        *interface = -1;
        return true;
    }
    return false;
}

#endif
