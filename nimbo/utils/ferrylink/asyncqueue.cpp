#include "asyncqueue.hpp"
#include "buffers.hpp"
#include "coro.hpp"
#include "module_state.hpp"
#include "ring_field.hpp"
#include "signature.hpp"
#include "type_helpers.hpp"

namespace ferry {

// Invariants: `_q` is None or an SPSCQueue; every try_push/try_pop is made on
// the loop's thread without holding `_lock`; the lock is taken only to notify
// or to wait. Producers push before they ask for the lock and consumers ask
// for it right after finding the ring empty, so no wake-up is lost. The same
// holds the other way for pushes that wait for space (block_on_full): such a
// push counts itself in `_space_waiters` and asks for the lock right after
// finding the ring full, and while the count is not zero a consumer signals
// `_space_cond` after the message that frees a batch of the ring and after
// the one that empties it (see batch_freed). Copies share a ring, and with it
// the pushes waiting for its space: every holder of one ring has the same
// `_space_cond` and `_space_waiters` (see RingHolders).

using AsyncQueue = ferry_async_queue;

PyTypeObject AsyncQueueType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

AsyncQueue *as_queue(PyObject *o) { return reinterpret_cast<AsyncQueue *>(o); }

// obj.name(*args) without a bound-method object.
Ref call_method(PyObject *obj, PyObject *name) {
    PyObject *args[] = {obj};
    return own(PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
Ref call_method(PyObject *obj, PyObject *name, PyObject *arg) {
    PyObject *args[] = {obj, arg};
    return own(PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The pending exception gets `earlier` as its __context__, as a `raise`
// inside an `except` block (or a failing __aexit__) would give it.
void chain_to(Ref earlier) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyException_SetContext(exc.get(), earlier.release());
    PyErr_SetRaisedException(exc.release());
}

// What `async with obj` refuses: a type without __aenter__ or __aexit__ (a
// `_notify_cond` that is None, say). The last type that passed is cached
// (kept alive, and never released: the process may end after the runtime).
void check_async_context_manager(PyObject *obj) {
    static PyObject *passed = nullptr;
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    if (type == passed) return;
    for (PyObject *name : {FERRY_STR("__aenter__"), FERRY_STR("__aexit__")}) {
        PyObject *found = nullptr;
        if (PyObject_GetOptionalAttr(type, name, &found) < 0) throw PyErrOccurred();
        if (!found) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol%s",
                         Py_TYPE(obj)->tp_name, name == FERRY_STR("__aexit__") ? " (missed __aexit__ method)" : "");
            throw PyErrOccurred();
        }
        Ref drop = Ref::steal(found);
    }
    Py_XSETREF(passed, Py_NewRef(type));
}

// ---- coroutine frames ---------------------------------------------------------

// A frame is made and freed once per call, always with the interpreter lock
// held: a short free list per frame type spares the allocator round trip.
template <class T>
struct Pooled {
    static void *operator new(size_t size) {
        if (size != sizeof(T) || !free_) return ::operator new(size);
        void *p = free_;
        free_ = *static_cast<void **>(p);
        --count_;
        return p;
    }
    static void operator delete(void *p, size_t size) noexcept {
        if (size != sizeof(T) || count_ >= 64) return ::operator delete(p);
        *static_cast<void **>(p) = free_;
        free_ = p;
        ++count_;
    }

private:
    static inline void *free_ = nullptr;
    static inline int count_ = 0;
};

// Adds the traceback entry of the method to every failure of its body.
class QueueFrame : public CoroFrame {
public:
    QueueFrame(PyObject *self, const char *where) : self_(Ref::borrow(self)), where_(where) {}

    Step resume(PyObject *value) final {
        Step s = boundary(Step::error(), kBoundaryOwner, [&] { return step(value); });
        if (s.kind == Step::Error) add_traceback(where_);
        return s;
    }

    int traverse(visitproc visit, void *arg) noexcept override {
        Py_VISIT(self_.get());
        Py_VISIT(cond_.get());
        return 0;
    }

protected:
    virtual Step step(PyObject *value) = 0;
    AsyncQueue *queue() const { return as_queue(self_.get()); }

    // `async with cond` is `await cond.acquire()` ... `cond.release()`:
    // calling them directly spares the context-manager coroutines.
    Step enter_block(PyObject *cond) {
        cond_ = Ref::borrow(cond);
        check_async_context_manager(cond_.get());
        return Step::await(call_method(cond_.get(), FERRY_STR("acquire")));
    }
    void leave_block() {
        Ref cond = std::move(cond_);
        call_method(cond.get(), FERRY_STR("release"));
    }
    // cond.notify(), or notify_all(), inside the block, then leaves it. False
    // with the error pending (the lock released) if the call failed.
    bool notify_and_leave(bool all) {
        try {
            call_method(cond_.get(), all ? FERRY_STR("notify_all") : FERRY_STR("notify"));
        } catch (const PyErrOccurred &) {
            leave_block_with_error();
            return false;
        }
        leave_block();
        return true;
    }
    // Leaves the block by the pending exception (a cancelled wait(), say):
    // the lock is released on the way out.
    Step leave_block_with_error() noexcept {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Step failed = boundary(Step::error(), kBoundaryOwner, [&] {
            leave_block();
            PyErr_SetRaisedException(exc.release());
            return Step::error();
        });
        if (exc) chain_to(std::move(exc));  // release() failed: its error, with ours as context
        return failed;
    }

    Ref self_;
    Ref cond_;  // the condition whose lock this frame holds or awaits

private:
    const char *where_;
};

enum class Conversion { Buf, Obj, Str };

// What a push returns: the ring's result (1 accepted, 0 full, -1 too large, -2 closed).
Ref ring_result(int rc) { return own(PyLong_FromLong(rc)); }

// push_buf / push_obj / push_str: convert, try_push, then notify under the
// lock, unless that would do nothing (asyncqueue_idle.hpp). With
// block_on_full a push that finds the ring full waits on `_space_cond` and
// tries again; one released by shutdown() returns FULL. The result is the
// ring's. The converted memory stays held until the coroutine ends, on every
// way out (the frame is destroyed when the coroutine finishes or is freed).
class PushFrame final : public QueueFrame, public Pooled<PushFrame> {
public:
    PushFrame(PyObject *self, PyObject *msg, Conversion kind, const char *where)
        : QueueFrame(self, where), msg_(Ref::borrow(msg)), kind_(kind) {}

    ~PushFrame() override {
        stop_waiting();
        if (exported_) PyBuffer_Release(&view_);
    }

    int traverse(visitproc visit, void *arg) noexcept override {
        Py_VISIT(msg_.get());
        Py_VISIT(owner_.get());
        Py_VISIT(counted_in_.get());
        if (exported_) Py_VISIT(view_.obj);
        return QueueFrame::traverse(visit, arg);
    }

private:
    Step step(PyObject *value) override {
        switch (at_) {
        case Start:
            convert();
            return push();
        case Notifying:  // back from acquire(): the lock is held unless it failed
            if (!value || !notify_and_leave(false)) return Step::error();
            return Step::ret(ring_result(1));
        case Acquiring:
            if (!value) {
                stop_waiting();
                return Step::error();
            }
            at_ = Waiting;
            return Step::await(call_method(cond_.get(), FERRY_STR("wait")));
        case Waiting:
            break;
        }
        stop_waiting();
        if (!value) return leave_block_with_error();
        bool released = cond_.get() != queue()->_space_cond;  // shutdown() let go of it
        leave_block();
        return released ? Step::ret(ring_result(FERRY_SPSC_FULL)) : push();
    }

    Step push() {
        ferry_spsc_queue *ring = require_ring(queue()->_q, "AsyncQueue");
        int rc = ring->vtab->try_push(ring, data_, size_);
        if (rc == FERRY_SPSC_FULL && ring->block_on_full) return wait_for_space();
        // Refused: nobody to wake. Accepted: the test comes right after try_push.
        if (rc <= 0 || state.idle_locks->notify_is_noop(queue()->_notify_cond)) return Step::ret(ring_result(rc));
        at_ = Notifying;
        return enter_block(queue()->_notify_cond);
    }

    Step wait_for_space() {
        AsyncQueue *q = queue();
        if (q->_space_cond == Py_None) {
            Ref cond = call_method(global("asyncio").get(), FERRY_STR("Condition"), q->_lock);
            state.ring_holders->each(q->_q, [&](AsyncQueue *h) { assign_borrowed(h->_space_cond, cond.get()); });
        }
        counted_in_ = Ref::borrow(q->_q);
        state.ring_holders->each(q->_q, [](AsyncQueue *h) { ++h->_space_waiters; });
        at_ = Acquiring;
        return enter_block(q->_space_cond);
    }

    // Uncounted from the holders of the ring it was counted in (the queue
    // itself may have left it since).
    void stop_waiting() noexcept {
        if (!counted_in_) return;
        Ref ring = std::move(counted_in_);
        state.ring_holders->each(ring.get(), [](AsyncQueue *h) { --h->_space_waiters; });
    }

    void convert() {
        int rc;
        switch (kind_) {
        case Conversion::Buf:
            rc = buf_to_cbuf(msg_.get(), &view_, &data_, &size_);
            exported_ = rc == 0;
            break;
        case Conversion::Obj: {
            PyObject *owner = nullptr;
            rc = obj_to_cbuf(msg_.get(), &owner, &data_, &size_);
            owner_ = Ref::steal(owner);
            break;
        }
        case Conversion::Str:
        default:
            rc = str_to_cbuf_for("AsyncQueue.push_str", msg_.get(), &data_, &size_);
            break;
        }
        check(rc);
    }

    Ref msg_;
    Ref owner_;          // push_obj: the bytes object holding the message
    Py_buffer view_{};   // push_buf: the export of msg
    bool exported_ = false;
    Ref counted_in_;  // while waiting for space: the ring whose holders count it
    Conversion kind_;
    const char *data_ = nullptr;  // the converted message
    size_t size_ = 0;
    enum At { Start, Notifying, Acquiring, Waiting } at_ = Start;
};

// Wakes the pushes waiting for space, as a task of its own: `async with
// cond: cond.notify_all()` for a consumer that could not take the lock at
// once, or for a re-initialisation.
class SignalFrame final : public QueueFrame {
public:
    SignalFrame(PyObject *self, PyObject *cond)
        : QueueFrame(self, FERRY_QUEUE_PATH "signal_space"), space_(Ref::borrow(cond)) {}

    int traverse(visitproc visit, void *arg) noexcept override {
        Py_VISIT(space_.get());
        return QueueFrame::traverse(visit, arg);
    }

private:
    Step step(PyObject *value) override {
        if (!cond_) return enter_block(space_.get());
        if (!value || !notify_and_leave(true)) return Step::error();
        return Step::ret_none();
    }

    Ref space_;
};

const CoroInfo signal_info = {"signal_space", "AsyncQueue.signal_space"};

// pop and the dispatcher: take a message if there is one, otherwise wait on
// the condition and look again.
class ConsumerFrame : public QueueFrame {
public:
    using QueueFrame::QueueFrame;

protected:
    // What to do with a message taken from the ring.
    virtual Step deliver(Ref message) = 0;
    enum At { Start, Delivering, Acquiring, Waiting } at_ = Start;

private:
    Step step(PyObject *value) override {
        switch (at_) {
        case Start:
            break;
        case Delivering:
            if (!value) return Step::error();
            break;
        case Acquiring:
            if (!value) return Step::error();
            at_ = Waiting;
            return Step::await(call_method(cond_.get(), FERRY_STR("wait")));
        case Waiting:
            if (!value) return leave_block_with_error();
            leave_block();
            break;
        }
        ferry_spsc_queue *ring = require_ring(queue()->_q, "AsyncQueue");
        const char *data = nullptr;
        size_t size = 0;
        if (ring->vtab->try_pop(ring, &data, &size) == 1) {
            Ref message = own(PyBytes_FromStringAndSize(data, (Py_ssize_t)size));
            if (queue()->_space_waiters > 0 && batch_freed(ring)) signal_space();
            return deliver(std::move(message));
        }
        // Empty: ask for the lock at once, with no suspension in between.
        at_ = Acquiring;
        return enter_block(queue()->_notify_cond);
    }

    // Pushes waiting for space are woken when the message just taken frees
    // a batch (an eighth of the ring) and when it empties the ring, not at
    // every message: a producer ahead of its consumer then waits once per
    // batch. Pushes and pops move the count by one, so a pop that frees a
    // batch lands on the mark exactly.
    static bool batch_freed(ferry_spsc_queue *ring) noexcept {
        size_t batch = ring->capacity / 8 ? ring->capacity / 8 : 1;
        size_t pending = ring->vtab->pending(ring);
        return pending == 0 || pending + batch == ring->capacity;
    }

    // Wakes the pushes waiting for space. The consumer holds a message here, so
    // it never suspends: a lock that cannot be taken at once is left to a task.
    void signal_space() {
        Ref space = Ref::borrow(queue()->_space_cond);
        if (space.get() == Py_None) return;
        if (state.idle_locks->acquires_at_once(space.get())) {
            Ref acquiring = call_method(space.get(), FERRY_STR("acquire"));
            PyObject *res = nullptr;
            PySendResult r = PyIter_Send(acquiring.get(), Py_None, &res);
            Ref drop = Ref::steal(res);
            if (r == PYGEN_ERROR) throw PyErrOccurred();
            if (r == PYGEN_RETURN) {
                cond_ = std::move(space);
                if (!notify_and_leave(true)) throw PyErrOccurred();
                return;
            }
            // It suspended after all: dropping it (closing it) withdraws the request.
        }
        Ref coro = make_coro(&signal_info, std::make_unique<SignalFrame>(self_.get(), space.get()));
        call_method(global("asyncio").get(), FERRY_STR("ensure_future"), coro.get());
    }
};

class PopFrame final : public ConsumerFrame, public Pooled<PopFrame> {
public:
    explicit PopFrame(PyObject *self) : ConsumerFrame(self, FERRY_QUEUE_PATH "pop") {}

private:
    Step deliver(Ref message) override { return Step::ret(std::move(message)); }
};

// Hands each message to the current `_callback` and awaits what it returns;
// ends only by an exception (cancellation, or a failing callback).
class DispatchFrame final : public ConsumerFrame {
public:
    explicit DispatchFrame(PyObject *self) : ConsumerFrame(self, FERRY_QUEUE_PATH "__dispatch") {}

private:
    Step deliver(Ref message) override {
        Ref callback = Ref::borrow(queue()->_callback);  // the call may replace the field
        at_ = Delivering;
        return Step::await(own(PyObject_CallOneArg(callback.get(), message.get())));
    }
};

// Wakes every waiter, releases the pushes waiting for space, then cancels the
// dispatcher task and waits for its end.
class ShutdownFrame final : public QueueFrame {
public:
    explicit ShutdownFrame(PyObject *self) : QueueFrame(self, FERRY_QUEUE_PATH "shutdown") {}

    int traverse(visitproc visit, void *arg) noexcept override {
        Py_VISIT(task_.get());
        return QueueFrame::traverse(visit, arg);
    }

private:
    Step step(PyObject *value) override {
        switch (at_) {
        case Start:
            at_ = Waking;
            return enter_block(queue()->_notify_cond);
        case Waking:
            if (!value || !notify_and_leave(true)) return Step::error();
            return release_pushes();
        case Releasing:
            if (!value || !notify_and_leave(true)) return Step::error();
            return join();
        case Joining:
            break;
        }
        if (value) return Step::ret_none();
        return swallow_cancelled();
    }

    // The pushes waiting on `_space_cond` find it gone when they wake, and
    // return; the next push to find the ring full makes a new one.
    Step release_pushes() {
        Ref space = Ref::borrow(queue()->_space_cond);
        state.ring_holders->each(queue()->_q, [](AsyncQueue *h) { assign_borrowed(h->_space_cond, Py_None); });
        assign_borrowed(queue()->_space_cond, Py_None);
        if (space.get() == Py_None || queue()->_space_waiters == 0) return join();
        at_ = Releasing;
        return enter_block(space.get());
    }

    Step join() {
        if (queue()->_task == Py_None) return Step::ret_none();
        task_ = Ref::borrow(queue()->_task);
        call_method(task_.get(), FERRY_STR("cancel"));
        at_ = Joining;
        return Step::await(Ref::borrow(task_.get()));
    }

    // `except asyncio.CancelledError: pass`, the class looked up now.
    Step swallow_cancelled() {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref cancelled;
        try {
            cancelled = own(PyObject_GetAttrString(global("asyncio").get(), "CancelledError"));
        } catch (const PyErrOccurred &) {
            chain_to(std::move(exc));
            throw;
        }
        if (PyErr_GivenExceptionMatches(exc.get(), cancelled.get())) return Step::ret_none();
        PyErr_SetRaisedException(exc.release());
        return Step::error();
    }

    enum At { Start, Waking, Releasing, Joining } at_ = Start;
    Ref task_;
};

// ---- the coroutine methods --------------------------------------------------------

const CoroInfo push_buf_info = {"push_buf", "AsyncQueue.push_buf"};
const CoroInfo push_obj_info = {"push_obj", "AsyncQueue.push_obj"};
const CoroInfo push_str_info = {"push_str", "AsyncQueue.push_str"};
const CoroInfo pop_info = {"pop", "AsyncQueue.pop"};
const CoroInfo dispatch_info = {"__dispatch", "AsyncQueue.__dispatch"};
const CoroInfo shutdown_info = {"shutdown", "AsyncQueue.shutdown"};

struct MsgArgs {
    PyObject *msg = nullptr;
};
constexpr auto push_signature(const char *func) {
    return signature<MsgArgs>(func, {{"msg", &MsgArgs::msg, kRequired}});
}
constexpr auto push_buf_signature = push_signature("push_buf");
constexpr auto push_obj_signature = push_signature("push_obj");
constexpr auto push_str_signature = push_signature("push_str");
constexpr auto pop_signature = signature("pop");
constexpr auto dispatch_signature = signature("__dispatch");
constexpr auto shutdown_signature = signature("shutdown", "excinfo");  // positional arguments are ignored

// Arguments are parsed when the method is called; the body runs when awaited.
template <const auto &Sig>
PyObject *make_push(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const CoroInfo *info,
                    Conversion kind, const char *where) {
    return guard([&] {
        // The usual call is taken as it comes.
        PyObject *msg = nargs == 2 && !kwnames ? args[1] : Sig.parse(args + 1, nargs - 1, kwnames).msg;
        return make_coro(info, std::make_unique<PushFrame>(args[0], msg, kind, where)).release();
    });
}

PyObject *push_buf_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_push<push_buf_signature>(args, nargs, kwnames, &push_buf_info, Conversion::Buf,
                                         FERRY_QUEUE_PATH "push_buf");
}
PyObject *push_obj_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_push<push_obj_signature>(args, nargs, kwnames, &push_obj_info, Conversion::Obj,
                                         FERRY_QUEUE_PATH "push_obj");
}
PyObject *push_str_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_push<push_str_signature>(args, nargs, kwnames, &push_str_info, Conversion::Str,
                                         FERRY_QUEUE_PATH "push_str");
}

