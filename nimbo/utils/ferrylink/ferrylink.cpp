// The module frame: multi-phase initialisation of
// nimbo.utils.ferrylink.ferrylink, its namespace, its types' native method
// tables and the exported conversion functions.
#include <Python.h>
#include "asyncqueue.hpp"
#include "buffers.hpp"
#include "coro.hpp"
#include "dispatchers.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "module_state.hpp"
#include "wakeup.hpp"

namespace ferry {

namespace {

int64_t owning_interpreter_id = -1;
PyObject *module_instance = nullptr;  // the one module object of the process

// ---- create step ----------------------------------------------------------------

int copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to, bool none_ok) {
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttrString(spec, from, &found) < 0) return -1;
    Ref value = Ref::steal(found);
    if (!value) return 0;  // missing: skipped
    return none_ok || value.get() != Py_None ? PyDict_SetItemString(dict, to, value.get()) : 0;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (owning_interpreter_id == -1) {
        owning_interpreter_id = id;
    } else if (id != owning_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module_instance) return Py_NewRef(module_instance);
    return guard([&] {
        Ref name = own(PyObject_GetAttrString(spec, "name"));
        Ref module = own(PyModule_NewObject(name.get()));
        PyObject *dict = PyModule_GetDict(module.get());
        if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
            copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
            copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
            copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0)
            throw PyErrOccurred();
        return module.release();
    });
}

// ---- execute step -----------------------------------------------------------

void bind(const char *name, Ref value) { check(PyDict_SetItemString(state.globals, name, value.get())); }

void check_runtime_version() {
    unsigned major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
    if (major != 3 || minor != 13)
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                               FERRY_MODULE_NAME, "does not match", (int)major, (int)minor));
}

// The `__pyx_vtable__` capsule that publishes a type's native method table
// (no name, no destructor).
void set_vtable(PyTypeObject *type, const void *vtable) {
    Ref cap = own(PyCapsule_New(const_cast<void *>(vtable), nullptr, nullptr));
    check(PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", cap.get()));
    PyType_Modified(type);
}

void register_type(PyTypeObject *type, const char *name, const void *vtable, void (*prepare)() noexcept) {
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {  // a failed import may run this again
        prepare();
        check(PyType_Ready(type));
    }
    set_vtable(type, vtable);
    check(PyDict_SetItemString(state.globals, name, reinterpret_cast<PyObject *>(type)));
}

void import_ring_type() {
    Ref mod = own(PyImport_ImportModule("nimbo.spsc_queue.spsc_queue"));
    Ref type = own(PyObject_GetAttrString(mod.get(), "SPSCQueue"));
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "nimbo.spsc_queue.spsc_queue", "SPSCQueue");
        throw PyErrOccurred();
    }
    auto *t = reinterpret_cast<PyTypeObject *>(type.get());
    Py_ssize_t size = t->tp_basicsize, expected = FERRY_SPSC_INSTANCE_SIZE;
    Py_ssize_t itemsize = t->tp_itemsize;
    const char *fmt = "%.200s.%.200s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject";
    if (size + itemsize < expected) {
        PyErr_Format(PyExc_ValueError, fmt, "nimbo.spsc_queue.spsc_queue", "SPSCQueue", expected, size);
        throw PyErrOccurred();
    }
    if (size > expected)
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 0, fmt, "nimbo.spsc_queue.spsc_queue", "SPSCQueue", expected, size));
    PyObject *found = nullptr;
    check(PyDict_GetItemRef(t->tp_dict, FERRY_STR("__pyx_vtable__"), &found));
    Ref cap = Ref::steal(found);
    if (!cap) {
        PyErr_SetObject(PyExc_KeyError, FERRY_STR("__pyx_vtable__"));
        throw PyErrOccurred();
    }
    void *vtab = PyCapsule_GetPointer(cap.get(), nullptr);
    if (!vtab) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        throw PyErrOccurred();
    }
    Py_XSETREF(state.spsc_type, reinterpret_cast<PyTypeObject *>(type.release()));
    state.spsc = static_cast<const ferry_spsc_vtable *>(vtab);
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
    set_traceback_globals(state.globals);
    bind("__builtins__", own(PyImport_ImportModule("builtins")));
    check_runtime_version();
    if (!state.setup_defaults) state.setup_defaults = Py_BuildValue("(si)", "127.0.0.1", 16777216);
    if (!state.setup_defaults) throw PyErrOccurred();
}

// In sys.modules under its full name already while it executes.
void make_reachable(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    int present = PyDict_Contains(modules, FERRY_STR(FERRY_MODULE_NAME));
    check(present);
    if (!present) check(PyDict_SetItem(modules, FERRY_STR(FERRY_MODULE_NAME), module));
}

// The conversion functions, as capsules in `__pyx_capi__`.
void export_capi() {
    PyObject *found = nullptr;
    check(PyDict_GetItemStringRef(state.globals, "__pyx_capi__", &found));
    Ref capi = Ref::steal(found);
    if (!capi) {
        capi = own(PyDict_New());
        bind("__pyx_capi__", Ref::borrow(capi.get()));
    }
    export_conversion_functions(capi.get());
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
    bind("__test__", own(PyDict_New()));
}

void execute(PyObject *module) {
    start_namespace(module);
    make_reachable(module);
    check(ready_function_type());
    check(ready_coro_type());
    export_capi();
    register_types();
    import_ring_type();
    bind_dependencies();
    bind_functions();
}

int module_exec(PyObject *module) {
    if (module_instance) {
        if (module_instance == module) return 0;  // a reload changes nothing
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ferrylink' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    module_instance = Py_NewRef(module);
    int rc = guard_int([&] {
        execute(module);
        return 0;
    });
    if (rc < 0) {
        if (state.globals) add_traceback("init " FERRY_MODULE_NAME);
        state.globals = nullptr;  // the failed module may go away
        set_traceback_globals(nullptr);
        Py_CLEAR(module_instance);
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
