// The wake-up channel's set-up: a datagram socket per dispatcher, bound and
// recorded as the target its producers send to (lockfree/wake_datagram.hpp
// sends and receives).
#pragma once
#include <Python.h>
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

}  // namespace ferry
