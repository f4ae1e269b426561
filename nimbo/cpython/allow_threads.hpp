// Blocking sections that release the interpreter lock, for both modules:
// taking the lock back on any thread while the interpreter may be
// finalizing.
//
// CPython 3.13 ends a thread that takes the lock during finalization with
// pthread_exit: a forced unwind, which aborts the process when it meets a
// noexcept frame and must never be swallowed by a catch (...). Such a thread
// parks here for good instead (what 3.14 itself does): it never returns into
// a runtime that is going away, and the process exits around it.
#pragma once
#include <Python.h>
#include <chrono>
#include <thread>
#include <exception>
#include "../platform/thread.hpp"

namespace ferry_lock {

[[noreturn]] inline void park_for_good() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// Inside a catch (...): the forced unwind by which 3.13 ends a thread that
// took the lock during finalization is no C++ exception, so nothing is
// current. Such a thread parks here, inside the handler, which it never
// leaves: the unwind is neither swallowed nor run into a noexcept frame.
inline void park_if_forced_unwind() noexcept {
    if (!std::current_exception()) park_for_good();
}

// Runs `f`, a call into the C API (which throws nothing else), parking the
// thread if finalization ends it inside.
template <class F>
auto park_on_forced_unwind(F &&f) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        park_if_forced_unwind();
        std::terminate();  // what any other exception out of a noexcept function meets
    }
}

// Whether the interpreter finalizes on a thread other than this one. The
// finalizing thread, the process's main thread, keeps taking the lock; where
// that cannot be told cheaply, the forced unwind is the only sign.
inline bool finalizing_elsewhere() noexcept {
    return Py_IsFinalizing() && ferry::platform::surely_not_first_thread();
}

inline void take_lock_back(PyThreadState *ts) noexcept {
    if (finalizing_elsewhere()) park_for_good();
    park_on_forced_unwind([ts] { PyEval_RestoreThread(ts); });
}

}  // namespace ferry_lock

// Py_BEGIN/END_ALLOW_THREADS for module code: the end parks instead of
// returning into a finalizing interpreter.
#define FERRY_BEGIN_ALLOW_THREADS { PyThreadState *ferry_saved_ts_ = PyEval_SaveThread();
#define FERRY_END_ALLOW_THREADS ::ferry_lock::take_lock_back(ferry_saved_ts_); }
