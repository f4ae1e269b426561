// Argument parsing, integer conversions, traceback entries, unraisable
// reports and the function objects that carry the Python-level methods.
#pragma once
#include <Python.h>
#include <cstdint>
#include "pyref.hpp"

namespace ferry {

// ---- arguments -----------------------------------------------------------

// Fills out[0..nparams) with borrowed references (nullptr where not given)
// from vectorcall arguments; throws PyErrOccurred with the usual messages.
void parse_args(const char *func, const char *const *names, Py_ssize_t nparams, Py_ssize_t nrequired,
                PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out);

// The same for a tp_init/tp_new call (an args tuple and a kwargs dict).
void parse_args_tuple(const char *func, const char *const *names, Py_ssize_t nparams, Py_ssize_t nrequired,
                      PyObject *args, PyObject *kwargs, PyObject **out);

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
[[noreturn]] void raise_arg_count(const char *func, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given);
// Refuses any keyword argument ("%s() got an unexpected keyword argument '%U'").
void no_keywords(const char *func, PyObject *kwnames);
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
void check_exact_type(PyObject *obj, PyTypeObject *type, const char *argname, bool none_ok);

// ---- integers, as native-typed parameters take them ------------------------

size_t as_size_t(PyObject *o);
int32_t as_int32(PyObject *o);
uint16_t as_uint16(PyObject *o);
uint64_t as_uint64(PyObject *o);
bool truth(PyObject *o);

// ---- failures without or with a Python caller -----------------------------

// add_traceback(where), declared in pyref.hpp: adds a traceback entry named
// `where` (the operation's full dotted path) to the pending exception.
// Prints the pending exception with its traceback to stderr, then reports it
// to sys.unraisablehook with `context` as the object.
void write_unraisable(const char *context) noexcept;

// An interned str made once per call site (the module is never unloaded).
#define FERRY_STR(text) ([]() -> PyObject * { static PyObject *s_ = PyUnicode_InternFromString(text); return s_; }())

// Module-wide globals used for traceback frames (set by the module frame).
void set_traceback_globals(PyObject *globals) noexcept;

// ---- function objects ------------------------------------------------------

using Impl = PyObject *(*)(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

struct FunctionDef {
    const char *name;
    const char *qualname;
    const char *doc;
    Impl impl;            // methods receive self as args[0]
    PyTypeObject *owner;  // the class of a method; nullptr for a module function
    bool coroutine;       // marked for inspect/asyncio.iscoroutinefunction
};

int ready_function_type() noexcept;
// A function object that binds to instances like a Python function.
Ref make_function(const FunctionDef *def, PyObject *module_name, PyObject *defaults, PyObject *annotations);
// Binds a new function object into a type's dictionary under `key`.
void add_method(PyTypeObject *type, const char *key, const FunctionDef *def, PyObject *defaults = nullptr,
                PyObject *annotations = nullptr);

// The `__pyx_vtable__` capsule of a type (no name, no destructor).
void set_vtable(PyTypeObject *type, const void *vtable);

}  // namespace ferry
