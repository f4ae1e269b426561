// SyncDispatcher: a native thread of the dispatcher's own drains the ring
// queue and calls a Python callback once per message, taking the interpreter
// lock for each one.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "args.hpp"
#include "dispatchers.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "module_state.hpp"
#include "wakeup.hpp"

namespace ferry {

// Invariants: `_q` is None or an SPSCQueue and stays the same while the
// dispatcher's thread exists (the thread holds a reference to the dispatcher
// and one to the queue, and __init__ is refused meanwhile); a repeated
// constructor call closes the earlier queue, kept until destruction;
// `_thread` holds a std::thread from tp_new to dealloc. The thread's
// reference is shown to the collector as the dispatcher's own, so a
// dispatcher nobody else holds is collected, and its finalizer closes it.

using SyncDispatcher = ferry_sync_dispatcher;

PyTypeObject SyncDispatcherType = {PyVarObject_HEAD_INIT(nullptr, 0)};

static SyncDispatcher *as_sdisp(PyObject *o) { return reinterpret_cast<SyncDispatcher *>(o); }
static PyObject *as_obj(SyncDispatcher *d) { return reinterpret_cast<PyObject *>(d); }

static_assert(sizeof(std::thread) <= sizeof(ferry_sync_dispatcher::_thread) &&
              alignof(std::thread) <= alignof(void *));
static std::thread &thread_of(SyncDispatcher *self) {
    return *std::launder(reinterpret_cast<std::thread *>(self->_thread.bytes));
}

// ---- live threads ---------------------------------------------------------------
// A thread that takes the interpreter lock while the interpreter finalizes is
// ended by forced unwinding, which aborts through noexcept frames. So an exit
// hook stops every dispatcher thread and waits for it while the interpreter is
// still whole, and no thread starts after that. The wait is bounded (5 s per
// dispatcher): a callback blocked beyond it must not hold the process up, and
// its thread parks when it reaches for the lock during finalization.

// Which dispatchers have a thread, and whether the exit hook ran, are process
// state (module_state.hpp: live, starting, inherited, threads_alive, exiting).

namespace {

constexpr std::chrono::seconds exit_wait_per_dispatcher{5};

// The interpreter lock for a thread that runs without it, taken and given
// back on one thread state kept for the whole run: ~60 ns a round, where
// PyGILState_Ensure on a thread that keeps none costs ~20 us per message.
// Uses the thread's own state if it has one, else makes one for its life.
class ThreadLock {
public:
    ThreadLock() noexcept : ts_(PyGILState_GetThisThreadState()), owned_(!ts_) {
        if (owned_) ts_ = PyThreadState_New(state.interpreter);
    }
    ~ThreadLock() {
        if (owned_ && take()) {
            PyThreadState_Clear(ts_);
            PyThreadState_DeleteCurrent();
        }
    }
    ThreadLock(const ThreadLock &) = delete;
    ThreadLock &operator=(const ThreadLock &) = delete;

