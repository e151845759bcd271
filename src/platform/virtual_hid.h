// Virtual HID interfaces for Linux: a program that plays a controller (the
// virtual controller in tools/) publishes each of its interfaces as a Unix
// socket in the folder named by TEVUIO_VIRTUAL_HID_DIR. Without that variable
// the Linux backend lists real devices only.
//
// Socket: SOCK_SEQPACKET, one message per report, file name
//   "hid#vid_%04x&pid_%04x&mi_%02x#<name>"  (an interface of a composite device)
//   "hid#vid_%04x&pid_%04x#<name>"          (a single-interface device)
// The backend lists it under the path "virtual:" + the socket's full path, so the
// library's vendor and interface patterns match it as they match a real path.
//
// Messages, first byte the kind:
//   controller -> host  VHID_INPUT   + the input report (its ID first)
//   host -> controller  VHID_OUTPUT  + an output report (its ID first)
//   host -> controller  VHID_FEATURE + a feature report (its ID first)
//   controller -> host  VHID_ACK     after it has taken an output or feature
//                                    report; the host's write returns then
// The controller closes the connection to play an unplugged device.
#ifndef TEVUIO_VIRTUAL_HID_H
#define TEVUIO_VIRTUAL_HID_H

#define VHID_DIR_ENV "TEVUIO_VIRTUAL_HID_DIR"
#define VHID_PATH_PREFIX "virtual:"

enum vhid_kind : unsigned char {
    VHID_INPUT = 'I',
    VHID_OUTPUT = 'O',
    VHID_FEATURE = 'F',
    VHID_ACK = 'A',
};

// Largest message: kind byte plus a 64-byte feature report.
#define VHID_MAX_MESSAGE 65

#endif
