#include "functions.hpp"
#include <cstddef>
#include "module_state.hpp"

namespace ferry {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *dict;
    PyObject *module;
    PyObject *defaults;
    PyObject *annotations;
};

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = reinterpret_cast<FunctionObject *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (f->def->owner) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "unbound method %.200s() needs an argument", f->def->qualname);
            return nullptr;
        }
        if (!PyObject_TypeCheck(args[0], f->def->owner)) {
            PyErr_Format(PyExc_TypeError, "descriptor '%.200s' requires a '%.100s' object but received a '%.100s'",
                         f->def->name, f->def->owner->tp_name, Py_TYPE(args[0])->tp_name);
            return nullptr;
        }
    }
    return f->def->impl(args, nargs, kwnames);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    return 0;
}

int function_clear(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject *function_repr(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<ferrylink function %s at %p>", f->def->qualname, self);
}

PyObject *get_name(PyObject *self, void *) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject *>(self)->def->name);
}
PyObject *get_qualname(PyObject *self, void *) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject *>(self)->def->qualname);
}
PyObject *get_doc(PyObject *self, void *) {
    const char *doc = reinterpret_cast<FunctionObject *>(self)->def->doc;
    return doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
}
PyObject *get_text_signature(PyObject *self, void *) {
    const FunctionDef *def = reinterpret_cast<FunctionObject *>(self)->def;
    if (!def->signature) return Py_NewRef(Py_None);
    return guard([&] {
        std::string text = def->signature->text(def->owner != nullptr);
        return own(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size())).release();
    });
}
PyObject *get_defaults(PyObject *self, void *) {
    PyObject *d = reinterpret_cast<FunctionObject *>(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject *self, PyObject *value, void *) {
    if (value && value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject *>(self)->defaults, value == Py_None ? nullptr : Py_XNewRef(value));
    return 0;
}
PyObject *get_annotations(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject *>(self)->annotations, value == Py_None ? nullptr : Py_XNewRef(value));
    return 0;
}
PyObject *get_module(PyObject *self, void *) {
    PyObject *m = reinterpret_cast<FunctionObject *>(self)->module;
    return Py_NewRef(m ? m : Py_None);
}
int set_module(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(reinterpret_cast<FunctionObject *>(self)->module, Py_XNewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference, as Python functions are: `__module__` plus the
// qualified name (a module function such as __pyx_unpickle_AsyncQueue must
// be, since pickled AsyncQueue states name it).
PyObject *function_reduce(PyObject *self, PyObject *) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject *>(self)->def->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

int ready_function_type() noexcept {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    FunctionType.tp_name = "ferrylink_function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&FunctionType);
}

// `__module__` names this module, interned once for every function object.
Ref make_function(const FunctionDef *def, PyObject *defaults, PyObject *annotations) {
    auto *f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) throw PyErrOccurred();
    f->vectorcall = function_vectorcall;
    f->def = def;
    f->dict = nullptr;
    f->module = Py_XNewRef(FERRY_STR(FERRY_MODULE_NAME));
    f->defaults = Py_XNewRef(defaults);
    f->annotations = Py_XNewRef(annotations);
    Ref fn = Ref::steal(reinterpret_cast<PyObject *>(f));
    PyObject_GC_Track(fn.get());
    if (def->coroutine) {
        // What inspect.markcoroutinefunction does, so that both inspect's and
        // asyncio's iscoroutinefunction recognise the native coroutine.
        Ref inspect = own(PyImport_ImportModule("inspect"));
        Ref mark = own(PyObject_GetAttrString(inspect.get(), "_is_coroutine_mark"));
        check(PyObject_SetAttrString(fn.get(), "_is_coroutine_marker", mark.get()));
    }
    return fn;
}

Ref add_method(PyTypeObject *type, const char *key, const FunctionDef *def, PyObject *defaults,
               PyObject *annotations) {
    Ref fn = make_function(def, defaults, annotations);
    check(PyDict_SetItemString(type->tp_dict, key, fn.get()));
    PyType_Modified(type);
    return fn;
}

}  // namespace ferry
