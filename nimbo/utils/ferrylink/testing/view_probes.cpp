// Probes of CBufferView and the exported conversion functions, as another
// native module sees them: loads through the table and `loader`, the view's
// fields, and every out-parameter of the four functions.
#include "ferrytest.hpp"

#include <cstring>

namespace ft {

namespace {

// Out-parameters are preset to these, so a probe can tell "left unchanged".
const char start_sentinel[] = "unchanged";
constexpr size_t length_sentinel = 0x5eed;

PyObject *address(const void *p) { return PyLong_FromVoidPtr(const_cast<void *>(p)); }

// The loaded bytes (a copy), or None when `data` is null.
PyObject *content(const char *data, size_t size) {
    if (!data) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(data, (Py_ssize_t)size);
}

ferry_buffer_view *as_view(PyObject *o) {
    if (PyObject_TypeCheck(o, ferry_api.CBufferView)) return (ferry_buffer_view *)o;
    PyErr_Format(PyExc_TypeError, "not a CBufferView: %.200s", Py_TYPE(o)->tp_name);
    return nullptr;
}

struct Entry {
    const char *name;
    ferry_load_fn ferry_buffer_view_vtable::*field;
};
const Entry entries[] = {
    {"_load_bytes", &ferry_buffer_view_vtable::_load_bytes}, {"_load_buf", &ferry_buffer_view_vtable::_load_buf},
    {"_load_str", &ferry_buffer_view_vtable::_load_str},     {"_load_obj", &ferry_buffer_view_vtable::_load_obj},
    {"_load", &ferry_buffer_view_vtable::_load},
};

// Which table entry `fn` is ("null" or "other" when none).
const char *entry_name(ferry_load_fn fn) {
    if (!fn) return "null";
    for (const Entry &e : entries)
        if (ferry_api.buffer_view->*e.field == fn) return e.name;
    return "other";
}

// A result must be 0 with no exception, or -1 with one.
PyObject *checked(int rc) {
    bool raised = PyErr_Occurred() != nullptr;
    if (rc == -1 && raised) return nullptr;
    if (rc == 0 && !raised) return PyLong_FromLong(0);
    if (raised) PyErr_Clear();
    return PyErr_Format(PyExc_AssertionError, "load returned %d with%s an exception set", rc, raised ? "" : "out");
}

// view_load(view, entry, obj) -> 0, or raises the load's exception. `entry`
// names a table entry, or "loader" for the field the constructor chose.
PyObject *view_load(PyObject *, PyObject *args) {
    PyObject *o, *obj;
    const char *name;
    if (!PyArg_ParseTuple(args, "OsO", &o, &name, &obj)) return nullptr;
    ferry_buffer_view *v = as_view(o);
    if (!v) return nullptr;
    if (v->vtab != ferry_api.buffer_view) return PyErr_Format(PyExc_AssertionError, "foreign table pointer");
    ferry_load_fn fn = nullptr;
    if (std::strcmp(name, "loader") == 0) fn = v->loader;
    for (const Entry &e : entries)
        if (std::strcmp(name, e.name) == 0) fn = v->vtab->*e.field;
    if (!fn) return PyErr_Format(PyExc_ValueError, "no load entry %s", name);
    return checked(fn(v, obj));
}

// view_fields(view) -> dict of the native fields.
PyObject *view_fields(PyObject *, PyObject *o) {
    ferry_buffer_view *v = as_view(o);
    if (!v) return nullptr;
    return Py_BuildValue("{sNsnsisOsOsNsssN}", "data", address(v->data), "size", (Py_ssize_t)v->size, "msg_kind",
                         (int)v->msg_kind, "held", v->held ? v->held : Py_None, "exporter",
                         v->pybuf.obj ? v->pybuf.obj : Py_None, "export_buf", address(v->pybuf.buf), "loader",
                         entry_name(v->loader), "content", content(v->data, v->size));
}

// buffer_address(obj) -> where a simple buffer export of obj starts.
PyObject *buffer_address(PyObject *, PyObject *obj) {
    Py_buffer b;
    if (PyObject_GetBuffer(obj, &b, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject *r = address(b.buf);
    PyBuffer_Release(&b);
    return r;
}

PyObject *sentinels(PyObject *, PyObject *) {
    return Py_BuildValue("(Nn)", address(start_sentinel), (Py_ssize_t)length_sentinel);
}

void release_record(PyObject *capsule) {
    auto *record = (Py_buffer *)PyCapsule_GetPointer(capsule, "ferrytest.record");
    PyBuffer_Release(record);
    delete record;
}

// cbuf(name, obj) -> dict: the result code, `start` and `length` (preset to
// the sentinels), `data` (a copy of the view), `error` (the exception, taken
// and cleared), and `owner` (obj_to_cbuf's slot, preset non-null) or `record`
// (buf_to_cbuf's export, released when the capsule goes; None without one).
PyObject *cbuf(PyObject *, PyObject *args) {
    const char *name;
    PyObject *obj;
    if (!PyArg_ParseTuple(args, "sO", &name, &obj)) return nullptr;
    const char *start = start_sentinel;
    size_t length = length_sentinel;
    PyObject *owner = Py_NotImplemented;  // borrowed sentinel; a new reference after the call
    PyObject *record = Py_NewRef(Py_None);
    int rc;
    if (std::strcmp(name, "obj_to_cbuf") == 0) {
        rc = ferry_api.obj_to_cbuf(obj, &owner, &start, &length);
        if (owner == Py_NotImplemented) Py_INCREF(owner);  // left unchanged: report it as such
    } else if (std::strcmp(name, "buf_to_cbuf") == 0) {
        auto *b = new Py_buffer;
        std::memset(b, 0, sizeof *b);
        rc = ferry_api.buf_to_cbuf(obj, b, &start, &length);
        if (b->obj) {
            Py_SETREF(record, PyCapsule_New(b, "ferrytest.record", release_record));
            if (!record) return nullptr;
        } else {
            delete b;
        }
        owner = Py_NewRef(Py_None);
    } else if (std::strcmp(name, "bytes_to_cbuf") == 0 || std::strcmp(name, "str_to_cbuf") == 0) {
        auto fn = name[0] == 'b' ? ferry_api.bytes_to_cbuf : ferry_api.str_to_cbuf;
        rc = fn(obj, &start, &length);
        owner = Py_NewRef(Py_None);
    } else {
        Py_DECREF(record);
        return PyErr_Format(PyExc_ValueError, "no conversion function %s", name);
    }
    PyObject *error = PyErr_GetRaisedException();
    PyObject *data = rc == 0 && start ? content(start, length) : Py_NewRef(Py_None);
    return Py_BuildValue("{sisNsnsNsNsNsN}", "rc", rc, "start", address(start), "length", (Py_ssize_t)length, "data",
                         data, "owner", owner ? owner : Py_NewRef(Py_None), "record", record, "error",
                         error ? error : Py_NewRef(Py_None));
}

}  // namespace

PyMethodDef view_methods[] = {
    {"view_load", boundary<view_load>, METH_VARARGS, "view_load(view, entry, obj) -> 0"},
    {"view_fields", boundary<view_fields>, METH_O, "view_fields(view) -> dict"},
    {"buffer_address", boundary<buffer_address>, METH_O, "buffer_address(obj) -> int"},
    {"sentinels", boundary<sentinels>, METH_NOARGS, "sentinels() -> (start, length) preset by cbuf"},
    {"cbuf", boundary<cbuf>, METH_VARARGS, "cbuf(name, obj) -> dict"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ft