PyObject *pop_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard([&] {
        if (nargs != 1 || kwnames) pop_signature.parse(args + 1, nargs - 1, kwnames);
        return make_coro(&pop_info, std::make_unique<PopFrame>(args[0])).release();
    });
}

PyObject *dispatch_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard([&] {
        dispatch_signature.parse(args + 1, nargs - 1, kwnames);
        return make_coro(&dispatch_info, std::make_unique<DispatchFrame>(args[0])).release();
    });
}

PyObject *shutdown_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard([&] {
        shutdown_signature.parse(args + 1, nargs - 1, kwnames);
        return make_coro(&shutdown_info, std::make_unique<ShutdownFrame>(args[0])).release();
    });
}

// ---- start_dispatcher ---------------------------------------------------------------

PyObject *start_dispatcher(AsyncQueue *self, PyObject *callback, int skip_dispatch) noexcept {
    PyObject *o = reinterpret_cast<PyObject *>(self);
    return guard(FERRY_QUEUE_PATH "start_dispatcher", [&] {
        if (!skip_dispatch) {
            Ref args = own(PyTuple_Pack(1, callback));
            Ref result;
            if (call_override(o, &AsyncQueueType, state.queue_start_dispatcher, "start_dispatcher", args.get(), &result))
                return result.release();
        }
        assign_borrowed(self->_callback, callback);
        Ref coro = call_method(o, FERRY_STR("_AsyncQueue__dispatch"));
        Ref loop = Ref::borrow(self->_loop);
        Ref task = call_method(loop.get(), FERRY_STR("create_task"), coro.get());
        assign(self->_task, std::move(task));
        return Py_NewRef(Py_None);
    });
}

