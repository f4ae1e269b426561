// The C++/CPython error boundary of the ferrylink module (and its owner of
// references, shared with spsc_queue), included by every file.
#pragma once
#include <Python.h>
#include <cassert>
#include <new>
#include <utility>
#include "cpython/allow_threads.hpp"
#include "cpython/ref.hpp"

namespace ferry {

// Thrown inside the module when a Python exception is already set; caught at
// the boundary of every slot and method. Debug builds check that one is.
struct PyErrOccurred {
    PyErrOccurred() noexcept { assert(PyErr_Occurred()); }
};

// A new reference, or throw when the API call failed.
inline Ref own(PyObject *p) {
    if (!p) throw PyErrOccurred();
    return Ref::steal(p);
}
inline void check(int rc) {
    if (rc < 0) throw PyErrOccurred();
}

// Replaces an owned field of an object (a plain PyObject* in a C layout).
inline void assign(PyObject *&field, Ref value) noexcept { Py_XSETREF(field, value.release()); }
inline void assign_borrowed(PyObject *&field, PyObject *value) noexcept { Py_XSETREF(field, Py_NewRef(value)); }

inline void set_current_exception_from_cpp() noexcept {
    try {
        throw;
    } catch (const PyErrOccurred &) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (...) {
        ferry_lock::park_if_forced_unwind();
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in ferrylink");
    }
}

// The boundary: run `f`, turning a thrown error into nullptr / -1.
template <class F>
PyObject *guard(F &&f) noexcept {
    try {
        return f();
    } catch (...) {
        ferry_lock::park_if_forced_unwind();
        set_current_exception_from_cpp();
        return nullptr;
    }
}
template <class F>
int guard_int(F &&f) noexcept {
    try {
        return f();
    } catch (...) {
        ferry_lock::park_if_forced_unwind();
        set_current_exception_from_cpp();
        return -1;
    }
}

// Declared here so the boundary can name the failing operation.
void add_traceback(const char *where) noexcept;

// The boundary that also adds a traceback entry for the failing operation
// (its full dotted name).
template <class F>
PyObject *guard(const char *where, F &&f) noexcept {
    PyObject *r = guard(std::forward<F>(f));
    if (!r) add_traceback(where);
    return r;
}
template <class F>
int guard_int(const char *where, F &&f) noexcept {
    int r = guard_int(std::forward<F>(f));
    if (r < 0) add_traceback(where);
    return r;
}

inline Ref none() noexcept { return Ref::borrow(Py_None); }

}  // namespace ferry
