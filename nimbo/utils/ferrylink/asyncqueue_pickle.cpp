// AsyncQueue's reduce protocol: a state tuple of its seven fields (names in
// alphabetical order) and the reconstruction function __pyx_unpickle_AsyncQueue.
#include "args.hpp"
#include "asyncqueue.hpp"
#include "compat.hpp"
#include "module_state.hpp"
#include "ring_field.hpp"

namespace ferry {
namespace {

using AsyncQueue = ferry_async_queue;

PyObject *item(PyObject *tuple, Py_ssize_t i) {
    if (i >= PyTuple_GET_SIZE(tuple)) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        throw PyErrOccurred();
    }
    return PyTuple_GET_ITEM(tuple, i);
}

// Field by field; a failure leaves the fields assigned before it in place.
void apply_state(PyObject *o, PyObject *st) {
    AsyncQueue *self = reinterpret_cast<AsyncQueue *>(o);
    assign_borrowed(self->_callback, item(st, 0));
    assign_borrowed(self->_lock, item(st, 1));
    assign_borrowed(self->_loop, item(st, 2));
    assign_borrowed(self->_notify_cond, item(st, 3));
    PyObject *q = item(st, 4);
    if (q != Py_None && !is_ring(q)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(q)->tp_name, state.spsc_type->tp_name);
        throw PyErrOccurred();
    }
    if (q != Py_None && used_as_variable(q)) {  // AsyncQueue pops fixed slots: it would misread the records
        PyErr_SetString(PyExc_ValueError,
                        "AsyncQueue state: the SPSCQueue is used through its variable-size (_var) forms; AsyncQueue "
                        "uses the fixed-slot forms");
        throw PyErrOccurred();
    }
    replace_queue_ring(o, q);
    self->_running = truth(item(st, 5));
    assign_borrowed(self->_task, item(st, 6));
    if (PyTuple_GET_SIZE(st) > 7 && truth(PyTuple_GET_ITEM(st, 7))) {
        Ref dict = own(PyObject_GetAttr(o, FERRY_STR("__dict__")));
        PyObject *args[] = {dict.get(), PyTuple_GET_ITEM(st, 7)};
        own(PyObject_VectorcallMethod(FERRY_STR("update"), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
}

PyObject *unpickle_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard(FERRY_MODULE_NAME ".__pyx_unpickle_AsyncQueue", [&] {
        static const char *const names[] = {"__pyx_type", "__pyx_checksum", "__pyx_state"};
        PyObject *a[3];
        parse_args("__pyx_unpickle_AsyncQueue", names, 3, 3, args, nargs, kwnames, a);
        int32_t checksum = as_int32(a[1], "__pyx_checksum");
        check_exact_type(a[2], &PyTuple_Type, "__pyx_state", true);
        compat::check_checksum(checksum);
        // AsyncQueue.__new__(__pyx_type): checks the type, runs no constructor.
        Ref new_fn = own(PyObject_GetAttr(reinterpret_cast<PyObject *>(&AsyncQueueType), FERRY_STR("__new__")));
        Ref result = own(PyObject_CallOneArg(new_fn.get(), a[0]));
        if (a[2] != Py_None) apply_state(result.get(), a[2]);
        return result.release();
    });
}

}  // namespace

PyObject *async_queue_reduce(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard(FERRY_QUEUE_PATH "__reduce__", [&] {
        parse_args("__reduce__", nullptr, 0, 0, args, nargs, kwnames, nullptr);
        AsyncQueue *self = reinterpret_cast<AsyncQueue *>(o);
        PyObject *fields[] = {self->_callback, self->_lock, self->_loop, self->_notify_cond, self->_q, self->_task};
        bool with_state = false;
        for (PyObject *f : fields) with_state = with_state || f != Py_None;

        PyObject *found = nullptr;
        if (PyObject_GetOptionalAttr(o, FERRY_STR("__dict__"), &found) < 0) throw PyErrOccurred();
        Ref dict = Ref::steal(found);
        bool keep_dict = dict && dict.get() != Py_None && truth(dict.get());
        Ref st = own(PyTuple_New(keep_dict ? 8 : 7));
        PyObject *items[] = {self->_callback, self->_lock, self->_loop, self->_notify_cond, self->_q,
                             self->_running ? Py_True : Py_False, self->_task, dict.get()};
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(st.get()); ++i)
            PyTuple_SET_ITEM(st.get(), i, Py_NewRef(items[i]));

        Ref unpickle = global("__pyx_unpickle_AsyncQueue");
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(o));
        if (with_state || keep_dict)
            return Py_BuildValue("(O(OlO)O)", unpickle.get(), type, compat::written_checksum, Py_None, st.get());
        return Py_BuildValue("(O(OlO))", unpickle.get(), type, compat::written_checksum, st.get());
    });
}

PyObject *async_queue_setstate(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard(FERRY_QUEUE_PATH "__setstate__", [&] {
        static const char *const names[] = {"__pyx_state"};
        PyObject *st;
        parse_args("__setstate__", names, 1, 1, args, nargs, kwnames, &st);
        if (st == Py_None) {
            PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
            throw PyErrOccurred();
        }
        if (!PyTuple_CheckExact(st)) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(st)->tp_name);
            throw PyErrOccurred();
        }
        apply_state(o, st);
        return Py_NewRef(Py_None);
    });
}

const FunctionDef unpickle_async_queue_def = {
    "__pyx_unpickle_AsyncQueue", "__pyx_unpickle_AsyncQueue",
    "__pyx_unpickle_AsyncQueue(__pyx_type, long __pyx_checksum, tuple __pyx_state)", unpickle_impl, nullptr, false};

}  // namespace ferry