    // False (lock not taken) once the interpreter finalizes; a thread that
    // finalization catches in the middle of taking it parks for good.
    bool take() noexcept {
        if (!ts_ || Py_IsFinalizing()) return false;
        ferry_lock::park_on_forced_unwind([this] { PyEval_RestoreThread(ts_); });
        return true;
    }
    void give() noexcept { PyEval_SaveThread(); }

private:
    PyThreadState *ts_;
    bool owned_;
};

}  // namespace

static bool thread_holds(SyncDispatcher *self) {
    return std::find(state.live.begin(), state.live.end(), self) != state.live.end();
}

static bool has_thread(SyncDispatcher *self) {
    return thread_of(self).joinable() || thread_holds(self) ||
           std::find(state.starting.begin(), state.starting.end(), self) != state.starting.end();
}

static void sdisp_close(SyncDispatcher *self, int skip_dispatch) noexcept;

// atexit hook: close every dispatcher that still has a thread (overrides
// bypassed), then wait a bounded time for the threads with the lock released,
// so that a callback still running can finish. The hook takes the threads
// out of the dispatchers first, so that close does not join them unbounded.
static PyObject *stop_all_threads(PyObject *, PyObject *) {
    state.exiting = true;
    std::vector<std::thread> threads;
    PyObject *r = guard([&] {
        std::vector<Ref> targets;
        for (SyncDispatcher *d : state.live) targets.push_back(Ref::borrow(as_obj(d)));
        for (Ref &d : targets) {
            std::thread &slot = thread_of(as_sdisp(d.get()));
            if (slot.joinable()) threads.push_back(std::move(slot));
            sdisp_close(as_sdisp(d.get()), 1);
            if (PyErr_Occurred()) write_unraisable(FERRY_MODULE_NAME ".SyncDispatcher.close");
        }
        return Py_NewRef(Py_None);
    });
    int left;
    FERRY_BEGIN_ALLOW_THREADS
    auto deadline = std::chrono::steady_clock::now() + exit_wait_per_dispatcher * state.threads_alive.load();
    while ((left = state.threads_alive.load()) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (std::thread &t : threads) {
        if (left)
            t.detach();  // it parks when it reaches for the lock
        else
            t.join();  // it has ended
    }
    FERRY_END_ALLOW_THREADS
    if (left) PySys_FormatStderr("%s: %d SyncDispatcher thread(s) still in a callback at exit; not waiting longer\n",
                                 FERRY_MODULE_NAME, left);
    return r;
}
static PyMethodDef stop_all_threads_def = {"_stop_sync_dispatchers", stop_all_threads, METH_NOARGS, nullptr};

// os.register_at_fork(after_in_child=...): a forked child has none of the
// parent's dispatcher threads. Its inherited dispatchers are stopped without
// joining them; the thread's reference to its dispatcher is dropped, and the
// exit hook has nothing to wait for. Their rings are left open: a producer of
// the parent may have been inside a push at the fork, and closing would wait
// for it forever.
static PyObject *forget_threads_in_child(PyObject *, PyObject *) {
    std::vector<Ref> owned_by_threads;
    for (SyncDispatcher *d : state.live) {
        lockfree::running(d).store(0);
        new (d->_thread.bytes) std::thread();  // the parent's handle: nothing to join or destroy here
        state.inherited.push_back(d);
        owned_by_threads.push_back(Ref::steal(as_obj(d)));
    }
    state.live.clear();
    state.starting.clear();  // their setup was on a thread the child does not have
    state.threads_alive.store(0);
    owned_by_threads.clear();  // may close and destroy them, here
    Py_RETURN_NONE;
}
static PyMethodDef forget_threads_def = {"_forget_sync_dispatcher_threads", forget_threads_in_child, METH_NOARGS,
                                         nullptr};

static void register_exit_hook() {
    if (state.exit_hooks_registered) return;
    Ref atexit = own(PyImport_ImportModule("atexit"));
    Ref hook = own(PyCFunction_New(&stop_all_threads_def, nullptr));
    own(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    Ref os = own(PyImport_ImportModule("os"));
    Ref register_at_fork = own(PyObject_GetAttrString(os.get(), "register_at_fork"));
    Ref child_hook = own(PyCFunction_New(&forget_threads_def, nullptr));
    Ref kwargs = own(Py_BuildValue("{sO}", "after_in_child", child_hook.get()));
    Ref no_args = own(PyTuple_New(0));
    own(PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get()));
    state.exit_hooks_registered = true;
}

static bool is_inherited(SyncDispatcher *self) {
    return std::find(state.inherited.begin(), state.inherited.end(), self) != state.inherited.end();
}

// ---- producer entries -----------------------------------------------------------
// They run without the interpreter lock: lockfree/entries.hpp.

constexpr ferry_sdisp_push_fn sdisp_push = lockfree::push_and_wake<SyncDispatcher, &ferry_spsc_vtable::try_push>;
constexpr ferry_sdisp_push_fn sdisp_push_var =
    lockfree::push_and_wake<SyncDispatcher, &ferry_spsc_vtable::try_push_var>;
constexpr ferry_sdisp_push_fn sdisp_push_blocking = lockfree::push_only<SyncDispatcher, &ferry_spsc_vtable::push>;
constexpr ferry_sdisp_push_fn sdisp_push_var_blocking =
    lockfree::push_only<SyncDispatcher, &ferry_spsc_vtable::push_var>;

// ---- thread bodies --------------------------------------------------------------

namespace {

// What the four bodies differ in: how they take messages from the ring, and
// the name their failures are reported under.
struct BodyForm {
    lockfree::ConsumerForm ring;
    const char *context;
};

constexpr BodyForm try_pop_form = {{&ferry_spsc_vtable::try_pop, true, false},
                                   FERRY_MODULE_NAME ".SyncDispatcher._SyncDispatcher__try_pop"};
constexpr BodyForm try_pop_var_form = {{&ferry_spsc_vtable::try_pop_var, true, false},
                                       FERRY_MODULE_NAME ".SyncDispatcher._SyncDispatcher__try_pop_var"};
constexpr BodyForm pop_form = {{&ferry_spsc_vtable::pop, false, true},
                               FERRY_MODULE_NAME ".SyncDispatcher._SyncDispatcher__pop"};
constexpr BodyForm pop_var_form = {{&ferry_spsc_vtable::pop_var, false, false},
                                   FERRY_MODULE_NAME ".SyncDispatcher._SyncDispatcher__pop_var"};

// With the lock held: the message as a new bytes object, handed to the callback.
bool deliver(PyObject *callback, const char *data, size_t size) noexcept {
    Ref message = Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
    if (!message) return false;
    // A callback that blocks past the exit hook's wait meets finalization
    // inside the call: the thread parks there.
    Ref result = Ref::steal(ferry_lock::park_on_forced_unwind([&] { return PyObject_CallOneArg(callback, message.get()); }));
    return static_cast<bool>(result);
}

// Takes the lock only to deliver a message; waits for the next one without
// it (lockfree/consumer.hpp).
void run_body(SyncDispatcher *self, const BodyForm &form) noexcept {
    ThreadLock lock;
    if (!lock.take()) return;
    if (!is_ring(self->_q)) {  // constructor never ran
        lock.give();
        return;
    }
    Ref ring = Ref::borrow(self->_q);  // used with the lock released
    Ref callback = Ref::borrow(self->_callback);  // later changes do not reach this thread
    lockfree::ThreadConsumer consumer(self, lockfree::ring_of(ring.get()), form.ring);
    lock.give();
    for (;;) {
        const char *data = nullptr;
        size_t size = 0;
        int r = consumer.next(&data, &size);
        if (!lock.take()) {
            (void)callback.release();  // the interpreter is going away: leave them alone
            (void)ring.release();
            return;
        }
        if (r != 1) break;  // stopped
        if (!deliver(callback.get(), data, size)) {
            write_unraisable(form.context);
            break;
        }
        lock.give();
        consumer.done_with_message();
    }
    callback = Ref();  // lock held on every way out of the loop
    ring = Ref();
    lock.give();
}

}  // namespace

static void try_pop_body(SyncDispatcher *self) noexcept { run_body(self, try_pop_form); }
static void try_pop_var_body(SyncDispatcher *self) noexcept { run_body(self, try_pop_var_form); }
static void pop_body(SyncDispatcher *self) noexcept { run_body(self, pop_form); }
static void pop_var_body(SyncDispatcher *self) noexcept { run_body(self, pop_var_form); }

static void sdisp_setup(SyncDispatcher *self, int skip_dispatch, ferry_setup_args *opt) noexcept;

const ferry_sync_dispatcher_vtable sync_dispatcher_vtable = {
    .setup = sdisp_setup,
    .push = sdisp_push,
    .push_var = sdisp_push_var,
    .push_blocking = sdisp_push_blocking,
    .push_var_blocking = sdisp_push_var_blocking,
    .try_pop_body = try_pop_body,
    .try_pop_var_body = try_pop_var_body,
    .pop_body = pop_body,
    .pop_var_body = pop_var_body,
    .close = sdisp_close,
    .push_coalesced = lockfree::push_and_wake_if_waiting<SyncDispatcher, &ferry_spsc_vtable::try_push>,
    .push_var_coalesced = lockfree::push_and_wake_if_waiting<SyncDispatcher, &ferry_spsc_vtable::try_push_var>,
};

// ---- the thread -------------------------------------------------------------------

using Body = void (*)(SyncDispatcher *);

// Runs a body on the thread's one thread state, then lets go of the
// dispatcher reference that setup gave the thread.
static void run_thread(SyncDispatcher *self, Body body) noexcept {
    {
        ThreadLock lock;
        body(self);
        if (lock.take()) {
            state.live.erase(std::find(state.live.begin(), state.live.end(), self));
            { Ref from_setup = Ref::steal(as_obj(self)); }  // may destroy the dispatcher, here
            lock.give();
        }
    }
    state.threads_alive.fetch_sub(1);
    state.threads_alive.notify_all();
}

static void start_thread(SyncDispatcher *self) {
    if (state.exiting || Py_IsFinalizing()) {  // the exit hook may have run while setup ran Python code
        PyErr_SetString(PyExc_RuntimeError, "SyncDispatcher.setup: the interpreter is exiting");
        throw PyErrOccurred();
    }
    const ferry_sync_dispatcher_vtable *t = self->vtab;  // a derived native type's bodies
    Body body = self->_nonblocking ? (self->_variable_size ? t->try_pop_var_body : t->try_pop_body)
                                   : (self->_variable_size ? t->pop_var_body : t->pop_body);
    state.live.push_back(self);
    state.threads_alive.fetch_add(1);
    auto undo = [self] {
        state.live.erase(std::find(state.live.begin(), state.live.end(), self));
        state.threads_alive.fetch_sub(1);
    };
    Ref for_thread = Ref::borrow(as_obj(self));
    std::thread thread;
    try {
        thread = std::thread(run_thread, self, body);
    } catch (const std::system_error &e) {
        undo();
        // OSError(errno, text) from the code itself: PyErr_SetFromErrno reads
        // the interpreter's C runtime's errno, which a module built with another
        // runtime (MinGW's msvcrt beside python313.dll's ucrt) cannot set.
        Ref args = own(Py_BuildValue("(is)", e.code().value(), e.code().message().c_str()));
        PyErr_SetObject(PyExc_OSError, args.get());
        throw PyErrOccurred();
    } catch (...) {
        undo();
        throw;
    }
    (void)for_thread.release();
    if (self->_detach)
        thread.detach();
    else
        thread_of(self) = std::move(thread);
}

// Joins the thread unless the caller is that thread (close from the callback).
static void join_thread(SyncDispatcher *self) noexcept {
    std::thread &slot = thread_of(self);
    if (!slot.joinable() || slot.get_id() == std::this_thread::get_id()) return;
    std::thread thread = std::move(slot);  // a concurrent close finds nothing to join
    FERRY_BEGIN_ALLOW_THREADS
    thread.join();
    FERRY_END_ALLOW_THREADS
}

// ---- construction, setup, close ----------------------------------------------------

static PyObject *sdisp_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    SyncDispatcher *self = as_sdisp(o);
    self->vtab = &sync_dispatcher_vtable;
    lockfree::init_target(&self->_wakeup);
    self->_q = Py_NewRef(Py_None);
    self->_callback = Py_NewRef(Py_None);
    self->_sock = Py_NewRef(Py_None);
    self->_detach = self->_variable_size = self->_nonblocking = 0;
    self->_push_fn = nullptr;
    self->_running = 1;
    new (self->_thread.bytes) std::thread();
    return o;
}

static void refuse_while_thread(SyncDispatcher *self, const char *what) {
    if (!has_thread(self)) return;
    PyErr_Format(PyExc_RuntimeError, "SyncDispatcher.%s: the dispatcher's thread is still running", what);
    throw PyErrOccurred();
}

namespace {
struct InitArgs {
    PyObject *callback = nullptr;
    size_t capacity = 16384;
    size_t slot_size = 2048;
    bool zerocopy = false;
    bool overwrite = false;
    bool block_on_full = false;
    bool variable_size = false;
    bool detach = true;
    bool nonblocking = true;
};
constexpr auto init_signature = signature<InitArgs>("__init__", {
    {"callback", &InitArgs::callback, kRequired},
    {"capacity", &InitArgs::capacity},
    {"slot_size", &InitArgs::slot_size},
    {"zerocopy", &InitArgs::zerocopy},
    {"overwrite", &InitArgs::overwrite},
    {"block_on_full", &InitArgs::block_on_full},
    {"variable_size", &InitArgs::variable_size},
    {"detach", &InitArgs::detach},
    {"nonblocking", &InitArgs::nonblocking},
});
}  // namespace

static int sdisp_init(PyObject *o, PyObject *args, PyObject *kwargs) {
    return guard_int([&] {
        InitArgs a = init_signature.parse(args, kwargs);
        SyncDispatcher *self = as_sdisp(o);
        refuse_while_thread(self, "__init__");
        Ref q = make_ring(a.slot_size, a.capacity, a.overwrite, a.zerocopy, a.block_on_full);
        claim_family(q, a.variable_size);

        // Nothing is stored before the ring exists: the flags, `_push_fn` and
        // `_q` always describe the same mode.
        retire_ring(o, self->_q);
        refuse_while_thread(self, "__init__");  // a setup() on another thread while the lock was released
        assign_borrowed(self->_callback, a.callback);
        self->_variable_size = a.variable_size;
        self->_detach = a.detach;
        self->_nonblocking = a.nonblocking;
        self->_push_fn = a.nonblocking ? (a.variable_size ? sdisp_push_var : sdisp_push)
                                       : (a.variable_size ? sdisp_push_var_blocking : sdisp_push_blocking);
        publish_ring(self->_q, std::move(q));
        return 0;
    });
}

// Marks a dispatcher as starting from the check that no thread exists to the
// thread's start: the steps in between run Python code (imports, socket
// calls, the logger), and a second setup or __init__ let in meanwhile must
// find it taken.
class StartingClaim {
public:
    explicit StartingClaim(SyncDispatcher *self) : self_(self) {
        refuse_while_thread(self, "setup");
        state.starting.push_back(self);
    }
    ~StartingClaim() {
        auto it = std::find(state.starting.begin(), state.starting.end(), self_);
        if (it != state.starting.end()) state.starting.erase(it);
    }
    StartingClaim(const StartingClaim &) = delete;
    StartingClaim &operator=(const StartingClaim &) = delete;

private:
    SyncDispatcher *self_;
};

static void sdisp_do_setup(SyncDispatcher *self, PyObject *host, int recvbuf) {
    require_ring(self->_q, "SyncDispatcher");
    StartingClaim claim(self);
    register_exit_hook();
    if (self->_nonblocking) {
        assign(self->_sock, setup_socket(true, recvbuf));
        Ref sock = Ref::borrow(self->_sock);
        fill_target(&self->_wakeup, sock.get(), host);
    }
    start_thread(self);
}

static void sdisp_setup(SyncDispatcher *self, int skip_dispatch, ferry_setup_args *opt) noexcept {
    setup_entry(self, &SyncDispatcherType, state.sync_dispatcher_setup, skip_dispatch, opt, sdisp_do_setup,
                FERRY_MODULE_NAME ".SyncDispatcher.setup");
}

static PyObject *sdisp_setup_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return setup_method(args, nargs, kwnames, sdisp_setup);
}

