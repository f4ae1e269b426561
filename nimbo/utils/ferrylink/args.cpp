#include "args.hpp"
#include <climits>

namespace ferry {

// ---- parsing -----------------------------------------------------------------

void raise_arg_count(const char *func, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    Py_ssize_t expected = given < min ? min : max;
    const char *how = exact ? "exactly" : (given < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, how, expected,
                 expected == 1 ? "" : "s", given);
    throw PyErrOccurred();
}

void parse_args(const char *func, const char *const *names, Py_ssize_t nparams, Py_ssize_t nrequired, bool star,
                PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
    bool exact = nrequired == nparams;
    if (nargs > nparams && !star) raise_arg_count(func, exact, nrequired, nparams, nargs);
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
        parse_args(func, names, nparams, nrequired, false, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
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
    parse_args(func, names, nparams, nrequired, false, stack, nargs, kwnames.get(), out);
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

[[noreturn]] static void overflow(const char *arg, const char *what, const char *ctype) {
    if (arg)
        PyErr_Format(PyExc_OverflowError, "argument '%s': %s %s", arg, what, ctype);
    else
        PyErr_Format(PyExc_OverflowError, "%s %s", what, ctype);
    throw PyErrOccurred();
}

unsigned long long as_unsigned(PyObject *o, unsigned long long max, const char *ctype, const char *arg) {
    Ref v = as_pylong(o);
    int over = 0;
    long long s = PyLong_AsLongLongAndOverflow(v.get(), &over);
    if (s == -1 && PyErr_Occurred()) throw PyErrOccurred();
    if (over < 0 || (over == 0 && s < 0)) overflow(arg, "can't convert negative value to", ctype);
    unsigned long long u = over == 0 ? (unsigned long long)s : PyLong_AsUnsignedLongLong(v.get());
    if (u == (unsigned long long)-1 && PyErr_Occurred()) {
        PyErr_Clear();
        overflow(arg, "value too large to convert to", ctype);
    }
    if (u > max) overflow(arg, "value too large to convert to", ctype);
    return u;
}

size_t as_size_t(PyObject *o, const char *arg) { return (size_t)as_unsigned(o, SIZE_MAX, "size_t", arg); }
uint16_t as_uint16(PyObject *o, const char *arg) { return (uint16_t)as_unsigned(o, UINT16_MAX, "uint16_t", arg); }

int32_t as_int32(PyObject *o, const char *arg) {
    Ref v = as_pylong(o);
    int over = 0;
    long long s = PyLong_AsLongLongAndOverflow(v.get(), &over);
    if (s == -1 && PyErr_Occurred()) throw PyErrOccurred();
    if (over != 0 || s > INT32_MAX || s < INT32_MIN) overflow(arg, "value too large to convert to", "int");
    return (int32_t)s;
}

bool truth(PyObject *o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    int r = PyObject_IsTrue(o);
    if (r < 0) throw PyErrOccurred();
    return r != 0;
}

}  // namespace ferry
