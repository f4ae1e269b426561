// Test-only module `nimbo.utils.ferrylink._ferrytest`, built from the public
// header alone (as a user's module would be): native producer threads that
// push through the method tables and `_push_fn` without the interpreter lock,
// and a few probes of the instance layouts.
#include "ferrytest.hpp"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace ft;

namespace {

// ---- push entries -----------------------------------------------------------------

int adisp_push(PyObject *t, const char *d, size_t n) {
    return ferry_api.async_dispatcher->push((ferry_async_dispatcher *)t, d, n);
}
int adisp_push_var(PyObject *t, const char *d, size_t n) {
    return ferry_api.async_dispatcher->push_var((ferry_async_dispatcher *)t, d, n);
}
int adisp_push_coalesced(PyObject *t, const char *d, size_t n) {
    return ferry_api.async_dispatcher->push_coalesced((ferry_async_dispatcher *)t, d, n);
}
int adisp_push_var_coalesced(PyObject *t, const char *d, size_t n) {
    return ferry_api.async_dispatcher->push_var_coalesced((ferry_async_dispatcher *)t, d, n);
}
int adisp_push_fn(PyObject *t, const char *d, size_t n) {
    auto *a = (ferry_async_dispatcher *)t;
    return a->_push_fn ? a->_push_fn(a, d, n) : -100;
}

}  // namespace

PushCall ft::resolve(PyObject *target, const std::string &name) {
    if (PyObject_TypeCheck(target, ferry_api.AsyncDispatcher)) {
        if (name == "push") return adisp_push;
        if (name == "push_var") return adisp_push_var;
        if (name == "push_fn") return adisp_push_fn;
        if (name == "push_coalesced") return adisp_push_coalesced;
        if (name == "push_var_coalesced") return adisp_push_var_coalesced;
    }
    if (PushCall c = resolve_sync(target, name)) return c;
    if (PushCall c = resolve_pipe(target, name)) return c;
    PyErr_Format(PyExc_ValueError, "no entry %s for %.200s", name.c_str(), Py_TYPE(target)->tp_name);
    return nullptr;
}

namespace {

// ---- Producer: one native thread pushing numbered messages -------------------------

struct Producer {
    PyObject_HEAD
    PyObject *target;
    ProducerThread *thread;
    uint64_t accepted;
    std::vector<int> *refused;  // results <= 0, in order
    double cpu_seconds;         // the thread's own CPU time, set when it ends
};

double thread_cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

void producer_dealloc(PyObject *o) {
    auto *p = (Producer *)o;
    join_unlocked(p->thread);
    drop_thread(p->thread);
    delete p->refused;
    Py_XDECREF(p->target);
    PyObject_Free(o);
}

PyObject *producer_join(PyObject *o, PyObject *) {
    auto *p = (Producer *)o;
    join_unlocked(p->thread);
    PyObject *codes = int_list(*p->refused);
    if (!codes) return nullptr;
    return Py_BuildValue("(KN)", (unsigned long long)p->accepted, codes);
}

PyObject *producer_cpu(PyObject *o, PyObject *) {
    auto *p = (Producer *)o;
    join_unlocked(p->thread);
    return PyFloat_FromDouble(p->cpu_seconds);
}

PyMethodDef producer_methods[] = {
    {"join", boundary<producer_join>, METH_NOARGS, "join() -> (accepted, [refused results])"},
    {"cpu_seconds", boundary<producer_cpu>, METH_NOARGS, "cpu_seconds() -> the thread's CPU time (joins it)"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject ProducerType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// start_producer(target, entry, count, sizes, retry_full=False, first_seq=0,
// rate=0): with a rate, paced and each message stamped (see Pacer) in place
// of its number.
PyObject *start_producer(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *kw[] = {"target", "entry", "count", "sizes", "retry_full", "first_seq", "rate", nullptr};
    PyObject *target, *sizes_obj;
    const char *entry;
    unsigned long long count, first_seq = 0;
    int retry_full = 0;
    double rate = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OsKO|pKd", const_cast<char **>(kw), &target, &entry, &count,
                                     &sizes_obj, &retry_full, &first_seq, &rate))
        return nullptr;
    auto call = resolve(target, entry);
    if (!call) return nullptr;
    std::vector<size_t> sizes;
    PyObject *seq = PySequence_Fast(sizes_obj, "sizes must be a sequence of ints");
    if (!seq) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        size_t s = PyLong_AsSize_t(PySequence_Fast_GET_ITEM(seq, i));
        if (s == (size_t)-1 && PyErr_Occurred()) {
            Py_DECREF(seq);
            return nullptr;
        }
        sizes.push_back(s);
    }
    Py_DECREF(seq);
    if (sizes.empty()) {
        PyErr_SetString(PyExc_ValueError, "sizes is empty");
        return nullptr;
    }
    return new_instance<Producer>(&ProducerType, [&](Producer *p) {
        p->target = Py_NewRef(target);
        p->refused = new std::vector<int>();
        p->thread = new ProducerThread([p, call, count, sizes, retry_full, first_seq, rate] {
            size_t largest = 0;
            for (size_t s : sizes) largest = s > largest ? s : largest;
            std::vector<char> buf(largest + 1);
            Pacer pacer(rate);
            for (uint64_t i = 0; i < count; ++i) {
                uint64_t seq = first_seq + i;
                size_t size = sizes[i % sizes.size()];
                fill_message(buf.data(), seq, size);
                pacer.wait();
                if (pacer.paced()) Pacer::stamp(buf.data());
                int r = call(p->target, buf.data(), size);
                while (r == 0 && retry_full) {
                    std::this_thread::yield();
                    r = call(p->target, buf.data(), size);
                }
                if (r > 0)
                    ++p->accepted;
                else
                    p->refused->push_back(r);
            }
            p->cpu_seconds = thread_cpu_seconds();
        });
        return true;
    });
}

