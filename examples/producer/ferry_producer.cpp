// Example native producer, built from ferrylink.h alone (see setup.py).
//
// Producer(target, count, coalesced=False): a thread of this module pushes
// the numbered messages b"0", b"1", ... into an AsyncDispatcher, a
// SyncDispatcher or a CyPipe, without the interpreter lock; with coalesced,
// through the dispatchers' push path for high rates.
// PipeReader(pipe): a thread that pops a CyPipe and checks the numbers until
// the pipe is closed; its join() and its deallocation wait for that.
// close_pipe(pipe): closes the pipe's ring, which releases a waiting reader.
#include <Python.h>
#include <ferrylink.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

namespace {

using Push = int (*)(PyObject *target, const char *data, size_t size);

// The target's own push entry (`_push_fn` matches the modes it was made
// with); nullptr with TypeError for an object of another type.
Push push_entry(PyObject *target) {
    if (PyObject_TypeCheck(target, ferry_api.AsyncDispatcher))
        return [](PyObject *t, const char *d, size_t n) {
            auto *a = reinterpret_cast<ferry_async_dispatcher *>(t);
            return a->_push_fn(a, d, n);
        };
    if (PyObject_TypeCheck(target, ferry_api.SyncDispatcher))
        return [](PyObject *t, const char *d, size_t n) {
            auto *s = reinterpret_cast<ferry_sync_dispatcher *>(t);
            return s->_push_fn(s, d, n);
        };
    if (PyObject_TypeCheck(target, ferry_api.CyPipe))
        return [](PyObject *t, const char *d, size_t n) {
            auto *p = reinterpret_cast<ferry_pipe *>(t);
            return p->_push_fn(p, d, n);
        };
    PyErr_Format(PyExc_TypeError, "cannot push into %.200s", Py_TYPE(target)->tp_name);
    return nullptr;
}

// [coalesced push]
// The push path for high rates: a wake-up datagram only when the consumer is
// about to sleep, instead of one per message. A SyncDispatcher with
// nonblocking=False sends no datagrams at all: its `_push_fn` is
// already the fast path. through_table<D, &table::entry> calls that entry of
// the dispatcher's method table.
template <class Dispatcher, auto entry>
int through_table(PyObject *t, const char *d, size_t n) {
    auto *o = reinterpret_cast<Dispatcher *>(t);
    return (o->vtab->*entry)(o, d, n);
}

Push coalesced_push_entry(PyObject *target) {
    using A = ferry_async_dispatcher;
    using S = ferry_sync_dispatcher;
    if (PyObject_TypeCheck(target, ferry_api.AsyncDispatcher))
        return reinterpret_cast<A *>(target)->_variable_size
                   ? through_table<A, &ferry_async_dispatcher_vtable::push_var_coalesced>
                   : through_table<A, &ferry_async_dispatcher_vtable::push_coalesced>;
    if (PyObject_TypeCheck(target, ferry_api.SyncDispatcher) && reinterpret_cast<S *>(target)->_nonblocking)
        return reinterpret_cast<S *>(target)->_variable_size
                   ? through_table<S, &ferry_sync_dispatcher_vtable::push_var_coalesced>
                   : through_table<S, &ferry_sync_dispatcher_vtable::push_coalesced>;
    return push_entry(target);  // waiting SyncDispatcher, CyPipe, or TypeError
}
// [end]

// A native thread plus the Python object it works on. The object holds a
// strong reference to its target, so the target outlives the thread.
struct Worker {
    PyObject_HEAD
    PyObject *target;
    std::thread *thread;
    unsigned long long count;  // messages to push (Producer: then pushed) or received (PipeReader)
    int last;                  // the result that ended the loop
    bool in_order;             // PipeReader: every number was the next one
};

void join_thread(Worker *w) {
    if (!w->thread || !w->thread->joinable()) return;
    Py_BEGIN_ALLOW_THREADS
    w->thread->join();
    Py_END_ALLOW_THREADS
}

void worker_dealloc(PyObject *o) {
    auto *w = reinterpret_cast<Worker *>(o);
    join_thread(w);  // the thread uses the target: stop it before letting go
    delete w->thread;
    Py_XDECREF(w->target);
    PyTypeObject *type = Py_TYPE(o);
    type->tp_free(o);
    Py_DECREF(type);
}

// A new Worker on `target` whose thread runs body(worker, args...).
template <class... A>
PyObject *start_worker(PyTypeObject *type, PyObject *target, unsigned long long count,
                       void (*body)(Worker *, A...), A... args) {
    auto *w = reinterpret_cast<Worker *>(type->tp_alloc(type, 0));
    if (!w) return nullptr;
    w->target = Py_NewRef(target);
    w->count = count;
    w->in_order = true;
    try {
        w->thread = new std::thread(body, w, args...);
    } catch (const std::exception &e) {  // no C++ exception may reach CPython
        PyErr_Format(PyExc_RuntimeError, "cannot start a thread: %s", e.what());
        Py_DECREF(w);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(w);
}

// [producer loop]
// Retries while the target is full; stops at the first refusal that will
// not pass (too large, or closed).
void produce(Worker *w, Push push) {
    char text[24];
    for (unsigned long long i = 0; i < w->count; ++i) {
        int size = std::snprintf(text, sizeof text, "%llu", i);
        int r;
        while ((r = push(w->target, text, static_cast<size_t>(size))) == FERRY_FULL)
            std::this_thread::yield();
        if (r < 0) {  // FERRY_TOO_LARGE or FERRY_CLOSED
            w->count = i;
            w->last = r;
            return;
        }
    }
    w->last = FERRY_ACCEPTED;
}
// [end]

PyObject *producer_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"target", "count", "coalesced", nullptr};
    PyObject *target;
    unsigned long long count;
    int coalesced = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OK|p", const_cast<char **>(names), &target, &count,
                                     &coalesced))
        return nullptr;
    Push push = coalesced ? coalesced_push_entry(target) : push_entry(target);
    return push ? start_worker(type, target, count, produce, push) : nullptr;
}

