// AsyncQueue's reduce protocol: a state tuple of its seven fields (names in
// alphabetical order) and the reconstruction function __pyx_unpickle_AsyncQueue.
#include "asyncqueue.hpp"
#include "compat.hpp"
#include "module_state.hpp"
#include "ring_field.hpp"
#include "signature.hpp"
#include "type_helpers.hpp"

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
        PyErr_Format(PyExc_TypeError, compat::ring_not_converted, Py_TYPE(q)->tp_name, state.spsc_type->tp_name);
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

struct UnpickleArgs {
    PyObject *type = nullptr;
    int32_t checksum = 0;
    PyObject *state = nullptr;
};
constexpr auto unpickle_signature = signature<UnpickleArgs>("__pyx_unpickle_AsyncQueue", {
    {"__pyx_type", &UnpickleArgs::type, kRequired},
    {"__pyx_checksum", &UnpickleArgs::checksum, kRequired},
    {"__pyx_state", &UnpickleArgs::state, kRequired},
});

PyObject *unpickle_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard(FERRY_MODULE_NAME ".__pyx_unpickle_AsyncQueue", [&] {
        UnpickleArgs a = unpickle_signature.parse(args, nargs, kwnames);
        check_exact_type(a.state, &PyTuple_Type, "__pyx_state", true);
        compat::check_checksum(a.checksum);
        // AsyncQueue.__new__(__pyx_type): checks the type, runs no constructor.
        Ref new_fn = own(PyObject_GetAttr(reinterpret_cast<PyObject *>(&AsyncQueueType), FERRY_STR("__new__")));
        Ref result = own(PyObject_CallOneArg(new_fn.get(), a.type));
        if (a.state != Py_None) apply_state(result.get(), a.state);
        return result.release();
    });
}

}  // namespace

PyObject *async_queue_reduce(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard(FERRY_QUEUE_PATH "__reduce__", [&] {
        reduce_signature.parse(args, nargs, kwnames);
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
        PyObject *st = setstate_signature.parse(args, nargs, kwnames).state;
        if (st == Py_None) {
            PyErr_SetString(PyExc_TypeError, compat::state_is_none);
            throw PyErrOccurred();
        }
        if (!PyTuple_CheckExact(st)) {
            PyErr_Format(PyExc_TypeError, compat::state_not_tuple, "tuple", Py_TYPE(st)->tp_name);
            throw PyErrOccurred();
        }
        apply_state(o, st);
        return Py_NewRef(Py_None);
    });
}

const FunctionDef unpickle_async_queue_def = {
    "__pyx_unpickle_AsyncQueue", "__pyx_unpickle_AsyncQueue",
    "__pyx_unpickle_AsyncQueue(__pyx_type, long __pyx_checksum, tuple __pyx_state)", unpickle_impl, nullptr, false,
    &unpickle_signature};

}  // namespace ferry