// start_bridge(func, arg, count, size, rate=0): what a user without this
// library writes, as a reference for benchmarks: a native thread that per
// message takes the interpreter lock, makes the bytes object and calls
// func(arg, b) (or func(b) when arg is None). With a rate, paced and stamped
// before the lock is taken (waiting for it is part of the delay).
PyObject *start_bridge(PyObject *, PyObject *args) {
    PyObject *func, *arg;
    unsigned long long count;
    Py_ssize_t size;
    double rate = 0;
    if (!PyArg_ParseTuple(args, "OOKn|d", &func, &arg, &count, &size, &rate)) return nullptr;
    return new_instance<Producer>(&ProducerType, [&](Producer *p) {
        p->target = Py_BuildValue("(OO)", func, arg);
        if (!p->target) return false;
        p->refused = new std::vector<int>();
        p->thread = new ProducerThread([p, count, size, rate] {
            std::vector<char> buf((size_t)size + 1);
            PyObject *f = PyTuple_GET_ITEM(p->target, 0), *a = PyTuple_GET_ITEM(p->target, 1);
            Pacer pacer(rate);
            for (uint64_t seq = 0; seq < count; ++seq) {
                fill_message(buf.data(), seq, (size_t)size);
                pacer.wait();
                if (pacer.paced()) Pacer::stamp(buf.data());
                PyGILState_STATE g = PyGILState_Ensure();
                PyObject *b = PyBytes_FromStringAndSize(buf.data(), size);
                PyObject *r = !b             ? nullptr
                              : a == Py_None ? PyObject_CallOneArg(f, b)
                                             : PyObject_CallFunctionObjArgs(f, a, b, nullptr);
                if (r) {
                    ++p->accepted;
                    Py_DECREF(r);
                } else {
                    PyErr_Print();
                    p->refused->push_back(-1);
                }
                Py_XDECREF(b);
                PyGILState_Release(g);
            }
            p->cpu_seconds = thread_cpu_seconds();
        });
        return true;
    });
}

// push(target, entry, data) -> result: one push on the calling thread.
PyObject *push(PyObject *, PyObject *args) {
    PyObject *target;
    const char *entry;
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "Osy*", &target, &entry, &data)) return nullptr;
    auto call = resolve(target, entry);
    int r = call ? call(target, (const char *)data.buf, (size_t)data.len) : 0;
    PyBuffer_Release(&data);
    return call ? PyLong_FromLong(r) : nullptr;
}

PyObject *make_message(PyObject *, PyObject *args) {
    unsigned long long seq;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "Kn", &seq, &size)) return nullptr;
    PyObject *b = PyBytes_FromStringAndSize(nullptr, size);
    if (b) fill_message(PyBytes_AS_STRING(b), seq, (size_t)size);
    return b;
}

