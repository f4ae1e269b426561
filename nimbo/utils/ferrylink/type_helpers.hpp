// What the module's types share beyond their rings: running a Python
// subclass's override of a native entry, and refusing to be pickled.
#pragma once
#include <Python.h>
#include "pyref.hpp"
#include "signature.hpp"

namespace ferry {

// For a native entry that Python subclasses may override: when `self` is a
// subclass instance whose attribute `name` is not `own_function`, calls that
// attribute with `args` (a tuple) into `*result` and returns true.
bool call_override(PyObject *self, PyTypeObject *base, PyObject *own_function, const char *name, PyObject *args,
                   Ref *result = nullptr);

// The signatures of the types' __reduce__ and __setstate__.
struct StateArgs {
    PyObject *state = nullptr;
};
inline constexpr auto reduce_signature = signature("__reduce__");
inline constexpr auto setstate_signature =
    signature<StateArgs>("__setstate__", {{"__pyx_state", &StateArgs::state, kRequired}});

// Two methods every non-picklable type carries as __reduce__/__setstate__.
PyObject *refuse_reduce(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *refuse_setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

#define FERRY_REFUSE_PICKLING_METHODS                                                                     \
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ferry::refuse_reduce)),   \
     METH_FASTCALL | METH_KEYWORDS, nullptr},                                                          \
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ferry::refuse_setstate)), \
     METH_FASTCALL | METH_KEYWORDS, nullptr}

}  // namespace ferry
