// Shared pieces of the test-only module; each probe file adds its functions.
//
// `ferry_api` is the header's inline variable, one copy for the whole module:
// the module's exec step fills it (ferry_import()) before any probe can run.
#pragma once
#include <Python.h>
#include <ferrylink.h>
#include <errno.h>
#include <time.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>
#ifndef _WIN32
#include <unistd.h>
#endif
#include "cpython/allow_threads.hpp"  // not ferrylink: parking a thread the interpreter ends

namespace ft {

// Every function the interpreter calls goes through Boundary: a C++
// exception (a thread that cannot start, a container out of memory) becomes
// a Python error and never reaches the interpreter. A void slot (tp_dealloc)
// reports it as unraisable.
template <auto F>
struct Boundary;
template <class R, class... A, R (*F)(A...)>
struct Boundary<F> {
    static R call(A... args) noexcept {
        try {
            return F(args...);
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
        } catch (const std::exception &e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        } catch (...) {
            ferry_lock::park_if_forced_unwind();
            PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in _ferrytest");
        }
        if constexpr (std::is_void_v<R>)
            PyErr_WriteUnraisable(nullptr);
        else if constexpr (std::is_pointer_v<R>)
            return nullptr;
        else
            return -1;
    }
};
template <auto F>
constexpr auto boundary = &Boundary<F>::call;

inline long this_process() {
#ifdef _WIN32
    return 0;  // no fork there
#else
    return (long)getpid();
#endif
}

// A producer's thread and the process that started it: a forked child
// inherits the producer object but not the thread, which it must neither
// join nor destroy.
struct ProducerThread {
    template <class F>
    explicit ProducerThread(F &&body) : thread(std::forward<F>(body)) {}
    std::thread thread;
    long process = this_process();
};

// Waits for a producer's thread, if it started here and was not joined yet,
// with the interpreter lock released.
inline void join_unlocked(ProducerThread *t) {
    if (!t || t->process != this_process() || !t->thread.joinable()) return;
    Py_BEGIN_ALLOW_THREADS
    t->thread.join();
    Py_END_ALLOW_THREADS
}

// Frees a joined thread; an inherited one's handle is left alone.
inline void drop_thread(ProducerThread *t) {
    if (t && t->process == this_process()) delete t;
}

// A list of the ints in `values`; nullptr with an exception set.
inline PyObject *int_list(const std::vector<int> &values) {
    PyObject *list = PyList_New((Py_ssize_t)values.size());
    for (size_t i = 0; list && i < values.size(); ++i) {
        PyObject *v = PyLong_FromLong(values[i]);
        if (!v) Py_CLEAR(list);
        else PyList_SET_ITEM(list, (Py_ssize_t)i, v);
    }
    return list;
}

// A new, zeroed instance of `T` set up by `setup` (which starts its thread
// last and returns false with a Python error set when it fails). On failure
// the half-built instance is dropped (its dealloc copes with null fields)
// and the error, or the C++ exception, passed on.
template <class T, class Setup>
PyObject *new_instance(PyTypeObject *type, Setup &&setup) {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    bool ok;
    try {
        ok = setup(reinterpret_cast<T *>(o));
    } catch (...) {
        Py_DECREF(o);
        throw;
    }
    if (!ok) Py_CLEAR(o);
    return o;
}

// The first 8 bytes carry the sequence number, the rest a pattern of it.
inline void fill_message(char *buf, uint64_t seq, size_t size) {
    for (size_t i = 0; i < size; ++i)
        buf[i] = i < 8 ? (char)((seq >> (8 * i)) & 0xff) : (char)((seq + i) & 0xff);
}
inline bool message_ok(const char *buf, uint64_t seq, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (buf[i] != (i < 8 ? (char)((seq >> (8 * i)) & 0xff) : (char)((seq + i) & 0xff))) return false;
    return true;
}

// The clock of time.monotonic_ns(), in nanoseconds.
inline uint64_t monotonic_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

// Keeps a producer thread at `rate` messages/s (0: no pacing) for the latency
// benchmark. It sleeps until the next message is due rather than spinning,
// so that the process's CPU time is the paths' own; after a late wake-up the
// messages due meanwhile go back to back, which keeps the average rate.
// stamp() writes the monotonic nanoseconds into a message's first 8 bytes
// (little-endian) just before its push, so that the consumer can tell the
// delay from push to callback.
class Pacer {
  public:
    explicit Pacer(double rate)
        : period_ns_(rate > 0 ? (uint64_t)(1e9 / rate) : 0), due_ns_(monotonic_ns()) {
#ifdef __linux__
        if (period_ns_) prctl(PR_SET_TIMERSLACK, 1000UL);  // wake within 1 us, not the default 50
#endif
    }
    void wait() {
        if (!period_ns_) return;
        due_ns_ += period_ns_;
        if (monotonic_ns() >= due_ns_) return;
        timespec t{(time_t)(due_ns_ / 1000000000u), (long)(due_ns_ % 1000000000u)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
        }
    }
    bool paced() const { return period_ns_ != 0; }
    static void stamp(char *message) {
        uint64_t now = monotonic_ns();
        for (int i = 0; i < 8; ++i) message[i] = (char)((now >> (8 * i)) & 0xff);
    }

  private:
    uint64_t period_ns_, due_ns_;
};

// A native push entry of some object, callable without the interpreter lock.
using PushCall = int (*)(PyObject *target, const char *data, size_t size);

// The push entry of that name for the target's type; nullptr with an
// exception set.
PushCall resolve(PyObject *target, const std::string &name);

// Each returns nullptr, with no exception set, when `target` is not its type
// or it knows no entry of that name.
PushCall resolve_sync(PyObject *target, const std::string &name);
PushCall resolve_pipe(PyObject *target, const std::string &name);

// Sentinel-terminated function tables added to the module.
extern PyMethodDef sync_methods[];
extern PyMethodDef pipe_methods[];
extern PyMethodDef view_methods[];
extern PyMethodDef queue_methods[];
extern PyMethodDef wake_methods[];
int add_wake_types(PyObject *module);

}  // namespace ft