PyObject *check_message(PyObject *, PyObject *args) {
    Py_buffer data;
    unsigned long long seq;
    if (!PyArg_ParseTuple(args, "y*K", &data, &seq)) return nullptr;
    bool ok = message_ok((const char *)data.buf, seq, (size_t)data.len);
    PyBuffer_Release(&data);
    return PyBool_FromLong(ok);
}

std::string push_fn_name(PyObject *o) {
    if (PyObject_TypeCheck(o, ferry_api.AsyncDispatcher)) {
        auto *a = (ferry_async_dispatcher *)o;
        if (!a->_push_fn) return "null";
        if (a->_push_fn == ferry_api.async_dispatcher->push) return "push";
        if (a->_push_fn == ferry_api.async_dispatcher->push_var) return "push_var";
    }
    return "other";
}

// fields(obj) -> dict of the native fields of a dispatcher instance.
PyObject *fields(PyObject *, PyObject *o) {
    if (PyObject_TypeCheck(o, ferry_api.AsyncDispatcher)) {
        auto *a = (ferry_async_dispatcher *)o;
        return Py_BuildValue("{sOsOsOsOsisisisisssi}", "_q", a->_q, "_callback", a->_callback, "_sock", a->_sock,
                             "_task", a->_task, "_running", (int)a->_running, "_variable_size", (int)a->_variable_size,
                             "fd", (int)a->_wakeup.fd, "port", (int)ntohs(a->_wakeup.addr.sin_port), "_push_fn",
                             push_fn_name(o).c_str(), "family", (int)a->_wakeup.addr.sin_family);
    }
    PyErr_Format(PyExc_TypeError, "no field probe for %.200s", Py_TYPE(o)->tp_name);
    return nullptr;
}

// setup(dispatcher, skip_dispatch, n, host, recvbuf): the native setup entry.
PyObject *native_setup(PyObject *, PyObject *args) {
    PyObject *target, *host = Py_None;
    int skip, n, recvbuf = 0;
    if (!PyArg_ParseTuple(args, "Oii|Oi", &target, &skip, &n, &host, &recvbuf)) return nullptr;
    ferry_setup_args opt = {n, host, recvbuf};
    if (PyObject_TypeCheck(target, ferry_api.AsyncDispatcher))
        ferry_api.async_dispatcher->setup((ferry_async_dispatcher *)target, skip, n < 0 ? nullptr : &opt);
    else
        return PyErr_Format(PyExc_TypeError, "no setup entry for %.200s", Py_TYPE(target)->tp_name);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"start_producer", (PyCFunction)(void (*)())boundary<start_producer>, METH_VARARGS | METH_KEYWORDS,
     "start_producer(target, entry, count, sizes, retry_full=False, first_seq=0, rate=0) -> Producer"},
    {"push", boundary<push>, METH_VARARGS, "push(target, entry, data) -> int"},
    {"start_bridge", boundary<start_bridge>, METH_VARARGS, "start_bridge(func, arg, count, size, rate=0) -> Producer"},
    {"make_message", boundary<make_message>, METH_VARARGS, "make_message(seq, size) -> bytes"},
    {"check_message", boundary<check_message>, METH_VARARGS, "check_message(data, seq) -> bool"},
    {"fields", boundary<fields>, METH_O, "fields(obj) -> dict"},
    {"native_setup", boundary<native_setup>, METH_VARARGS, "native_setup(obj, skip_dispatch, n, host, recvbuf)"},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *m) {
    if (ferry_import() < 0) return -1;
    ProducerType.tp_name = "nimbo.utils.ferrylink._ferrytest.Producer";
    ProducerType.tp_basicsize = sizeof(Producer);
    ProducerType.tp_flags = Py_TPFLAGS_DEFAULT;
    ProducerType.tp_dealloc = boundary<producer_dealloc>;
    ProducerType.tp_methods = producer_methods;
    if (PyType_Ready(&ProducerType) < 0 || add_wake_types(m) < 0) return -1;
    for (PyMethodDef *extra : {sync_methods, pipe_methods, view_methods, queue_methods, wake_methods})
        if (PyModule_AddFunctions(m, extra) < 0) return -1;
    return PyModule_AddObjectRef(m, "Producer", (PyObject *)&ProducerType);
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, (void *)boundary<module_exec>}, {0, nullptr}};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_ferrytest", nullptr, 0, module_methods, slots};

}  // namespace

PyMODINIT_FUNC PyInit__ferrytest(void) { return PyModuleDef_Init(&module_def); }
