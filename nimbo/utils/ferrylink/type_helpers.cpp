#include "type_helpers.hpp"
#include "compat.hpp"

namespace ferry {

bool call_override(PyObject *self, PyTypeObject *base, PyObject *own_function, const char *name, PyObject *args,
                   Ref *result) {
    if (Py_IS_TYPE(self, base)) return false;
    Ref meth = own(PyObject_GetAttrString(self, name));
    if (PyMethod_Check(meth.get()) && PyMethod_GET_FUNCTION(meth.get()) == own_function) return false;
    Ref r = own(PyObject_Call(meth.get(), args, nullptr));
    if (result) *result = std::move(r);
    return true;
}

PyObject *refuse_reduce(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard([&]() -> PyObject * {
        reduce_signature.parse(args, nargs, kwnames);
        PyErr_SetString(PyExc_TypeError, compat::no_pickle);
        throw PyErrOccurred();
    });
}

PyObject *refuse_setstate(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard([&]() -> PyObject * {
        setstate_signature.parse(args, nargs, kwnames);
        PyErr_SetString(PyExc_TypeError, compat::no_pickle);
        throw PyErrOccurred();
    });
}

}  // namespace ferry
