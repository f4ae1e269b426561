// Process-wide state of the module (it serves one interpreter per process),
// shared by every area.
#pragma once
#include <Python.h>
#include "pyref.hpp"
#include "spsc_queue.h"

#define FERRY_MODULE_NAME "nimbo.utils.ferrylink.ferrylink"

// An interned str made once per call site (the module is never unloaded).
#define FERRY_STR(text) ([]() -> PyObject * { static PyObject *s_ = PyUnicode_InternFromString(text); return s_; }())

namespace ferry {

struct ModuleState {
    PyObject *globals = nullptr;               // the module dict (borrowed: lives for the process)
    PyTypeObject *spsc_type = nullptr;         // SPSCQueue (strong)
    const ferry_spsc_vtable *spsc = nullptr;   // its native method table
    PyObject *setup_defaults = nullptr;        // ("127.0.0.1", 16777216), shared by both setups
};

extern ModuleState state;

// A module-level name, looked up at the moment it is needed (so tests and
// users may rebind `sys`, `logger`, `asyncio`), then in builtins.
Ref global(const char *name);

// The ring queue behind a `_q` field. Callers check `_q` is an SPSCQueue.
inline ferry_spsc_queue *ring_of(PyObject *q) noexcept { return reinterpret_cast<ferry_spsc_queue *>(q); }
inline bool is_ring(PyObject *q) noexcept {
    return q && state.spsc_type && PyObject_TypeCheck(q, state.spsc_type);
}

// Raises RuntimeError unless `q` is a ring queue (an instance whose __init__
// never ran still holds None).
void require_ring(PyObject *q, const char *type);

// For a native entry that Python subclasses may override: when `self` is a
// subclass instance whose attribute `name` is not `own_function`, calls that
// attribute with `args` (a tuple) into `*result` and returns true.
bool call_override(PyObject *self, PyTypeObject *base, PyObject *own_function, const char *name, PyObject *args,
                   Ref *result = nullptr);

// A new SPSCQueue called with the keywords slot_size, capacity, overwrite,
// zerocopy[, block_on_full] (n = 4 or 5), in that order.
Ref make_ring_kw(PyObject *const *values, Py_ssize_t n);

// Two methods every non-picklable type carries as __reduce__/__setstate__.
PyObject *refuse_reduce(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *refuse_setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

#define FERRY_REFUSE_PICKLING_METHODS                                                                     \
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ferry::refuse_reduce)),   \
     METH_FASTCALL | METH_KEYWORDS, nullptr},                                                          \
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ferry::refuse_setstate)), \
     METH_FASTCALL | METH_KEYWORDS, nullptr}

}  // namespace ferry
