// The module frame: multi-phase initialisation of
// nimbo.utils.ferrylink.ferrylink, its namespace, its types' native method
// tables and the exported conversion functions.
#include <Python.h>
#include "asyncqueue.hpp"
#include "buffers.hpp"
#include "compat.hpp"
#include "coro.hpp"
#include "dispatchers.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "module_state.hpp"
#include "wakeup.hpp"

namespace ferry {

// The header's result codes are the ring's own: the push and pop entries
// hand the ring's results through unchanged.
static_assert(int(FERRY_FULL) == FERRY_SPSC_FULL && int(FERRY_EMPTY) == FERRY_SPSC_EMPTY &&
                  int(FERRY_TOO_LARGE) == FERRY_SPSC_TOO_LARGE && int(FERRY_CLOSED) == FERRY_SPSC_CLOSED &&
                  int(FERRY_WRONG_FAMILY) == FERRY_SPSC_WRONG_FAMILY,
              "ferrylink.h's FERRY_* results are spsc_queue.h's");

namespace {

// ---- create step ----------------------------------------------------------------

PyObject *module_create(PyObject *found, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (state.owning_interpreter_id == -1) {
        state.owning_interpreter_id = id;
    } else if (id != state.owning_interpreter_id) {
        PyErr_SetString(PyExc_ImportError, compat::interpreter_changed);
        return nullptr;
    }
    if (state.module_instance) return Py_NewRef(state.module_instance);
    return guard([&] { return compat::new_module_for(found).release(); });
}

// ---- execute step -----------------------------------------------------------

void bind(const char *name, Ref value) { check(PyDict_SetItemString(state.globals, name, value.get())); }

void register_type(PyTypeObject *type, const char *name, const void *vtable, void (*prepare)() noexcept) {
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {  // a failed import may run this again
        prepare();
        check(PyType_Ready(type));
    }
    compat::publish_vtable(type, vtable);
    check(PyDict_SetItemString(state.globals, name, reinterpret_cast<PyObject *>(type)));
}

// `from nimbo.tracelog import DefaultLogger`
Ref import_default_logger() {
    Ref fromlist = own(Py_BuildValue("(s)", "DefaultLogger"));
    Ref mod = own(PyImport_ImportModuleLevel("nimbo.tracelog", state.globals, nullptr, fromlist.get(), 0));
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttrString(mod.get(), "DefaultLogger", &value) < 0) throw PyErrOccurred();
    if (value) return Ref::steal(value);
    PyObject *sub = PyImport_GetModule(FERRY_STR("nimbo.tracelog.DefaultLogger"));
    if (sub) return Ref::steal(sub);
    if (PyErr_Occurred()) throw PyErrOccurred();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", FERRY_STR("DefaultLogger"));
    throw PyErrOccurred();
}

// The module dict as the globals of look-ups and traceback entries, builtins,
// the runtime version check, and the setup defaults (made once: a failed
// import may run this again).
void start_namespace(PyObject *module) {
    state.globals = PyModule_GetDict(module);
    bind("__builtins__", own(PyImport_ImportModule("builtins")));
    compat::check_runtime_version();
    if (!state.setup_defaults) state.setup_defaults = Py_BuildValue("(si)", kDefaultHost, kDefaultRecvbuf);
    if (!state.setup_defaults) throw PyErrOccurred();
}

// In sys.modules under its full name already while it executes.
void make_reachable(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    int present = PyDict_Contains(modules, FERRY_STR(FERRY_MODULE_NAME));
    check(present);
    if (!present) check(PyDict_SetItem(modules, FERRY_STR(FERRY_MODULE_NAME), module));
}

// The public types, in their fixed order, each with its native table.
void register_types() {
    register_type(&AsyncDispatcherType, "AsyncDispatcher", &async_dispatcher_vtable, prepare_async_dispatcher_type);
    register_type(&SyncDispatcherType, "SyncDispatcher", &sync_dispatcher_vtable, prepare_sync_dispatcher_type);
    register_type(&CyPipeType, "CyPipe", &pipe_vtable, prepare_pipe_type);
    register_type(&CBufferViewType, "CBufferView", &buffer_view_vtable, prepare_buffer_view_type);
    register_type(&AsyncQueueType, "AsyncQueue", &async_queue_vtable, prepare_async_queue_type);
}

// The modules the methods look up by name when they run, and the logger.
void bind_dependencies() {
    bind("DefaultLogger", import_default_logger());
    bind("asyncio", own(PyImport_ImportModule("asyncio")));
    bind("sys", own(PyImport_ImportModule("sys")));
    bind("logger", own(PyObject_CallNoArgs(global("DefaultLogger").get())));
}

// The module functions and the types' Python-level methods.
void bind_functions() {
    bind("setup_socket", make_function(&setup_socket_def));
    bind_async_dispatcher_methods();
    bind_sync_dispatcher_methods();
    bind_async_queue_methods();
    bind("__pyx_unpickle_AsyncQueue", make_function(&unpickle_async_queue_def));
    compat::bind_test_dict(state.globals);
}

void execute(PyObject *module) {
    start_namespace(module);
    make_reachable(module);
    check(ready_function_type());
    check(ready_coro_type());
    compat::export_capi(state.globals);
    register_types();
    compat::import_ring_type();
    bind_dependencies();
    bind_functions();
}

int module_exec(PyObject *module) {
    if (state.module_instance) {
        if (state.module_instance == module) return 0;  // a reload changes nothing
        PyErr_SetString(PyExc_RuntimeError, compat::reinitialised);
        return -1;
    }
    state.module_instance = Py_NewRef(module);
    int rc = guard_int([&] {
        execute(module);
        return 0;
    });
    if (rc < 0) {
        if (state.globals) add_traceback("init " FERRY_MODULE_NAME);
        state.globals = nullptr;  // the failed module may go away
        Py_CLEAR(state.module_instance);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init " FERRY_MODULE_NAME);
    }
    return rc;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ferrylink", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace ferry

PyMODINIT_FUNC PyInit_ferrylink(void) { return PyModuleDef_Init(&ferry::module_def); }
