// What every file of the module builds on: the owner of references and the
// one error boundary (both in nimbo/cpython/, shared with spsc_queue), with
// this module's failure values and traceback entries. Included everywhere.
#pragma once
#include <Python.h>
#include <source_location>
#include <utility>
#include "cpython/allow_threads.hpp"
#include "cpython/boundary.hpp"
#include "cpython/ref.hpp"

namespace ferry {

// The module's name in the text of an unexpected C++ exception.
inline constexpr const char *kBoundaryOwner = "ferrylink";

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

// The boundary (boundary.hpp) with the failure value of the slot at hand.
template <class F>
PyObject *guard(F &&f) noexcept {
    return boundary<PyObject *>(nullptr, kBoundaryOwner, std::forward<F>(f));
}
template <class F>
int guard_int(F &&f) noexcept {
    return boundary(-1, kBoundaryOwner, std::forward<F>(f));
}

// Adds a traceback entry named `where` (the failing operation's full dotted
// path), in the source file `at` names, to the pending exception.
void add_traceback(const char *where, std::source_location at = std::source_location::current()) noexcept;

// The boundary that also adds a traceback entry for the failing operation.
template <class F>
PyObject *guard(const char *where, F &&f, std::source_location at = std::source_location::current()) noexcept {
    PyObject *r = guard(std::forward<F>(f));
    if (!r) add_traceback(where, at);
    return r;
}
template <class F>
int guard_int(const char *where, F &&f, std::source_location at = std::source_location::current()) noexcept {
    int r = guard_int(std::forward<F>(f));
    if (r < 0) add_traceback(where, at);
    return r;
}

inline Ref none() noexcept { return Ref::borrow(Py_None); }

}  // namespace ferry
