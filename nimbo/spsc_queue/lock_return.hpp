// Taking the interpreter lock back after a blocking section, on any thread,
// while the interpreter may be finalizing.
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
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#if defined(__linux__)
#include <unistd.h>
#endif

namespace ferry_lock {

[[noreturn]] inline void park_for_good() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// Runs `f` (a call into the C API, which throws nothing else); a forced
// unwind out of it parks the thread inside the handler, which it never
// leaves, so the unwind is neither swallowed nor run into a noexcept frame.
template <class F>
auto park_on_forced_unwind(F &&f) noexcept -> decltype(f()) {
#if defined(__GLIBCXX__)
    try {
        return f();
    } catch (abi::__forced_unwind &) {
        park_for_good();
    }
#else
    return f();
#endif
}

// Whether the interpreter finalizes on a thread other than this one. The
// finalizing thread, the process's main thread, keeps taking the lock; where
// that cannot be told cheaply, the forced unwind is the only sign.
inline bool finalizing_elsewhere() noexcept {
#if defined(__linux__)
    return Py_IsFinalizing() && gettid() != getpid();
#else
    return false;
#endif
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

// Put before every catch (...) that may meet a forced unwind (any try block
// that calls into Python): the thread parks rather than swallow it.
#if defined(__GLIBCXX__)
#define FERRY_PARK_ON_FORCED_UNWIND \
    catch (abi::__forced_unwind &) { ::ferry_lock::park_for_good(); }
#else
#define FERRY_PARK_ON_FORCED_UNWIND
#endif
