// The wake-up channel: a datagram socket per dispatcher that its producer
// pokes with one byte (0x01) after each accepted message.
#pragma once
#include <Python.h>
#include <atomic>
#include "ferrylink.h"
#include "functions.hpp"

namespace ferry {

// setup_socket(blocking, recvbuf): a new, unbound IPv4 datagram socket object.
Ref setup_socket(bool blocking, int recvbuf);
extern const FunctionDef setup_socket_def;

// Binds `sock` to (host, 0) and fills `target` from getsockname() and fileno().
void fill_target(WakeupTarget *target, PyObject *sock, PyObject *host);

// sock.fileno() as a native handle; FERRY_NO_SOCKET once the socket is closed.
PLATFORM_SOCKET socket_handle(PyObject *sock);

// One datagram of the byte 0x01 from the target's socket to its own address;
// nothing when there is no socket. Any thread, no interpreter lock needed,
// never fails visibly.
void send_wakeup(const WakeupTarget *target) noexcept;

// A blocking receive of one datagram into a 1-byte buffer; outcome ignored.
void receive_wakeup(PLATFORM_SOCKET fd) noexcept;

// Reads one datagram that is already there, without waiting: true if it did.
bool receive_wakeup_now(PLATFORM_SOCKET fd) noexcept;

inline void init_target(WakeupTarget *target) noexcept {
    target->fd = FERRY_NO_SOCKET;
    memset(&target->addr, 0, sizeof target->addr);
}

// Producers read `fd` without the interpreter lock while set-up and close
// write it: it is accessed atomically, in place (the published layout keeps a
// plain field). Set-up stores it last with release, so a producer that loads
// a handle with acquire also sees the address written before it.
static_assert(std::atomic_ref<PLATFORM_SOCKET>::required_alignment <= alignof(PLATFORM_SOCKET));
inline std::atomic_ref<PLATFORM_SOCKET> target_fd(const WakeupTarget *target) noexcept {
    return std::atomic_ref<PLATFORM_SOCKET>(const_cast<WakeupTarget *>(target)->fd);
}

// Before the socket is closed: its handle may be reused by the next socket or
// file the process opens, and nothing may be sent to that.
inline void invalidate_target(WakeupTarget *target) noexcept {
    target_fd(target).store(FERRY_NO_SOCKET, std::memory_order_release);
}

}  // namespace ferry
