// Probes of AsyncQueue: its native method table and its (hidden) fields.
#include "ferrytest.hpp"

namespace ft {
namespace {

// queue_start_dispatcher(q, callback, skip_dispatch): the native table entry.
PyObject *queue_start_dispatcher(PyObject *, PyObject *args) {
    PyObject *q, *callback;
    int skip;
    if (!PyArg_ParseTuple(args, "O!Oi", ferry_api.AsyncQueue, &q, &callback, &skip)) return nullptr;
    return ferry_api.async_queue->start_dispatcher((ferry_async_queue *)q, callback, skip);
}

// queue_fields(q) -> dict of the fields, and whether the instance points at
// the published method table.
PyObject *queue_fields(PyObject *, PyObject *q) {
    if (!PyObject_TypeCheck(q, ferry_api.AsyncQueue))
        return PyErr_Format(PyExc_TypeError, "no field probe for %.200s", Py_TYPE(q)->tp_name);
    auto *a = (ferry_async_queue *)q;
    return Py_BuildValue("{sOsOsOsOsOsOsisOsOsn}", "_q", a->_q, "_loop", a->_loop, "_callback", a->_callback, "_lock",
                         a->_lock, "_notify_cond", a->_notify_cond, "_task", a->_task, "_running", a->_running,
                         "vtab_ok", a->vtab == ferry_api.async_queue ? Py_True : Py_False, "_space_cond",
                         a->_space_cond, "_space_waiters", a->_space_waiters);
}

}  // namespace

PyMethodDef queue_methods[] = {
    {"queue_start_dispatcher", boundary<queue_start_dispatcher>, METH_VARARGS,
     "queue_start_dispatcher(q, callback, skip_dispatch) -> result of the native entry"},
    {"queue_fields", boundary<queue_fields>, METH_O, "queue_fields(q) -> dict"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ft