// Fixed order: flag, queue close, wake-up (socket still open), socket close, join.
static void sdisp_do_close(SyncDispatcher *self) {
    lockfree::running(self).store(0);
    Ref q = Ref::borrow(self->_q);  // a constructor call may replace `_q` meanwhile
    if (is_ring(q.get()) && !is_inherited(self)) close_ring(q);
    if (self->_nonblocking) {
        FERRY_BEGIN_ALLOW_THREADS
        lockfree::send_wakeup(&self->_wakeup);
        FERRY_END_ALLOW_THREADS
    }
    retire_socket_field(self->_sock, &self->_wakeup, close_socket);
    join_thread(self);
}

static void sdisp_close(SyncDispatcher *self, int skip_dispatch) noexcept {
    guard_int([&] {
        if (!skip_dispatch) {
            Ref args = own(PyTuple_New(0));
            if (call_override(as_obj(self), &SyncDispatcherType, state.sync_dispatcher_close, "close", args.get()))
                return 0;
        }
        sdisp_do_close(self);
        return 0;
    });
    if (PyErr_Occurred()) add_traceback(FERRY_MODULE_NAME ".SyncDispatcher.close");
}

constexpr auto close_signature = signature("close");

static PyObject *sdisp_close_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard([&] {
        close_signature.parse(args + 1, nargs - 1, kwnames);
        sdisp_close(as_sdisp(args[0]), 1);
        if (PyErr_Occurred()) throw PyErrOccurred();
        return Py_NewRef(Py_None);
    });
}

