#include "pyfunc.hpp"
#include <climits>
#include <cstddef>
#include <cstring>
#include <frameobject.h>

namespace ferry {

// ---- arguments -----------------------------------------------------------

void raise_arg_count(const char *func, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    Py_ssize_t expected = given < min ? min : max;
    const char *how = exact ? "exactly" : (given < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, how, expected,
                 expected == 1 ? "" : "s", given);
    throw PyErrOccurred();
}

void no_keywords(const char *func, PyObject *kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func,
                     PyTuple_GET_ITEM(kwnames, 0));
        throw PyErrOccurred();
    }
}

void parse_args(const char *func, const char *const *names, Py_ssize_t nparams, Py_ssize_t nrequired,
                PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
    bool exact = nrequired == nparams;
    if (nargs > nparams) raise_arg_count(func, exact, nrequired, nparams, nargs);
    for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", func);
            throw PyErrOccurred();
        }
        Py_ssize_t i = 0;
        while (i < nparams && PyUnicode_CompareWithASCIIString(key, names[i]) != 0) ++i;
        if (i == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
            throw PyErrOccurred();
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
            throw PyErrOccurred();
        }
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < nrequired; ++i)
        if (!out[i]) raise_arg_count(func, exact, nrequired, nparams, nargs);
}

void parse_args_tuple(const char *func, const char *const *names, Py_ssize_t nparams, Py_ssize_t nrequired,
                      PyObject *args, PyObject *kwargs, PyObject **out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) {
        parse_args(func, names, nparams, nrequired, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
        return;
    }
    // Lay the call out in vectorcall form; borrowed items stay alive in args/kwargs.
    Ref kwnames = own(PyTuple_New(nkw));
    PyObject *stack[16];
    if (nargs + nkw > 16) raise_arg_count(func, nrequired == nparams, nrequired, nparams, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        stack[nargs + k++] = value;
    }
    parse_args(func, names, nparams, nrequired, stack, nargs, kwnames.get(), out);
}

void check_exact_type(PyObject *obj, PyTypeObject *type, const char *argname, bool none_ok) {
    if (Py_IS_TYPE(obj, type) || (none_ok && obj == Py_None)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    throw PyErrOccurred();
}

// ---- integers ----------------------------------------------------------------

// An int as is; anything else through its __int__ (so a float is truncated).
static Ref as_pylong(PyObject *o) {
    if (PyLong_Check(o)) return Ref::borrow(o);
    PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        throw PyErrOccurred();
    }
    Ref r = own(nb->nb_int(o));
    if (!PyLong_Check(r.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
        throw PyErrOccurred();
    }
    return r;
}

[[noreturn]] static void overflow(const char *fmt, const char *ctype) {
    PyErr_Format(PyExc_OverflowError, fmt, ctype);
    throw PyErrOccurred();
}

static unsigned long long as_unsigned(PyObject *o, unsigned long long max, const char *ctype) {
    Ref v = as_pylong(o);
    int over = 0;
    long long s = PyLong_AsLongLongAndOverflow(v.get(), &over);
    if (s == -1 && PyErr_Occurred()) throw PyErrOccurred();
    if (over < 0 || (over == 0 && s < 0)) overflow("can't convert negative value to %s", ctype);
    unsigned long long u = over == 0 ? (unsigned long long)s : PyLong_AsUnsignedLongLong(v.get());
    if (u == (unsigned long long)-1 && PyErr_Occurred()) {
        PyErr_Clear();
        overflow("value too large to convert to %s", ctype);
    }
    if (u > max) overflow("value too large to convert to %s", ctype);
    return u;
}

size_t as_size_t(PyObject *o) { return (size_t)as_unsigned(o, SIZE_MAX, "size_t"); }
uint16_t as_uint16(PyObject *o) { return (uint16_t)as_unsigned(o, UINT16_MAX, "uint16_t"); }
uint64_t as_uint64(PyObject *o) { return (uint64_t)as_unsigned(o, UINT64_MAX, "size_t"); }

int32_t as_int32(PyObject *o) {
    Ref v = as_pylong(o);
    int over = 0;
    long long s = PyLong_AsLongLongAndOverflow(v.get(), &over);
    if (s == -1 && PyErr_Occurred()) throw PyErrOccurred();
    if (over != 0 || s > INT32_MAX || s < INT32_MIN) overflow("value too large to convert to %s", "int");
    return (int32_t)s;
}

bool truth(PyObject *o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    int r = PyObject_IsTrue(o);
    if (r < 0) throw PyErrOccurred();
    return r != 0;
}

// ---- failures ----------------------------------------------------------------

static PyObject *tb_globals = nullptr;  // borrowed: the module dict lives for the process

void set_traceback_globals(PyObject *globals) noexcept { tb_globals = globals; }

void add_traceback(const char *where) noexcept {
    PyObject *exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty("ferrylink.cpp", where, 0)));
    Ref globals = tb_globals ? Ref::borrow(tb_globals) : Ref::steal(PyDict_New());
    Ref frame;
    if (code && globals)
        frame = Ref::steal(reinterpret_cast<PyObject *>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), globals.get(), nullptr)));
    PyErr_Clear();  // a failure to make the entry leaves the exception as it was
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

void write_unraisable(const char *context) noexcept {
    PyObject *exc = PyErr_GetRaisedException();
    if (!exc) return;
    // Display only: PyErr_Print would exit the process on SystemExit.
    PyErr_DisplayException(exc);
    Ref ctx = Ref::steal(PyUnicode_FromString(context));
    PyErr_SetRaisedException(exc);
    PyErr_WriteUnraisable(ctx.get());
}

// ---- function objects ------------------------------------------------------

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

Ref make_function(const FunctionDef *def, PyObject *module_name, PyObject *defaults, PyObject *annotations) {
    auto *f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) throw PyErrOccurred();
    f->vectorcall = function_vectorcall;
    f->def = def;
    f->dict = nullptr;
    f->module = Py_XNewRef(module_name);
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

void add_method(PyTypeObject *type, const char *key, const FunctionDef *def, PyObject *defaults,
                PyObject *annotations) {
    Ref modname = own(PyUnicode_FromString("nimbo.utils.ferrylink.ferrylink"));
    Ref fn = make_function(def, modname.get(), defaults, annotations);
    check(PyDict_SetItemString(type->tp_dict, key, fn.get()));
    PyType_Modified(type);
}

void set_vtable(PyTypeObject *type, const void *vtable) {
    Ref cap = own(PyCapsule_New(const_cast<void *>(vtable), nullptr, nullptr));
    check(PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", cap.get()));
    PyType_Modified(type);
}

}  // namespace ferry
