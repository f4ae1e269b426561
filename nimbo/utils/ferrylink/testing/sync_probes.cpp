// Probes of SyncDispatcher: its push entries for the producer threads, its
// fields, its native setup/close/body entries, and the two references the
// benchmark measures it against.
#include "ferrytest.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace ft {

namespace {

using Sync = ferry_sync_dispatcher;
const ferry_sync_dispatcher_vtable &table() { return *ferry_api.sync_dispatcher; }

int push(PyObject *t, const char *d, size_t n) { return table().push((Sync *)t, d, n); }
int push_var(PyObject *t, const char *d, size_t n) { return table().push_var((Sync *)t, d, n); }
int push_coalesced(PyObject *t, const char *d, size_t n) { return table().push_coalesced((Sync *)t, d, n); }
int push_var_coalesced(PyObject *t, const char *d, size_t n) { return table().push_var_coalesced((Sync *)t, d, n); }
int push_blocking(PyObject *t, const char *d, size_t n) { return table().push_blocking((Sync *)t, d, n); }
int push_var_blocking(PyObject *t, const char *d, size_t n) { return table().push_var_blocking((Sync *)t, d, n); }
int push_fn(PyObject *t, const char *d, size_t n) {
    auto *s = (Sync *)t;
    return s->_push_fn ? s->_push_fn(s, d, n) : -100;
}

bool is_sync(PyObject *o) { return PyObject_TypeCheck(o, ferry_api.SyncDispatcher); }

PyObject *not_sync(PyObject *o) {
    return PyErr_Format(PyExc_TypeError, "not a SyncDispatcher: %.200s", Py_TYPE(o)->tp_name);
}

const char *push_fn_name(Sync *s) {
    if (!s->_push_fn) return "null";
    if (s->_push_fn == table().push) return "push";
    if (s->_push_fn == table().push_var) return "push_var";
    if (s->_push_fn == table().push_blocking) return "push_blocking";
    if (s->_push_fn == table().push_var_blocking) return "push_var_blocking";
    return "other";
}

// sync_fields(d) -> dict of the native fields. `joinable` reads the opaque
// thread object as "not all zero bytes" (an empty std::thread is all zero).
PyObject *sync_fields(PyObject *, PyObject *o) {
    if (!is_sync(o)) return not_sync(o);
    auto *s = (Sync *)o;
    bool joinable = false;
    for (unsigned char b : s->_thread.bytes) joinable |= b != 0;
    return Py_BuildValue("{sOsOsOsisisisisisisisssO}", "_q", s->_q, "_callback", s->_callback, "_sock", s->_sock,
                         "_running", (int)std::atomic_ref<unsigned char>(s->_running).load(), "_detach", (int)s->_detach,
                         "_variable_size", (int)s->_variable_size, "_nonblocking", (int)s->_nonblocking, "fd",
                         (int)s->_wakeup.fd, "port", (int)ntohs(s->_wakeup.addr.sin_port), "family",
                         (int)s->_wakeup.addr.sin_family, "_push_fn", push_fn_name(s), "joinable",
                         joinable ? Py_True : Py_False);
}

// sync_setup(d, skip_dispatch, n=-1, host=None, recvbuf=0): the native setup
// entry (n < 0 passes no argument record).
PyObject *sync_setup(PyObject *, PyObject *args) {
    PyObject *target, *host = Py_None;
    int skip, n = -1, recvbuf = 0;
    if (!PyArg_ParseTuple(args, "Oi|iOi", &target, &skip, &n, &host, &recvbuf)) return nullptr;
    if (!is_sync(target)) return not_sync(target);
    ferry_setup_args opt = {n, host, recvbuf};
    table().setup((Sync *)target, skip, n < 0 ? nullptr : &opt);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// sync_close(d, skip_dispatch): the native close entry.
PyObject *sync_close(PyObject *, PyObject *args) {
    PyObject *target;
    int skip;
    if (!PyArg_ParseTuple(args, "Oi", &target, &skip)) return nullptr;
    if (!is_sync(target)) return not_sync(target);
    table().close((Sync *)target, skip);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// sync_run_body(d, name): runs one thread body on the calling thread, with the
// interpreter lock released, until it ends.
PyObject *sync_run_body(PyObject *, PyObject *args) {
    PyObject *target;
    const char *name;
    if (!PyArg_ParseTuple(args, "Os", &target, &name)) return nullptr;
    if (!is_sync(target)) return not_sync(target);
    std::string n = name;
    void (*body)(Sync *) = n == "__try_pop"       ? table().try_pop_body
                           : n == "__try_pop_var" ? table().try_pop_var_body
                           : n == "__pop"         ? table().pop_body
                           : n == "__pop_var"     ? table().pop_var_body
                                                  : nullptr;
    if (!body) return PyErr_Format(PyExc_ValueError, "no thread body %s", name);
    Py_BEGIN_ALLOW_THREADS
    body((Sync *)target);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// ---- benchmark references -----------------------------------------------------------

// Runs func(message) on a new native thread `count` times with a `size`-byte
// message, taking the interpreter lock for each call: on one thread state
// kept for the whole run (the cheapest way), or with PyGILState_Ensure and
// PyGILState_Release around each call (what a user's native thread does).
// With a rate, paced and stamped before the lock is taken (see Pacer).
// Returns the seconds from the thread's start to its end; the caller's lock
// is released meanwhile.
PyObject *run_locked_thread(PyObject *func, unsigned long long count, Py_ssize_t size, bool keep_state, double rate) {
    if (size < 0) return PyErr_Format(PyExc_ValueError, "negative size");
    PyInterpreterState *interp = PyInterpreterState_Get();
    bool failed = false;
    double seconds = 0;
    Py_BEGIN_ALLOW_THREADS
    std::thread thread([&] {
        std::vector<char> buf((size_t)size + 1);
        PyThreadState *ts = keep_state ? PyThreadState_New(interp) : nullptr;
        auto start = std::chrono::steady_clock::now();
        Pacer pacer(rate);
        for (unsigned long long seq = 0; seq < count && !failed; ++seq) {
            fill_message(buf.data(), seq, (size_t)size);
            pacer.wait();
            if (pacer.paced()) Pacer::stamp(buf.data());
            PyGILState_STATE g = PyGILState_UNLOCKED;
            if (ts)
                PyEval_RestoreThread(ts);
            else
                g = PyGILState_Ensure();
            PyObject *b = PyBytes_FromStringAndSize(buf.data(), size);
            PyObject *r = b ? PyObject_CallOneArg(func, b) : nullptr;
            if (!r) {
                PyErr_Print();
                failed = true;
            }
            Py_XDECREF(r);
            Py_XDECREF(b);
            if (ts)
                PyEval_SaveThread();
            else
                PyGILState_Release(g);
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (ts) {
            PyEval_RestoreThread(ts);
            PyThreadState_Clear(ts);
            PyThreadState_DeleteCurrent();
        }
    });
    thread.join();
    Py_END_ALLOW_THREADS
    if (failed) return PyErr_Format(PyExc_RuntimeError, "the callback raised (printed above)");
    return PyFloat_FromDouble(seconds);
}

// locked_run(func, count, size, keep_state=True, rate=0) -> seconds.
PyObject *locked_run(PyObject *, PyObject *args) {
    PyObject *func;
    unsigned long long count;
    Py_ssize_t size;
    int keep_state = 1;
    double rate = 0;
    if (!PyArg_ParseTuple(args, "OKn|pd", &func, &count, &size, &keep_state, &rate)) return nullptr;
    return run_locked_thread(func, count, size, keep_state, rate);
}

}  // namespace

PushCall resolve_sync(PyObject *target, const std::string &name) {
    if (!is_sync(target)) return nullptr;
    if (name == "push") return push;
    if (name == "push_var") return push_var;
    if (name == "push_blocking") return push_blocking;
    if (name == "push_var_blocking") return push_var_blocking;
    if (name == "push_coalesced") return push_coalesced;
    if (name == "push_var_coalesced") return push_var_coalesced;
    if (name == "push_fn") return push_fn;
    return nullptr;
}

PyMethodDef sync_methods[] = {
    {"sync_fields", boundary<sync_fields>, METH_O, "sync_fields(dispatcher) -> dict"},
    {"sync_setup", boundary<sync_setup>, METH_VARARGS,
     "sync_setup(dispatcher, skip_dispatch, n=-1, host=None, recvbuf=0)"},
    {"sync_close", boundary<sync_close>, METH_VARARGS, "sync_close(dispatcher, skip_dispatch)"},
    {"sync_run_body", boundary<sync_run_body>, METH_VARARGS,
     "sync_run_body(dispatcher, name): a thread body, run here"},
    {"locked_run", boundary<locked_run>, METH_VARARGS,
     "locked_run(func, count, size, keep_state=True, rate=0) -> seconds: a native thread calling func(message), "
     "lock taken per message"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ft