// [reader loop]
// `_pop_fn` waits while the pipe is empty; once the pipe's ring is closed it
// hands out what is left, then returns FERRY_CLOSED.
void read_pipe(Worker *w) {
    auto *p = reinterpret_cast<ferry_pipe *>(w->target);
    const char *data;
    size_t size;
    int r;
    while ((r = p->_pop_fn(p, &data, &size)) == FERRY_MESSAGE) {
        char text[24];
        std::snprintf(text, sizeof text, "%.*s", static_cast<int>(size), data);
        p->_release_fn(p);  // data is not valid after this
        if (std::strtoull(text, nullptr, 10) != w->count) w->in_order = false;
        ++w->count;
    }
    w->last = r;
}
// [end]

PyObject *reader_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"pipe", nullptr};
    PyObject *pipe;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!", const_cast<char **>(names), ferry_api.CyPipe, &pipe))
        return nullptr;
    return start_worker(type, pipe, 0, read_pipe);
}

// Producer.join() -> (pushed, last result): waits for the thread.
PyObject *producer_join(PyObject *o, PyObject *) {
    auto *w = reinterpret_cast<Worker *>(o);
    join_thread(w);
    return Py_BuildValue("(Ki)", w->count, w->last);
}

// PipeReader.join() -> (received, last result, in order): waits for the thread.
PyObject *reader_join(PyObject *o, PyObject *) {
    auto *w = reinterpret_cast<Worker *>(o);
    join_thread(w);
    return Py_BuildValue("(KiO)", w->count, w->last, w->in_order ? Py_True : Py_False);
}

// [close pipe]
// CyPipe has no close of its own: closing its ring `_q` wakes a waiting
// reader (and a producer waiting with block_on_full). Here through the ring's
// Python method, with the interpreter lock held.
PyObject *close_pipe(PyObject *, PyObject *pipe) {
    if (!PyObject_TypeCheck(pipe, ferry_api.CyPipe)) {
        PyErr_SetString(PyExc_TypeError, "close_pipe() needs a CyPipe");
        return nullptr;
    }
    return PyObject_CallMethod(reinterpret_cast<ferry_pipe *>(pipe)->_q, "close", nullptr);
}
// [end]

PyMethodDef producer_methods[] = {
    {"join", producer_join, METH_NOARGS, "join() -> (pushed, last result)"},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef reader_methods[] = {
    {"join", reader_join, METH_NOARGS, "join() -> (received, last result, in order)"},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot producer_slots[] = {{Py_tp_new, reinterpret_cast<void *>(producer_new)},
                                {Py_tp_dealloc, reinterpret_cast<void *>(worker_dealloc)},
                                {Py_tp_methods, producer_methods},
                                {0, nullptr}};
PyType_Slot reader_slots[] = {{Py_tp_new, reinterpret_cast<void *>(reader_new)},
                              {Py_tp_dealloc, reinterpret_cast<void *>(worker_dealloc)},
                              {Py_tp_methods, reader_methods},
                              {0, nullptr}};
PyType_Spec producer_spec = {"ferry_producer.Producer", sizeof(Worker), 0, Py_TPFLAGS_DEFAULT, producer_slots};
PyType_Spec reader_spec = {"ferry_producer.PipeReader", sizeof(Worker), 0, Py_TPFLAGS_DEFAULT, reader_slots};

int module_exec(PyObject *m) {
    if (ferry_import() < 0) return -1;  // once, with the interpreter lock held
    if (PyModule_Add(m, "Producer", PyType_FromSpec(&producer_spec)) < 0) return -1;
    return PyModule_Add(m, "PipeReader", PyType_FromSpec(&reader_spec));
}

PyMethodDef module_methods[] = {
    {"close_pipe", close_pipe, METH_O, "close_pipe(pipe): closes the pipe's ring"},
    {nullptr, nullptr, 0, nullptr},
};
PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void *>(module_exec)}, {0, nullptr}};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "ferry_producer", nullptr, 0, module_methods, module_slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_ferry_producer(void) { return PyModuleDef_Init(&module_def); }
