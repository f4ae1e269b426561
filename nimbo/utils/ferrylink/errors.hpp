// Failures that reach Python: traceback entries naming the failing operation,
// reports of errors that have no caller to go to, and the pending exception
// set aside while a finalizer runs.
#pragma once
#include <Python.h>
#include "pyref.hpp"

namespace ferry {

// add_traceback(where), declared in pyref.hpp: adds a traceback entry named
// `where` (the operation's full dotted path) to the pending exception; its
// frame's globals are the module's (ModuleState::globals).

// Prints the pending exception with its traceback to stderr, then reports it
// to sys.unraisablehook with `context` as the object.
void write_unraisable(const char *context) noexcept;

// For a finalizer's whole run: the exception pending when it began is set
// aside, and put back when it ends.
class PendingExceptionKept {
public:
    PendingExceptionKept() noexcept : saved_(Ref::steal(PyErr_GetRaisedException())) {}
    ~PendingExceptionKept() { PyErr_SetRaisedException(saved_.release()); }
    PendingExceptionKept(const PendingExceptionKept &) = delete;
    PendingExceptionKept &operator=(const PendingExceptionKept &) = delete;

private:
    Ref saved_;
};

}  // namespace ferry
