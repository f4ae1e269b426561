#include "buffers.hpp"
#include "module_state.hpp"

namespace ferry {

// ---- conversion functions ---------------------------------------------------
// All four run with the interpreter lock held and return 0, or -1 with the
// runtime's exception left set for the caller.

int obj_to_cbuf(PyObject *obj, PyObject **owner, const char **start, size_t *length) noexcept {
    *owner = PyObject_Bytes(obj);
    if (!*owner) return -1;
    *start = PyBytes_AS_STRING(*owner);
    *length = (size_t)PyBytes_GET_SIZE(*owner);
    return 0;
}

int buf_to_cbuf(PyObject *obj, Py_buffer *record, const char **start, size_t *length) noexcept {
    if (PyObject_GetBuffer(obj, record, PyBUF_SIMPLE) < 0) return -1;
    *start = static_cast<const char *>(record->buf);
    *length = (size_t)record->len;
    return 0;
}

// Checks the type although callers promise a bytes object: a wrong object
// must not turn into a read of foreign memory.
int bytes_to_cbuf(PyObject *obj, const char **start, size_t *length) noexcept {
    if (!PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected bytes, got %.200s", Py_TYPE(obj)->tp_name);
        return -1;
    }
    *start = PyBytes_AS_STRING(obj);
    *length = (size_t)PyBytes_GET_SIZE(obj);
    return 0;
}

int str_to_cbuf_for(const char *who, PyObject *obj, const char **start, size_t *length) noexcept {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s() argument must be str, not %.200s", who, Py_TYPE(obj)->tp_name);
        *start = nullptr;
        return -1;
    }
    Py_ssize_t n = 0;
    *start = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!*start) return -1;
    *length = (size_t)n;
    return 0;
}

int str_to_cbuf(PyObject *obj, const char **start, size_t *length) noexcept {
    return str_to_cbuf_for("str_to_cbuf", obj, start, length);
}

}  // namespace ferry