struct StartArgs {
    PyObject *callback = nullptr;
};
constexpr auto start_dispatcher_signature =
    signature<StartArgs>("start_dispatcher", {{"callback", &StartArgs::callback, kRequired}});

PyObject *start_dispatcher_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard([&] {
        StartArgs a = start_dispatcher_signature.parse(args + 1, nargs - 1, kwnames);
        // The Python-level method is what an override's look-up already found.
        PyObject *r = start_dispatcher(as_queue(args[0]), a.callback, 1);
        if (!r) throw PyErrOccurred();
        return r;
    });
}

// ---- construction and lifetime ---------------------------------------------------------

PyObject *queue_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    AsyncQueue *self = as_queue(o);
    self->vtab = &async_queue_vtable;
    self->_q = Py_NewRef(Py_None);
    self->_loop = Py_NewRef(Py_None);
    self->_callback = Py_NewRef(Py_None);
    self->_lock = Py_NewRef(Py_None);
    self->_notify_cond = Py_NewRef(Py_None);
    self->_task = Py_NewRef(Py_None);
    self->_running = 0;
    self->_space_cond = Py_NewRef(Py_None);
    self->_space_waiters = 0;
    return o;
}

// The loop that is running now, or the RuntimeError that says one is needed.
Ref running_loop(PyObject *asyncio) {
    try {
        return call_method(asyncio, FERRY_STR("get_running_loop"));
    } catch (const PyErrOccurred &) {
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) throw;
        Ref first = Ref::steal(PyErr_GetRaisedException());
        PyErr_SetString(PyExc_RuntimeError, "AsyncQueue must be created inside a running event loop.");
        chain_to(std::move(first));
        throw;
    }
}

