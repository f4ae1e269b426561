// The function objects that carry the Python-level methods and module
// functions: they bind to instances like Python functions, pickle by name,
// and may be marked as coroutine functions.
#pragma once
#include <Python.h>
#include "pyref.hpp"
#include "signature.hpp"

namespace ferry {

using Impl = PyObject *(*)(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

struct FunctionDef {
    const char *name;
    const char *qualname;
    const char *doc;
    Impl impl;            // methods receive self as args[0]
    PyTypeObject *owner;  // the class of a method; nullptr for a module function
    bool coroutine;       // marked for inspect/asyncio.iscoroutinefunction
    const TextSignature *signature;  // what impl parses with: its __text_signature__
};

int ready_function_type() noexcept;
// A function object of this module (its `__module__`).
Ref make_function(const FunctionDef *def, PyObject *defaults = nullptr, PyObject *annotations = nullptr);
// Binds a new function object into a type's dictionary under `key`; returns it.
Ref add_method(PyTypeObject *type, const char *key, const FunctionDef *def, PyObject *defaults = nullptr,
               PyObject *annotations = nullptr);

}  // namespace ferry
