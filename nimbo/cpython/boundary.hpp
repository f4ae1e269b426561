// The one boundary between C++ and CPython, for both modules. Every slot,
// method, Python-side native entry and coroutine step runs its body through
// `boundary`: no C++ exception reaches the interpreter, and a thread that
// the interpreter's finalization unwinds parks here (allow_threads.hpp)
// instead of being swallowed or run into a noexcept frame.
#pragma once
#include <Python.h>
#include <cassert>
#include <new>
#include "allow_threads.hpp"

namespace ferry {

// Thrown inside a module when a Python exception is already set; caught by
// the boundary. Debug builds check that one is.
struct PyErrOccurred {
    PyErrOccurred() noexcept { assert(PyErr_Occurred()); }
};

// Inside a catch: the exception being handled, as the pending Python error.
// `owner` names the module in the text of an unexpected C++ exception.
inline void set_error_from_current(const char *owner) noexcept {
    ferry_lock::park_if_forced_unwind();
    try {
        throw;
    } catch (const PyErrOccurred &) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception in %s", owner);
    }
}

// Runs `body`; anything it throws becomes the pending Python error and the
// result is `failure` (nullptr, -1, a failed coroutine step, ...).
template <class R, class F>
R boundary(R failure, const char *owner, F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current(owner);
        return failure;
    }
}

}  // namespace ferry
