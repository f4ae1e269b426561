// All process-wide state of the module, in one struct. The module serves one
// interpreter per process and is never unloaded, so its state is not
// per-module: `state` below is the one instance.
//
// Each field says who writes it and what becomes of it on fork and at exit.
// Interpreter lock held for every access unless a field says otherwise.
// "Kept" means a forked child goes on with the parent's value, which stays
// right there (same interpreter, same objects); nothing here is released at
// exit, since the process may end after the runtime.
//
// Not in it, on purpose: caches that only spare work and are right in any
// process at any time (the interned names of FERRY_STR, make_ring's keyword
// tuples, the last type that passed check_async_context_manager, the frame
// free lists of Pooled<T>) stay beside the one line that uses them.
#pragma once
#include <Python.h>
#include <atomic>
#include <new>
#include <unordered_map>
#include <vector>
#include "asyncqueue_idle.hpp"
#include "ferrylink.h"
#include "pyref.hpp"
#include "spsc_queue.h"

#define FERRY_MODULE_NAME "nimbo.utils.ferrylink.ferrylink"

// An interned str made once per call site (the module is never unloaded).
#define FERRY_STR(text) ([]() -> PyObject * { static PyObject *s_ = PyUnicode_InternFromString(text); return s_; }())

namespace ferry {

// The setup entries' defaults (host, recvbuf), for the native callers that
// pass no ferry_setup_args and for the Python methods' __defaults__.
#define FERRY_DEFAULT_HOST "127.0.0.1"
inline constexpr const char *kDefaultHost = FERRY_DEFAULT_HOST;
inline constexpr int kDefaultRecvbuf = 16777216;

// A T that is built with the state and never destroyed: destroying it at
// exit would release Python objects after the runtime is gone.
template <class T>
class Forever {
public:
    Forever() { new (bytes_) T(); }
    T &operator*() noexcept { return *std::launder(reinterpret_cast<T *>(bytes_)); }
    T *operator->() noexcept { return &**this; }

private:
    alignas(T) unsigned char bytes_[sizeof(T)];
};

// The AsyncQueues holding each ring (copies share one). The space-waiting
// state is kept equal across the holders of a ring, so a pop on any of them
// releases a push waiting on another.
class RingHolders {
public:
    // `self->_q` was just set: take the ring's shared space state.
    void join(ferry_async_queue *self) {
        if (self->_q == Py_None) return;
        std::vector<ferry_async_queue *> &v = holders_[self->_q];
        if (!v.empty()) {
            assign_borrowed(self->_space_cond, v.front()->_space_cond);
            self->_space_waiters = v.front()->_space_waiters;
        }
        v.push_back(self);
    }
    // `self->_q` is about to change: the ring's waiters stay with the other
    // holders; a push of this queue still waiting finds its condition gone.
    void leave(ferry_async_queue *self) noexcept {
        auto it = holders_.find(self->_q);
        if (it != holders_.end()) {
            std::erase(it->second, self);
            if (it->second.empty()) holders_.erase(it);
        }
        assign_borrowed(self->_space_cond, Py_None);
        self->_space_waiters = 0;
    }
    // Each holder of `ring`.
    template <class F>
    void each(PyObject *ring, F &&f) {
        auto it = holders_.find(ring);
        if (it == holders_.end()) return;
        for (ferry_async_queue *q : it->second) f(q);
    }

private:
    std::unordered_map<PyObject *, std::vector<ferry_async_queue *>> holders_;
};

struct ModuleState {
    // ---- the module frame (ferrylink.cpp) ----
    // Create step, first import; never reset. Fork: kept (the child runs the
    // same interpreter). Compared at every later create step.
    int64_t owning_interpreter_id = -1;
    // Execute step sets it (strong), a failed execute clears it. Fork: kept.
    PyObject *module_instance = nullptr;
    // The module dict (borrowed: the module lives as long): execute step sets
    // it, a failed execute clears it. Globals of look-ups by name and of every
    // traceback entry. Fork: kept.
    PyObject *globals = nullptr;
    // SPSCQueue (strong) and its native method table: execute step, replaced
    // by a later import after a failed one. Fork: kept.
    PyTypeObject *spsc_type = nullptr;
    const ferry_spsc_vtable *spsc = nullptr;
    // (kDefaultHost, kDefaultRecvbuf), the __defaults__ of both setup
    // methods: built by the first execute step, then kept. Fork: kept.
    PyObject *setup_defaults = nullptr;

    // ---- the types' own Python-level methods, to tell an override ----
    // Written when the methods are bound (execute step; a repeated import
    // replaces them), strong. Fork: kept.
    PyObject *async_dispatcher_setup = nullptr;  // AsyncDispatcher.setup
    PyObject *sync_dispatcher_setup = nullptr;   // SyncDispatcher.setup
    PyObject *sync_dispatcher_close = nullptr;   // SyncDispatcher.close
    PyObject *queue_start_dispatcher = nullptr;  // AsyncQueue.start_dispatcher

    // ---- SyncDispatcher threads (sync_dispatcher.cpp) ----
    // The interpreter its threads make their thread states in: written when
    // the methods are bound. Fork: kept.
    PyInterpreterState *interpreter = nullptr;
    // Dispatchers whose thread runs: setup adds, the thread's end removes.
    // Fork: the child moves them to `inherited` (their threads stayed in the
    // parent). Exit: the exit hook closes them and waits for their threads.
    std::vector<ferry_sync_dispatcher *> live;
    // Dispatchers inside setup, before their thread runs: setup adds and
    // removes. Fork: cleared (that setup ran on a thread the child lacks).
    std::vector<ferry_sync_dispatcher *> starting;
    // Threads that may still take the interpreter lock: counted up before a
    // thread starts, down by the thread at its very end (no lock needed).
    // Fork: zero. Exit: the hook waits a bounded time for zero.
    std::atomic<int> threads_alive{0};
    // In a forked child, dispatchers whose thread stayed in the parent: the
    // fork hook adds, destruction removes; their close leaves the ring open.
    std::vector<ferry_sync_dispatcher *> inherited;
    // The atexit and fork hooks are registered (by the first setup).
    bool exit_hooks_registered = false;
    // Set by the exit hook: no thread starts after it. Fork: kept.
    bool exiting = false;

    // ---- rings (ring_field.cpp) ----
    // Owner -> the rings its constructor calls replaced, kept alive for native
    // callers that may still hold them: a repeated __init__ adds, the owner's
    // destruction drops. Fork: kept.
    Forever<std::unordered_map<PyObject *, std::vector<Ref>>> retired;

    // ---- AsyncQueue (asyncqueue.cpp) ----
    // Which AsyncQueues hold each ring: a queue joins when its `_q` is set
    // and leaves before it changes or goes. Fork: kept.
    Forever<RingHolders> ring_holders;
    // The asyncio lock classes and names that tell a no-op notify block,
    // found at first use and checked again when a class changes. Fork: kept.
    Forever<IdleLocks> idle_locks;

    // ---- native coroutines (coro.cpp) ----
    // A StopIteration reused to carry returned values: the first return that
    // finds none free makes it. Fork: kept.
    PyObject *spare_stop = nullptr;
    // Finished coroutine objects kept for reuse (untracked): dealloc adds,
    // make_coro takes. Fork: kept.
    static constexpr int coro_pool_size = 32;
    PyObject *coro_pool[coro_pool_size] = {};
    int coro_pool_count = 0;
};

extern ModuleState state;

// A module-level name, looked up at the moment it is needed (so tests and
// users may rebind `sys`, `logger`, `asyncio`), then in builtins.
Ref global(const char *name);

}  // namespace ferry
