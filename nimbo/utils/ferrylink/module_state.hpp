// Process-wide state of the module (it serves one interpreter per process),
// shared by every area.
#pragma once
#include <Python.h>
#include "pyref.hpp"
#include "spsc_queue.h"

#define FERRY_MODULE_NAME "nimbo.utils.ferrylink.ferrylink"

// An interned str made once per call site (the module is never unloaded).
#define FERRY_STR(text) ([]() -> PyObject * { static PyObject *s_ = PyUnicode_InternFromString(text); return s_; }())

namespace ferry {

struct ModuleState {
    PyObject *globals = nullptr;               // the module dict (borrowed: lives for the process)
    PyTypeObject *spsc_type = nullptr;         // SPSCQueue (strong)
    const ferry_spsc_vtable *spsc = nullptr;   // its native method table
    PyObject *setup_defaults = nullptr;        // ("127.0.0.1", 16777216), shared by both setups
};

extern ModuleState state;

// A module-level name, looked up at the moment it is needed (so tests and
// users may rebind `sys`, `logger`, `asyncio`), then in builtins.
Ref global(const char *name);

}  // namespace ferry
