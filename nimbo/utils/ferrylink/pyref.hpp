// Reference ownership and the C++/CPython error boundary, shared by every file.
#pragma once
#include <Python.h>
#include <cassert>
#include <new>
#include <utility>
#include "lock_return.hpp"

namespace ferry {

// Move-only owner of one strong reference. Destroy only with the interpreter
// lock held. No implicit conversion: `.get()` makes every borrow visible.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept { Py_XINCREF(p); return Ref(p); }
    Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref &operator=(Ref &&o) noexcept {
        Ref old(std::exchange(p_, std::exchange(o.p_, nullptr)));
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

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