// ---- lifetime -----------------------------------------------------------------

static int sdisp_traverse(PyObject *o, visitproc visit, void *arg) {
    SyncDispatcher *self = as_sdisp(o);
    if (thread_holds(self)) Py_VISIT(o);  // the thread's reference: it keeps nothing reachable
    Py_VISIT(self->_q);
    Py_VISIT(self->_callback);
    Py_VISIT(self->_sock);
    return 0;
}

static int sdisp_clear(PyObject *o) {
    SyncDispatcher *self = as_sdisp(o);
    assign_borrowed(self->_q, Py_None);
    assign_borrowed(self->_callback, Py_None);
    assign_borrowed(self->_sock, Py_None);
    return 0;
}

// Runs before the fields go, also for instances the collector found in a cycle.
// One set up and never closed warns, as an unclosed socket or file does.
static void sdisp_finalize(PyObject *o) {
    PendingExceptionKept kept;
    SyncDispatcher *self = as_sdisp(o);
    if (lockfree::running(self).load() && (has_thread(self) || self->_sock != Py_None) &&
        PyErr_ResourceWarning(o, 1, "unclosed %R", o) < 0)
        write_unraisable(FERRY_MODULE_NAME ".SyncDispatcher.__dealloc__");
    sdisp_close(self, 0);
    if (PyErr_Occurred()) write_unraisable(FERRY_MODULE_NAME ".SyncDispatcher.__dealloc__");
}

