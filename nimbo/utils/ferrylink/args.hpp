// Arguments of the Python-level methods: parsing a call into its parameters
// and converting them to the native types the methods take.
#pragma once
#include <Python.h>
#include <cstdint>
#include "pyref.hpp"

namespace ferry {

// ---- parsing -----------------------------------------------------------------

// What the signature tables (signature.hpp) parse with.

// Fills out[0..nparams) with borrowed references (nullptr where not given)
// from vectorcall arguments; throws PyErrOccurred with the usual messages.
// With `star`, positional arguments beyond the parameters are let through.
void parse_args(const char *func, const char *const *names, Py_ssize_t nparams, Py_ssize_t nrequired, bool star,
                PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out);

// The same for a tp_init/tp_new call (an args tuple and a kwargs dict).
void parse_args_tuple(const char *func, const char *const *names, Py_ssize_t nparams, Py_ssize_t nrequired,
                      PyObject *args, PyObject *kwargs, PyObject **out);

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
[[noreturn]] void raise_arg_count(const char *func, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given);
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
void check_exact_type(PyObject *obj, PyTypeObject *type, const char *argname, bool none_ok);

// ---- integers and truth, as native-typed parameters take them ------------------

// `arg`, when given, names the argument in the OverflowError.
size_t as_size_t(PyObject *o, const char *arg = nullptr);
int32_t as_int32(PyObject *o, const char *arg = nullptr);
uint16_t as_uint16(PyObject *o, const char *arg = nullptr);
// Any unsigned native type up to `max`, named `ctype` in the OverflowError.
unsigned long long as_unsigned(PyObject *o, unsigned long long max, const char *ctype, const char *arg = nullptr);
bool truth(PyObject *o);

}  // namespace ferry
