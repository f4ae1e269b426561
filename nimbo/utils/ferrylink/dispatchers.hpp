// The dispatchers: AsyncDispatcher (asyncio reader), SyncDispatcher (native
// thread) and CyPipe (native to native), each owning one ring queue.
#pragma once
#include <Python.h>
#include "args.hpp"
#include "signature.hpp"
#include "ferrylink.h"
#include "lockfree/lockfree.hpp"
#include "module_state.hpp"
#include "ring_field.hpp"
#include "type_helpers.hpp"
#include "wakeup.hpp"

namespace ferry {

// Takes the socket out of `field`, so producers send no more wake-ups, and
// hands it to `retire`, which closes it or has it closed. Taken out first:
// retiring runs Python code, during which a setup on another thread may
// store a new socket that must not be dropped unclosed. If retiring fails,
// the socket goes back, unless such a new one took its place.
template <class Retire>
void retire_socket_field(PyObject *&field, WakeupTarget *target, Retire &&retire) {
    Ref sock = Ref::steal(std::exchange(field, Py_NewRef(Py_None)));
    if (sock.get() != Py_None) lockfree::invalidate_target(target);
    try {
        retire(sock.get());
    } catch (const PyErrOccurred &) {
        if (field == Py_None) assign_borrowed(field, sock.get());
        throw;
    }
}

inline void close_socket(PyObject *sock) {
    if (sock != Py_None) own(PyObject_CallMethod(sock, "close", nullptr));
}

// The native `setup` entry of both dispatchers: applies the defaults of the
// optional arguments, lets a Python subclass's `setup` run instead unless the
// caller bypasses it, else runs `do_setup`. Failure leaves an exception set.
template <class Dispatcher>
void setup_entry(Dispatcher *self, PyTypeObject *type, PyObject *own_setup, int skip_dispatch,
                 const ferry_setup_args *opt, void (*do_setup)(Dispatcher *, PyObject *host, int recvbuf),
                 const char *where) noexcept {
    guard_int(where, [&] {
        PyObject *host = opt && opt->n >= 1 ? opt->host : PyTuple_GET_ITEM(state.setup_defaults, 0);
        int recvbuf = opt && opt->n >= 2 ? opt->recvbuf : kDefaultRecvbuf;
        if (!skip_dispatch) {
            Ref args = own(Py_BuildValue("(Oi)", host, recvbuf));
            if (call_override(reinterpret_cast<PyObject *>(self), type, own_setup, "setup", args.get())) return 0;
        }
        do_setup(self, host, recvbuf);
        return 0;
    });
}

// The Python-level `setup(self, str host='127.0.0.1', int recvbuf=16777216)`:
// checks its arguments and calls the native entry with the bypass flag set.
struct SetupArgs {
    PyObject *host = nullptr;  // the default host str of state.setup_defaults
    int32_t recvbuf = kDefaultRecvbuf;
};
inline constexpr auto setup_signature = signature<SetupArgs>("setup", {
    {"host", &SetupArgs::host, false, "'" FERRY_DEFAULT_HOST "'"},
    {"recvbuf", &SetupArgs::recvbuf},
});

template <class Dispatcher>
PyObject *setup_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       void (*entry)(Dispatcher *, int, ferry_setup_args *)) {
    return guard([&] {
        SetupArgs a = setup_signature.parse(args + 1, nargs - 1, kwnames);
        ferry_setup_args opt = {2, a.host ? a.host : PyTuple_GET_ITEM(state.setup_defaults, 0), a.recvbuf};
        check_exact_type(opt.host, &PyUnicode_Type, "host", true);
        entry(reinterpret_cast<Dispatcher *>(args[0]), 1, &opt);
        if (PyErr_Occurred()) throw PyErrOccurred();
        return Py_NewRef(Py_None);
    });
}

// Each type: its object, its native method table, a step that fills the
// slots before PyType_Ready, and (where it has them) the Python-level
// function objects bound once the module's names exist.

extern PyTypeObject AsyncDispatcherType;
extern const ferry_async_dispatcher_vtable async_dispatcher_vtable;
void prepare_async_dispatcher_type() noexcept;
void bind_async_dispatcher_methods();

extern PyTypeObject SyncDispatcherType;
extern const ferry_sync_dispatcher_vtable sync_dispatcher_vtable;
void prepare_sync_dispatcher_type() noexcept;
void bind_sync_dispatcher_methods();

extern PyTypeObject CyPipeType;
extern const ferry_pipe_vtable pipe_vtable;
void prepare_pipe_type() noexcept;

}  // namespace ferry