static void sdisp_dealloc(PyObject *o) {
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected by close
    PyObject_GC_UnTrack(o);
    SyncDispatcher *self = as_sdisp(o);
    // Still joinable when close did not join (a failing or overriding close,
    // or the last reference dropped by the thread itself at its end).
    std::thread &slot = thread_of(self);
    if (slot.joinable() && slot.get_id() == std::this_thread::get_id()) slot.detach();
    join_thread(self);
    slot.~thread();
    if (is_inherited(self)) state.inherited.erase(std::find(state.inherited.begin(), state.inherited.end(), self));
    sdisp_clear(o);
    drop_retired_rings(o);
    Py_TYPE(o)->tp_free(o);
}

static PyMethodDef sdisp_methods[] = {
    FERRY_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

void prepare_sync_dispatcher_type() noexcept {
    PyTypeObject &t = SyncDispatcherType;
    t.tp_name = FERRY_MODULE_NAME ".SyncDispatcher";
    t.tp_basicsize = sizeof(SyncDispatcher);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = doc_with_signature("SyncDispatcher", init_signature,
                                  "SyncDispatcher(callback, size_t capacity=16384, size_t slot_size=2048, "
                                  "bool zerocopy=False, bool overwrite=False, bool block_on_full=False, "
                                  "bool variable_size=False, bool detach=True, bool nonblocking=True)");
    t.tp_new = sdisp_new;
    t.tp_init = sdisp_init;
    t.tp_dealloc = sdisp_dealloc;
    t.tp_finalize = sdisp_finalize;
    t.tp_traverse = sdisp_traverse;
    t.tp_clear = sdisp_clear;
    t.tp_methods = sdisp_methods;
}

static const FunctionDef sdisp_setup_def = {
    "setup", "SyncDispatcher.setup",
    "SyncDispatcher.setup(self, str host='127.0.0.1', int recvbuf=16777216) -> void", sdisp_setup_method,
    &SyncDispatcherType, false, &setup_signature};
static const FunctionDef sdisp_close_def = {"close", "SyncDispatcher.close", "SyncDispatcher.close(self) -> void",
                                            sdisp_close_method, &SyncDispatcherType, false, &close_signature};

void bind_sync_dispatcher_methods() {
    state.interpreter = PyInterpreterState_Get();
    PyTypeObject *t = &SyncDispatcherType;
    Py_XSETREF(state.sync_dispatcher_setup, add_method(t, "setup", &sdisp_setup_def, state.setup_defaults).release());
    Py_XSETREF(state.sync_dispatcher_close, add_method(t, "close", &sdisp_close_def).release());
}

}  // namespace ferry
