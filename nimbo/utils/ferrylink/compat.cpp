// The compatibility surface (see compat.hpp for why it is kept apart): each
// oddity with the reason it exists.
#include "compat.hpp"
#include "buffers.hpp"
#include "ferrylink.h"
#include "module_state.hpp"

namespace ferry::compat {

// ---- the module frame ---------------------------------------------------------

// Published texts; callers match them.
const char *const interpreter_changed =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
const char *const reinitialised = "Module 'ferrylink' has already been imported. Re-initialisation is not supported.";

namespace {
int copy_import_attr(PyObject *record, PyObject *dict, const char *from, const char *to, bool none_ok) {
    PyObject *attr = nullptr;
    if (PyObject_GetOptionalAttrString(record, from, &attr) < 0) return -1;
    Ref value = Ref::steal(attr);
    if (!value) return 0;  // missing: skipped
    return none_ok || value.get() != Py_None ? PyDict_SetItemString(dict, to, value.get()) : 0;
}
}  // namespace

// The create step hands out the one module object of the process, so it
// makes the module itself instead of letting the import system do it, and
// copies from the import record what the import system would have set, in
// the published order: a record without one of these (a custom loader's) is
// still importable.
Ref new_module_for(PyObject *found) {
    Ref name = own(PyObject_GetAttrString(found, "name"));
    Ref module = own(PyModule_NewObject(name.get()));
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_import_attr(found, dict, "loader", "__loader__", true) < 0 ||
        copy_import_attr(found, dict, "origin", "__file__", true) < 0 ||
        copy_import_attr(found, dict, "parent", "__package__", true) < 0 ||
        copy_import_attr(found, dict, "submodule_search_locations", "__path__", false) < 0)
        throw PyErrOccurred();
    return module;
}

// A runtime other than the one the module was compiled for gets this
// published warning. The file name's ABI tag normally keeps
// another runtime from loading it at all; a renamed or hand-loaded binary
// still gets the warning (an error under -W error).
void check_runtime_version() {
    unsigned major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION)
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                               PY_MAJOR_VERSION, PY_MINOR_VERSION, FERRY_MODULE_NAME, "does not match", (int)major,
                               (int)minor));
}

// Native modules find the conversion functions in a dict named
// `__pyx_capi__`, each capsule named by its C
// signature: PyCapsule_GetPointer then refuses a caller that expects another
// signature. A dict already bound (a failed import run again) is reused.
void export_capi(PyObject *globals) {
    PyObject *found = nullptr;
    check(PyDict_GetItemStringRef(globals, "__pyx_capi__", &found));
    Ref capi = Ref::steal(found);
    if (!capi) {
        capi = own(PyDict_New());
        check(PyDict_SetItemString(globals, "__pyx_capi__", capi.get()));
    }
    struct Entry {
        const char *key;
        void *fn;
        const char *signature;
    };
    const Entry entries[] = {
        {"obj_to_cbuf", reinterpret_cast<void *>(obj_to_cbuf), FERRY_SIG_OBJ_TO_CBUF},
        {"buf_to_cbuf", reinterpret_cast<void *>(buf_to_cbuf), FERRY_SIG_BUF_TO_CBUF},
        {"bytes_to_cbuf", reinterpret_cast<void *>(bytes_to_cbuf), FERRY_SIG_BYTES_TO_CBUF},
        {"str_to_cbuf", reinterpret_cast<void *>(str_to_cbuf), FERRY_SIG_STR_TO_CBUF},
    };
    for (const Entry &e : entries) {
        Ref cap = own(PyCapsule_New(e.fn, e.signature, nullptr));
        check(PyDict_SetItemString(capi.get(), e.key, cap.get()));
    }
}

// Native modules read a type's table from a capsule with no name under
// `__pyx_vtable__` in the type's dict. The
// capsule's context (invisible from Python) carries FERRY_API_VERSION, which
// ferry_import() checks against the header it was built with.
void publish_vtable(PyTypeObject *type, const void *vtable) {
    Ref cap = own(PyCapsule_New(const_cast<void *>(vtable), nullptr, nullptr));
    check(PyCapsule_SetContext(cap.get(), reinterpret_cast<void *>(static_cast<intptr_t>(FERRY_API_VERSION))));
    check(PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", cap.get()));
    PyType_Modified(type);
}

// SPSCQueue is checked with the published exceptions and texts: TypeError
// for a non-type, the size policy of
// ferrylink.h (ValueError when smaller, RuntimeWarning when larger), a
// KeyError without a table, RuntimeError for an empty capsule.
void import_ring_type() {
    const char *module = "nimbo.spsc_queue.spsc_queue";
    Ref mod = own(PyImport_ImportModule(module));
    Ref type = own(PyObject_GetAttrString(mod.get(), "SPSCQueue"));
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module, "SPSCQueue");
        throw PyErrOccurred();
    }
    auto *t = reinterpret_cast<PyTypeObject *>(type.get());
    Py_ssize_t expected = FERRY_SPSC_INSTANCE_SIZE;
    const char *fmt = "%.200s.%.200s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject";
    switch (ferry__size_check(t, expected)) {
    case FERRY__SIZE_SMALLER:
        PyErr_Format(PyExc_ValueError, fmt, module, "SPSCQueue", expected, t->tp_basicsize);
        throw PyErrOccurred();
    case FERRY__SIZE_LARGER:  // the ring has no version that could account for it
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 0, fmt, module, "SPSCQueue", expected, t->tp_basicsize));
        break;
    case FERRY__SIZE_SAME:
        break;
    }
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

// `__test__`, an empty dict, is one of the published module names (doctest
// collection looks for it); code that lists the names sees it.
void bind_test_dict(PyObject *globals) {
    Ref empty = own(PyDict_New());
    check(PyDict_SetItemString(globals, "__test__", empty.get()));
}

// ---- pickling -----------------------------------------------------------------

// The published text of the types that cannot be pickled.
const char *const no_pickle = "no default __reduce__ due to non-trivial __cinit__";

// The published TypeErrors of a bad AsyncQueue state: callers that restore
// states by hand match them.
const char *const state_is_none = "cannot pass None into a C function argument that is declared 'not None'";
const char *const state_not_tuple = "Expected %s, got %.200s";
const char *const ring_not_converted = "Cannot convert %.200s to %.200s";

// The published checksums of AsyncQueue's pickled field list: pickles
// already written carry one of them. The first is also written; the two
// others describe the same field list, hashed other ways.
namespace {
#define FIELD_LIST "_callback, _lock, _loop, _notify_cond, _q, _running, _task"
constexpr int32_t checksums[] = {0xb5fb52f, 0x4bd5b12, 0x5d4ebbc};
}  // namespace
const long written_checksum = checksums[0];

// pickle.PickleError with the published text when `checksum` is none of
// the accepted ones.
void check_checksum(int32_t checksum) {
    for (int32_t c : checksums)
        if (c == checksum) return;
    Ref pickle = own(PyImport_ImportModule("pickle"));
    Ref error = own(PyObject_GetAttrString(pickle.get(), "PickleError"));
    Ref given = own(PyLong_FromLong(checksum));
    Ref values = own(Py_BuildValue("(Oiiis)", given.get(), checksums[0], checksums[1], checksums[2], FIELD_LIST));
    Ref message = own(PyUnicode_Format(FERRY_STR("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))"),
                                       values.get()));
    PyErr_SetObject(error.get(), message.get());
    throw PyErrOccurred();
}
#undef FIELD_LIST

}  // namespace ferry::compat