// Coroutines wait on the queue: pops on `_notify_cond`, pushes for space.
bool coroutines_wait(AsyncQueue *self) {
    if (self->_space_waiters > 0) return true;
    PyObject *waiters = nullptr;
    if (self->_notify_cond == Py_None ||
        PyObject_GetOptionalAttr(self->_notify_cond, FERRY_STR("_waiters"), &waiters) < 0 || !waiters) {
        PyErr_Clear();  // not an asyncio.Condition: nothing to tell
        return false;
    }
    Py_ssize_t n = PyObject_Length(Ref::steal(waiters).get());
    if (n < 0) PyErr_Clear();
    return n > 0;
}

}  // namespace

// `self->_q` becomes `ring`. Pushes of this queue still waiting for space in
// the old ring are released (they return FULL, as after shutdown), woken by
// a task on the queue's loop.
void replace_queue_ring(PyObject *o, PyObject *ring, Ref *fresh) {
    AsyncQueue *self = as_queue(o);
    Ref space = Ref::borrow(self->_space_cond);
    bool pushes_wait = self->_space_waiters > 0;
    state.ring_holders->leave(self);
    if (fresh) {
        retire_ring(o, self->_q);
        publish_ring(self->_q, std::move(*fresh));
    } else {
        assign_borrowed(self->_q, ring);
    }
    state.ring_holders->join(self);
    if (space.get() == Py_None || !pushes_wait || self->_loop == Py_None) return;
    Ref coro = make_coro(&signal_info, std::make_unique<SignalFrame>(o, space.get()));
    call_method(self->_loop, FERRY_STR("create_task"), coro.get());
}

