// The wake-up channel: a datagram socket per dispatcher that its producer
// pokes with one byte (0x01) after each accepted message.
#pragma once
#include <Python.h>
#include "ferrylink.h"
#include "pyfunc.hpp"

namespace ferry {

// setup_socket(blocking, recvbuf): a new, unbound IPv4 datagram socket object.
Ref setup_socket(bool blocking, int recvbuf);
extern const FunctionDef setup_socket_def;

// Binds `sock` to (host, 0) and fills `target` from getsockname() and fileno().
void fill_target(WakeupTarget *target, PyObject *sock, PyObject *host);

// One datagram of the byte 0x01 from the target's socket to its own address;
// nothing when there is no socket. Any thread, no interpreter lock needed,
// never fails visibly.
void send_wakeup(const WakeupTarget *target) noexcept;

// A blocking receive of one datagram into a 1-byte buffer; outcome ignored.
void receive_wakeup(PLATFORM_SOCKET fd) noexcept;

inline void init_target(WakeupTarget *target) noexcept {
    target->fd = FERRY_NO_SOCKET;
    memset(&target->addr, 0, sizeof target->addr);
}

}  // namespace ferry
