// Probes of CyPipe: its push entries for the producer threads, which entry each
// of its three pointers holds, a native consumer thread that checks what it
// pops, and a timed native-to-native transfer for the benchmark (also over a
// bare SPSCQueue, through its own table, for comparison).
#include "ferrytest.hpp"
#include "spsc_queue.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace ft {

namespace {

using Pipe = ferry_pipe;
const ferry_pipe_vtable &table() { return *ferry_api.pipe; }
bool is_pipe(PyObject *o) { return PyObject_TypeCheck(o, ferry_api.CyPipe); }

int push(PyObject *t, const char *d, size_t n) { return table().push((Pipe *)t, d, n); }
int push_var(PyObject *t, const char *d, size_t n) { return table().push_var((Pipe *)t, d, n); }
int push_fn(PyObject *t, const char *d, size_t n) {
    auto *p = (Pipe *)t;
    return p->_push_fn ? p->_push_fn(p, d, n) : -100;
}

// ---- the two ends, as a producer and a consumer reach them ---------------------------

struct PipeTable {
    Pipe *p;
    int push(const char *d, size_t n) const { return table().push(p, d, n); }
    int pop(const char **d, size_t *n) const { return table().pop(p, d, n); }
    void release() const { table().release(p); }
};
struct PipeTableVar {
    Pipe *p;
    int push(const char *d, size_t n) const { return table().push_var(p, d, n); }
    int pop(const char **d, size_t *n) const { return table().pop_var(p, d, n); }
    void release() const { table().release_var(p); }
};
struct PipePointers {
    Pipe *p;
    int push(const char *d, size_t n) const { return p->_push_fn(p, d, n); }
    int pop(const char **d, size_t *n) const { return p->_pop_fn(p, d, n); }
    void release() const { p->_release_fn(p); }
};
struct Ring {
    ferry_spsc_queue *q;
    int push(const char *d, size_t n) const { return q->vtab->push(q, d, n); }
    int pop(const char **d, size_t *n) const { return q->vtab->pop(q, d, n); }
    void release() const { q->vtab->release(q); }
};
struct RingVar {
    ferry_spsc_queue *q;
    int push(const char *d, size_t n) const { return q->vtab->push_var(q, d, n); }
    int pop(const char **d, size_t *n) const { return q->vtab->pop_var(q, d, n); }
    void release() const {}
};

bool is_ring(PyObject *o) {
    PyObject *mod = PyImport_ImportModule("nimbo.spsc_queue.spsc_queue");
    PyObject *type = mod ? PyObject_GetAttrString(mod, "SPSCQueue") : nullptr;
    bool ok = type && PyType_Check(type) && PyObject_TypeCheck(o, (PyTypeObject *)type);
    Py_XDECREF(type);
    Py_XDECREF(mod);
    PyErr_Clear();
    return ok;
}

// Calls f(ends) for `how`: "table", "table_var" or "pointers" on a CyPipe,
// "ring" or "ring_var" on an SPSCQueue. False with an exception otherwise.
template <class F>
bool with_ends(PyObject *obj, const std::string &how, F &&f) {
    if (is_pipe(obj)) {
        auto *p = (Pipe *)obj;
        if (how == "table") return f(PipeTable{p}), true;
        if (how == "table_var") return f(PipeTableVar{p}), true;
        if (how == "pointers" && p->_pop_fn) return f(PipePointers{p}), true;
    } else if (is_ring(obj)) {
        auto *q = (ferry_spsc_queue *)obj;
        if (how == "ring") return f(Ring{q}), true;
        if (how == "ring_var") return f(RingVar{q}), true;
    }
    PyErr_Format(PyExc_ValueError, "no way %s through %.200s", how.c_str(), Py_TYPE(obj)->tp_name);
    return false;
}

// The ring queue under a pipe (or a bare queue), or nullptr; lock held.
ferry_spsc_queue *queue_of(PyObject *obj) {
    PyObject *q = is_pipe(obj) ? ((Pipe *)obj)->_q : obj;
    return q == Py_None ? nullptr : (ferry_spsc_queue *)q;
}

// Wakes a pop waiting in the queue; any thread.
void close_queue(ferry_spsc_queue *q) {
    if (q) q->vtab->close(q);
}

uint64_t number_of(const char *d) {
    uint64_t seq = 0;
    for (int i = 0; i < 8; ++i) seq |= (uint64_t)(unsigned char)d[i] << (8 * i);
    return seq;
}

// ---- a native consumer popping numbered messages and checking them ----------------------

struct Tally {
    uint64_t received = 0, wrong_size = 0, corrupt = 0, out_of_order = 0;
    int last = 1;  // the first pop result other than 1
    std::atomic<bool> done{false};
};

template <class Ends>
void consume(Ends ends, uint64_t count, const std::vector<size_t> &sizes, Tally &t) {
    for (uint64_t i = 0; i < count; ++i) {
        const char *d = nullptr;
        size_t n = 0;
        int r = ends.pop(&d, &n);
        if (r != 1) {
            t.last = r;
            break;
        }
        if (n != sizes[i % sizes.size()])
            ++t.wrong_size;
        else if (!message_ok(d, i, n))
            ++t.corrupt;
        if (n >= 8 && number_of(d) != i) ++t.out_of_order;
        ends.release();
        ++t.received;
    }
    t.done.store(true);
}

// Runs `consume` on a native thread, the interpreter lock released, until it
// sets `done`; after `timeout` seconds closes `queue`, so that a consumer
// waiting for a lost message returns (and a producer retrying on a full
// queue stops). True when it timed out.
template <class F>
bool run_with_deadline(ferry_spsc_queue *queue, double timeout, const std::atomic<bool> &done, F &&consume) {
    bool timed_out = false;
    Py_BEGIN_ALLOW_THREADS
    std::thread consumer(consume);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (!done.load()) {
        if (std::chrono::steady_clock::now() > deadline) {
            timed_out = true;
            close_queue(queue);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    consumer.join();
    Py_END_ALLOW_THREADS
    return timed_out;
}

// pipe_consume(obj, how, count, sizes, timeout) -> dict of counts: a native
// thread pops `count` messages numbered from 0 whose sizes cycle through
// `sizes` (as start_producer makes them) and checks each. After `timeout`
// seconds the queue is closed, so that a consumer waiting for a lost message
// returns (and a producer retrying on a full queue stops).
PyObject *pipe_consume(PyObject *, PyObject *args) {
    PyObject *target, *sizes_obj;
    const char *how;
    unsigned long long count;
    double timeout;
    if (!PyArg_ParseTuple(args, "OsKOd", &target, &how, &count, &sizes_obj, &timeout)) return nullptr;
    std::vector<size_t> sizes;
    PyObject *seq = PySequence_Fast(sizes_obj, "sizes must be a sequence of ints");
    if (!seq) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i)
        sizes.push_back(PyLong_AsSize_t(PySequence_Fast_GET_ITEM(seq, i)));
    Py_DECREF(seq);
    if (PyErr_Occurred()) return nullptr;
    if (sizes.empty()) return PyErr_Format(PyExc_ValueError, "sizes is empty");
    Tally t;
    bool timed_out = false;
    bool ok = with_ends(target, how, [&](auto ends) {
        timed_out = run_with_deadline(queue_of(target), timeout, t.done, [&] { consume(ends, count, sizes, t); });
    });
    if (!ok) return nullptr;
    return Py_BuildValue("{sKsKsKsKsisO}", "received", (unsigned long long)t.received, "wrong_size",
                         (unsigned long long)t.wrong_size, "corrupt", (unsigned long long)t.corrupt, "out_of_order",
                         (unsigned long long)t.out_of_order, "last", t.last, "timed_out",
                         timed_out ? Py_True : Py_False);
}

// pipe_delays(obj, how, count, timeout) -> bytes: a native thread pops up to
// `count` messages stamped by a paced producer (see Pacer) and notes for each
// the nanoseconds from its stamp to its pop, as native-endian uint64 (an
// array('Q') reads them); fewer when the queue closed or `timeout` passed.
PyObject *pipe_delays(PyObject *, PyObject *args) {
    PyObject *target;
    const char *how;
    unsigned long long count;
    double timeout;
    if (!PyArg_ParseTuple(args, "OsKd", &target, &how, &count, &timeout)) return nullptr;
    std::vector<uint64_t> delays;
    delays.reserve(count);
    std::atomic<bool> done{false};
    bool ok = with_ends(target, how, [&](auto ends) {
        run_with_deadline(queue_of(target), timeout, done, [&] {
            for (uint64_t i = 0; i < count; ++i) {
                const char *d = nullptr;
                size_t n = 0;
                if (ends.pop(&d, &n) != 1 || n < 8) break;
                delays.push_back(monotonic_ns() - number_of(d));
                ends.release();
            }
            done.store(true);
        });
    });
    if (!ok) return nullptr;
    return PyBytes_FromStringAndSize((const char *)delays.data(), (Py_ssize_t)(delays.size() * sizeof(uint64_t)));
}

// ---- single operations ---------------------------------------------------------------

// pipe_pop(obj, how) -> (result, bytes or None): one pop (and release) on the
// calling thread, lock released while waiting.
PyObject *pipe_pop(PyObject *, PyObject *args) {
    PyObject *target;
    const char *how;
    if (!PyArg_ParseTuple(args, "Os", &target, &how)) return nullptr;
    PyObject *result = nullptr;
    bool ok = with_ends(target, how, [&](auto ends) {
        const char *d = nullptr;
        size_t n = 0;
        int r;
        Py_BEGIN_ALLOW_THREADS
        r = ends.pop(&d, &n);
        Py_END_ALLOW_THREADS
        PyObject *b = r == 1 ? PyBytes_FromStringAndSize(d, (Py_ssize_t)n) : Py_NewRef(Py_None);
        if (r == 1) ends.release();
        result = b ? Py_BuildValue("(iN)", r, b) : nullptr;
    });
    return ok ? result : nullptr;
}

PyObject *pipe_close_queue(PyObject *, PyObject *o) {
    close_queue(queue_of(o));
    Py_RETURN_NONE;
}

// pipe_pointers(pipe) -> (push, pop, release): the table entries the three
// pointers hold, by name.
PyObject *pipe_pointers(PyObject *, PyObject *o) {
    if (!is_pipe(o)) return PyErr_Format(PyExc_TypeError, "not a CyPipe: %.200s", Py_TYPE(o)->tp_name);
    auto *p = (Pipe *)o;
    const ferry_pipe_vtable &t = table();
    auto name = [](bool null, bool fixed, bool var, const char *f, const char *v) {
        return null ? "null" : fixed ? f : var ? v : "other";
    };
    return Py_BuildValue("(sss)",
                         name(!p->_push_fn, p->_push_fn == t.push, p->_push_fn == t.push_var, "push", "push_var"),
                         name(!p->_pop_fn, p->_pop_fn == t.pop, p->_pop_fn == t.pop_var, "pop", "pop_var"),
                         name(!p->_release_fn, p->_release_fn == t.release, p->_release_fn == t.release_var,
                              "release", "release_var"));
}

// ---- the benchmark's transfer ------------------------------------------------------------

// pipe_transfer(obj, how, count, size) -> seconds: one native producer thread
// pushes `count` messages of `size` bytes (retrying while full), one native
// consumer thread pops them; from the start of both to the end of both.
PyObject *pipe_transfer(PyObject *, PyObject *args) {
    PyObject *target;
    const char *how;
    unsigned long long count;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "OsKn", &target, &how, &count, &size)) return nullptr;
    if (size < 8) return PyErr_Format(PyExc_ValueError, "size must be at least 8");
    double seconds = 0;
    unsigned long long received = 0;
    int refused = 1;
    ferry_spsc_queue *queue = queue_of(target);
    bool ok = with_ends(target, how, [&](auto ends) {
        Py_BEGIN_ALLOW_THREADS
        auto start = std::chrono::steady_clock::now();
        std::thread producer([&] {
            std::vector<char> buf((size_t)size, 'x');
            for (unsigned long long i = 0; i < count; ++i) {
                std::memcpy(buf.data(), &i, 8);
                int r;
                while ((r = ends.push(buf.data(), (size_t)size)) == 0) std::this_thread::yield();
                if (r < 0) {
                    refused = r;
                    close_queue(queue);  // lets the consumer stop
                    break;
                }
            }
        });
        std::thread consumer([&] {
            for (unsigned long long i = 0; i < count; ++i) {
                const char *d = nullptr;
                size_t n = 0;
                if (ends.pop(&d, &n) != 1) break;
                received += n == (size_t)size;
                ends.release();
            }
        });
        producer.join();
        consumer.join();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Py_END_ALLOW_THREADS
    });
    if (!ok) return nullptr;
    if (received != count)
        return PyErr_Format(PyExc_RuntimeError, "received %llu of %llu (push result %d)", received, count, refused);
    return PyFloat_FromDouble(seconds);
}

}  // namespace

PushCall resolve_pipe(PyObject *target, const std::string &name) {
    if (!is_pipe(target)) return nullptr;
    if (name == "pipe_push" || name == "push") return push;
    if (name == "push_var") return push_var;
    if (name == "push_fn") return push_fn;
    return nullptr;
}

PyMethodDef pipe_methods[] = {
    {"pipe_consume", boundary<pipe_consume>, METH_VARARGS, "pipe_consume(obj, how, count, sizes, timeout) -> dict"},
    {"pipe_delays", boundary<pipe_delays>, METH_VARARGS, "pipe_delays(obj, how, count, timeout) -> bytes of uint64"},
    {"pipe_pop", boundary<pipe_pop>, METH_VARARGS, "pipe_pop(obj, how) -> (result, bytes or None)"},
    {"pipe_close_queue", boundary<pipe_close_queue>, METH_O, "pipe_close_queue(obj): closes the ring queue"},
    {"pipe_pointers", boundary<pipe_pointers>, METH_O, "pipe_pointers(pipe) -> (push, pop, release) entry names"},
    {"pipe_transfer", boundary<pipe_transfer>, METH_VARARGS, "pipe_transfer(obj, how, count, size) -> seconds"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ft