namespace {

struct InitArgs {
    PyObject *loop = nullptr;
    size_t slot_size = 1024;
    size_t capacity = 16384;
    bool overwrite = false;
    bool zerocopy = false;
    bool block_on_full = false;
};
constexpr auto init_signature = signature<InitArgs>("__init__", {
    {"loop", &InitArgs::loop, false, "None"},
    {"slot_size", &InitArgs::slot_size},
    {"capacity", &InitArgs::capacity},
    {"overwrite", &InitArgs::overwrite},
    {"zerocopy", &InitArgs::zerocopy},
    {"block_on_full", &InitArgs::block_on_full},
});

int queue_init(PyObject *o, PyObject *args, PyObject *kwargs) {
    return guard_int(FERRY_QUEUE_PATH "__init__", [&] {
        InitArgs a = init_signature.parse(args, kwargs);
        Ref q = make_ring(a.slot_size, a.capacity, a.overwrite, a.zerocopy, a.block_on_full);
        claim_family(q, false);
        Ref asyncio = global("asyncio");
        PyObject *given = a.loop ? a.loop : Py_None;
        Ref loop = given == Py_None ? running_loop(asyncio.get()) : Ref::borrow(given);
        // Called again on the same loop, the queue keeps its lock and
        // condition, so pops waiting on them get the new ring's messages. Its
        // coroutines cannot follow it to another loop.
        AsyncQueue *self = as_queue(o);
        bool keep_condition = self->_notify_cond != Py_None && self->_loop == loop.get();
        if (!keep_condition && self->_loop != Py_None && coroutines_wait(self)) {
            PyErr_SetString(PyExc_RuntimeError,
                            "AsyncQueue.__init__: coroutines still wait on this queue on its loop; initialise it "
                            "again on that loop, or after they are done");
            throw PyErrOccurred();
        }
        Ref lock, cond;
        if (!keep_condition) {
            lock = call_method(asyncio.get(), FERRY_STR("Lock"));
            cond = call_method(asyncio.get(), FERRY_STR("Condition"), lock.get());
        }

        // Everything is built: only now is the object changed.
        if (!keep_condition) {
            assign(self->_lock, std::move(lock));
            assign(self->_notify_cond, std::move(cond));
        }
        assign(self->_loop, std::move(loop));
        replace_queue_ring(o, nullptr, &q);
        return 0;
    });
}

int queue_traverse(PyObject *o, visitproc visit, void *arg) {
    AsyncQueue *self = as_queue(o);
    Py_VISIT(self->_q);
    Py_VISIT(self->_loop);
    Py_VISIT(self->_callback);
    Py_VISIT(self->_lock);
    Py_VISIT(self->_notify_cond);
    Py_VISIT(self->_task);
    Py_VISIT(self->_space_cond);
    return 0;
}

int queue_clear(PyObject *o) {
    AsyncQueue *self = as_queue(o);
    state.ring_holders->leave(self);  // none of its pushes waits: a waiting push holds it
    assign_borrowed(self->_q, Py_None);
    assign_borrowed(self->_loop, Py_None);
    assign_borrowed(self->_callback, Py_None);
    assign_borrowed(self->_lock, Py_None);
    assign_borrowed(self->_notify_cond, Py_None);
    assign_borrowed(self->_task, Py_None);
    assign_borrowed(self->_space_cond, Py_None);
    return 0;
}

// Only drops the references: the task is not cancelled, the ring not closed.
void queue_dealloc(PyObject *o) {
    PyObject_GC_UnTrack(o);
    queue_clear(o);
    drop_retired_rings(o);
    Py_TYPE(o)->tp_free(o);
}

PyMethodDef queue_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(async_queue_reduce)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(async_queue_setstate)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ferry_async_queue_vtable async_queue_vtable = {start_dispatcher};

void prepare_async_queue_type() noexcept {
    PyTypeObject &t = AsyncQueueType;
    t.tp_name = FERRY_MODULE_NAME ".AsyncQueue";
    t.tp_basicsize = sizeof(AsyncQueue);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = doc_with_signature("AsyncQueue", init_signature,
                                  "AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, "
                                  "bool overwrite=False, bool zerocopy=False, bool block_on_full=False)");
    t.tp_new = queue_new;
    t.tp_init = queue_init;
    t.tp_dealloc = queue_dealloc;
    t.tp_traverse = queue_traverse;
    t.tp_clear = queue_clear;
    t.tp_methods = queue_methods;
}

namespace {
const FunctionDef start_dispatcher_def = {"start_dispatcher", "AsyncQueue.start_dispatcher",
                                          "AsyncQueue.start_dispatcher(self, callback)", start_dispatcher_method,
                                          &AsyncQueueType, false, &start_dispatcher_signature};
const FunctionDef push_buf_def = {"push_buf", "AsyncQueue.push_buf", "AsyncQueue.push_buf(self, msg)",
                                  push_buf_method, &AsyncQueueType, true, &push_buf_signature};
const FunctionDef push_obj_def = {"push_obj", "AsyncQueue.push_obj", "AsyncQueue.push_obj(self, msg)",
                                  push_obj_method, &AsyncQueueType, true, &push_obj_signature};
const FunctionDef push_str_def = {"push_str", "AsyncQueue.push_str", "AsyncQueue.push_str(self, msg)",
                                  push_str_method, &AsyncQueueType, true, &push_str_signature};
const FunctionDef pop_def = {"pop", "AsyncQueue.pop", "AsyncQueue.pop(self)", pop_method, &AsyncQueueType, true,
                             &pop_signature};
const FunctionDef dispatch_def = {"__dispatch", "AsyncQueue.__dispatch", "AsyncQueue.__dispatch(self)",
                                  dispatch_method, &AsyncQueueType, true, &dispatch_signature};
const FunctionDef shutdown_def = {"shutdown", "AsyncQueue.shutdown", "AsyncQueue.shutdown(self, *excinfo)",
                                  shutdown_method, &AsyncQueueType, true, &shutdown_signature};
}  // namespace

void bind_async_queue_methods() {
    PyTypeObject *t = &AsyncQueueType;
    Py_XSETREF(state.queue_start_dispatcher, add_method(t, "start_dispatcher", &start_dispatcher_def).release());
    add_method(t, "push_buf", &push_buf_def);
    add_method(t, "push_obj", &push_obj_def);
    add_method(t, "push_str", &push_str_def);
    add_method(t, "pop", &pop_def);
    add_method(t, "_AsyncQueue__dispatch", &dispatch_def);
    add_method(t, "shutdown", &shutdown_def);
}

}  // namespace ferry
