// AsyncQueue: an awaitable queue over a ring queue for coroutines on one
// event loop, and its pickling.
#pragma once
#include <Python.h>
#include "ferrylink.h"
#include "functions.hpp"
#include "module_state.hpp"

// Where the methods' traceback entries say they failed.
#define FERRY_QUEUE_PATH FERRY_MODULE_NAME ".AsyncQueue."

namespace ferry {

extern PyTypeObject AsyncQueueType;
extern const ferry_async_queue_vtable async_queue_vtable;
void prepare_async_queue_type() noexcept;
void bind_async_queue_methods();
extern const FunctionDef unpickle_async_queue_def;  // __pyx_unpickle_AsyncQueue

// `_q` of the AsyncQueue `o` becomes `ring` (borrowed), or with `fresh` the
// ring that a constructor call made (retiring the old one); the pushes that
// waited for space in the old ring are released.
void replace_queue_ring(PyObject *o, PyObject *ring, Ref *fresh = nullptr);

// The reduce protocol (asyncqueue_pickle.cpp), installed as __reduce__ and
// __setstate__ through the type's method table.
PyObject *async_queue_reduce(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *async_queue_setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace ferry
