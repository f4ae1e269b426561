// AsyncDispatcher: an asyncio reader task drains the ring queue and hands
// each message to a Python callback; native producers push from any thread.
#include "args.hpp"
#include "coro.hpp"
#include "dispatchers.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "module_state.hpp"
#include "wakeup.hpp"

namespace ferry {

// ---- AsyncDispatcher -----------------------------------------------------------
// Invariants: `_q` is None or an SPSCQueue; the native entries read only `_q`
// and `_wakeup`, and treat a None `_q` (constructor never ran) as closed. A
// repeated constructor call closes the earlier queue, kept until destruction.

using AsyncDispatcher = ferry_async_dispatcher;

PyTypeObject AsyncDispatcherType = {PyVarObject_HEAD_INIT(nullptr, 0)};

static AsyncDispatcher *as_adisp(PyObject *o) { return reinterpret_cast<AsyncDispatcher *>(o); }

static void adisp_setup(AsyncDispatcher *self, int skip_dispatch, ferry_setup_args *opt) noexcept;

// The producer entries run without the interpreter lock: lockfree/entries.hpp.
constexpr ferry_adisp_push_fn adisp_push = lockfree::push_and_wake<AsyncDispatcher, &ferry_spsc_vtable::try_push>;
constexpr ferry_adisp_push_fn adisp_push_var =
    lockfree::push_and_wake<AsyncDispatcher, &ferry_spsc_vtable::try_push_var>;

const ferry_async_dispatcher_vtable async_dispatcher_vtable = {
    .setup = adisp_setup,
    .push = adisp_push,
    .push_var = adisp_push_var,
    .push_coalesced = lockfree::push_and_wake_if_waiting<AsyncDispatcher, &ferry_spsc_vtable::try_push>,
    .push_var_coalesced = lockfree::push_and_wake_if_waiting<AsyncDispatcher, &ferry_spsc_vtable::try_push_var>,
};

static PyObject *adisp_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    AsyncDispatcher *self = as_adisp(o);
    self->vtab = &async_dispatcher_vtable;
    lockfree::init_target(&self->_wakeup);
    self->_q = Py_NewRef(Py_None);
    self->_callback = Py_NewRef(Py_None);
    self->_sock = Py_NewRef(Py_None);
    self->_task = Py_NewRef(Py_None);
    self->_push_fn = nullptr;
    self->_running = 1;
    self->_variable_size = 0;
    return o;
}

namespace {
struct InitArgs {
    PyObject *callback = nullptr;
    size_t capacity = 16384;
    size_t slot_size = 2048;
    bool overwrite = false;
    bool zerocopy = false;
    bool variable_size = false;
};
constexpr auto init_signature = signature<InitArgs>("__init__", {
    {"callback", &InitArgs::callback, kRequired},
    {"capacity", &InitArgs::capacity},
    {"slot_size", &InitArgs::slot_size},
    {"overwrite", &InitArgs::overwrite},
    {"zerocopy", &InitArgs::zerocopy},
    {"variable_size", &InitArgs::variable_size},
});
}  // namespace

static int adisp_init(PyObject *o, PyObject *args, PyObject *kwargs) {
    return guard_int(FERRY_MODULE_NAME ".AsyncDispatcher.__init__", [&] {
        InitArgs a = init_signature.parse(args, kwargs);
        Ref q = make_ring(a.slot_size, a.capacity, a.overwrite, a.zerocopy);
        claim_family(q, a.variable_size);

        AsyncDispatcher *self = as_adisp(o);
        retire_ring(o, self->_q);
        assign_borrowed(self->_callback, a.callback);
        self->_variable_size = a.variable_size;
        self->_push_fn = a.variable_size ? adisp_push_var : adisp_push;
        publish_ring(self->_q, std::move(q));
        return 0;
    });
}

// A done callback of a retired reader task: closes the socket it waited on.
static PyObject *close_reader_socket(PyObject *sock, PyObject *) {
    return guard([&] {
        close_socket(sock);
        return Py_NewRef(Py_None);
    });
}
static PyMethodDef close_reader_socket_def = {"_close_socket", close_reader_socket, METH_O, nullptr};

// `_finalize`, handed to the task's loop by close: cancel unless already
// done, and close the reader's socket (None: none to close) once the task
// has ended. The loop's selector keys readers by descriptor number and lets
// go of this one only while the cancellation unwinds sock_recv: closed
// earlier, the number could go to a new socket that the loop then ignores.
static PyObject *finalize_task(PyObject *task_and_sock, PyObject *) {
    return guard([&] {
        PyObject *task = PyTuple_GET_ITEM(task_and_sock, 0), *sock = PyTuple_GET_ITEM(task_and_sock, 1);
        bool done = truth(own(PyObject_CallMethod(task, "done", nullptr)).get());
        if (sock != Py_None) {
            Ref closer = own(PyCFunction_New(&close_reader_socket_def, sock));
            if (done)
                own(PyObject_CallOneArg(closer.get(), task));
            else
                own(PyObject_CallMethod(task, "add_done_callback", "O", closer.get()));
        }
        if (!done) own(PyObject_CallMethod(task, "cancel", nullptr));
        return Py_NewRef(Py_None);
    });
}
static PyMethodDef finalize_def = {"_finalize", finalize_task, METH_NOARGS, nullptr};

// Takes the reader task and the socket out of the dispatcher: the task's
// cancellation, and the socket's close after it, go to the task's own loop.
// Without a task, or on a closed loop (which never runs the task again), the
// socket is closed at once.
static void retire_reader(AsyncDispatcher *self) {
    Ref task = Ref::steal(std::exchange(self->_task, Py_NewRef(Py_None)));
    retire_socket_field(self->_sock, &self->_wakeup, [&](PyObject *sock) {
        if (task.get() != Py_None) {
            Ref loop = own(PyObject_CallMethod(task.get(), "get_loop", nullptr));
            if (!truth(own(PyObject_CallMethod(loop.get(), "is_closed", nullptr)).get())) {
                Ref task_and_sock = own(PyTuple_Pack(2, task.get(), sock));
                Ref finalize = own(PyCFunction_New(&finalize_def, task_and_sock.get()));
                own(PyObject_CallMethod(loop.get(), "call_soon_threadsafe", "O", finalize.get()));
                return;
            }
        }
        close_socket(sock);
    });
}

// Done callback of the reader task: an exception that ended it goes to the
// loop's exception handler at once (and so counts as retrieved), rather than
// when the task is collected.
static PyObject *report_reader_end(PyObject *dispatcher, PyObject *task) {
    return guard([&] {
        if (truth(own(PyObject_CallMethod(task, "cancelled", nullptr)).get())) return Py_NewRef(Py_None);
        Ref exc = own(PyObject_CallMethod(task, "exception", nullptr));
        if (exc.get() == Py_None) return Py_NewRef(Py_None);
        Ref loop = own(PyObject_CallMethod(task, "get_loop", nullptr));
        Ref message = own(PyUnicode_FromFormat("the reader of %R ended by an exception", dispatcher));
        Ref context = own(Py_BuildValue("{sOsOsO}", "message", message.get(), "exception", exc.get(), "task", task));
        own(PyObject_CallMethod(loop.get(), "call_exception_handler", "O", context.get()));
        return Py_NewRef(Py_None);
    });
}
static PyMethodDef report_reader_end_def = {"_report_reader_end", report_reader_end, METH_O, nullptr};

// The new socket, its bound address, the loop and the reader task are all
// made first; only then are the earlier reader and socket retired and the
// new ones swapped in, so a setup that fails leaves an earlier reader
// working. With no reader to keep, the socket is bound and targeted before
// the loop is looked for, as a first setup always did.
static void adisp_do_setup(AsyncDispatcher *self, PyObject *host, int recvbuf) {
    require_ring(self->_q, "AsyncDispatcher");
    Ref sock = setup_socket(false, recvbuf);
    WakeupTarget target;
    lockfree::init_target(&target);
    fill_target(&target, sock.get(), host);
    auto swap_in_socket = [&] {
        retire_reader(self);
        self->_wakeup.addr = target.addr;
        lockfree::target_fd(&self->_wakeup).store(lockfree::target_fd(&target).load(), std::memory_order_release);
        assign_borrowed(self->_sock, sock.get());
    };
    bool keeps_reader = self->_task != Py_None;
    if (!keeps_reader) swap_in_socket();
    Ref asyncio = global("asyncio");
    Ref loop = own(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr));
    const char *reader = self->_variable_size ? "_AsyncDispatcher__reader_var" : "_AsyncDispatcher__reader";
    Ref coro = own(PyObject_CallMethod(reinterpret_cast<PyObject *>(self), reader, "OO", loop.get(), sock.get()));
    Ref task = own(PyObject_CallMethod(loop.get(), "create_task", "O", coro.get()));
    try {
        Ref report = own(PyCFunction_New(&report_reader_end_def, reinterpret_cast<PyObject *>(self)));
        own(PyObject_CallMethod(task.get(), "add_done_callback", "O", report.get()));
        if (keeps_reader) swap_in_socket();
    } catch (const PyErrOccurred &) {
        // Not started yet: cancelled now, it never reads, so one reader stays.
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (!Ref::steal(PyObject_CallMethod(task.get(), "cancel", nullptr))) PyErr_Clear();
        PyErr_SetRaisedException(exc.release());
        throw;
    }
    assign(self->_task, std::move(task));
}

static void adisp_setup(AsyncDispatcher *self, int skip_dispatch, ferry_setup_args *opt) noexcept {
    setup_entry(self, &AsyncDispatcherType, state.async_dispatcher_setup, skip_dispatch, opt, adisp_do_setup,
                FERRY_MODULE_NAME ".AsyncDispatcher.setup");
}

static PyObject *adisp_setup_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return setup_method(args, nargs, kwnames, adisp_setup);
}

static void adisp_close(AsyncDispatcher *self) {
    self->_running = 0;
    Ref q = Ref::borrow(self->_q);  // a constructor call may replace `_q` meanwhile
    if (is_ring(q.get())) close_ring(q);
    lockfree::send_wakeup(&self->_wakeup);
    retire_reader(self);
}

constexpr auto close_signature = signature("close");

static PyObject *adisp_close_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard(FERRY_MODULE_NAME ".AsyncDispatcher.close", [&] {
        close_signature.parse(args + 1, nargs - 1, kwnames);
        adisp_close(as_adisp(args[0]));
        return Py_NewRef(Py_None);
    });
}

// ---- the reader coroutines ----------------------------------------------------

namespace {

class ReaderFrame final : public CoroFrame {
public:
    ReaderFrame(PyObject *self, PyObject *loop, PyObject *sock, bool variable)
        : self_(Ref::borrow(self)), loop_(Ref::borrow(loop)), sock_(Ref::borrow(sock)), variable_(variable) {}

    Step resume(PyObject *value) override {
        if (!value) return Step::error();  // the awaited call raised, or we were cancelled
        switch (at_) {
        case Start:
            counter_ = 0;
            own_fd_ = socket_handle(sock_.get());
            break;
        case Callback:
            counter_ = (counter_ + 1) % 128;
            if (counter_ == 0) {
                at_ = Sleep;
                Ref asyncio = global("asyncio");
                return Step::await(own(PyObject_CallMethod(asyncio.get(), "sleep", "i", 0)));
            }
            break;
        case Receive:
            return after_wait();
        case Sleep:
            break;
        }
        return next();
    }

    int traverse(visitproc visit, void *arg) noexcept override {
        Py_VISIT(self_.get());
        Py_VISIT(loop_.get());
        Py_VISIT(sock_.get());
        return 0;
    }

private:
    // Drains while messages are there; when empty, announces the wait,
    // looks once more, and only then waits for one datagram.
    Step next() {
        AsyncDispatcher *d = as_adisp(self_.get());
        if (!d->_running) return Step::ret_none();
        ferry_spsc_queue *q = require_ring(d->_q, "AsyncDispatcher");
        if (try_pop(q) == 1) return deliver(d);
        return wait_or_deliver(d, q);
    }

    // The ring was found empty.
    Step wait_or_deliver(AsyncDispatcher *d, ferry_spsc_queue *q) {
        auto pop = [&] { return try_pop(q); };
        // Only while the dispatcher still owns this reader's socket: once
        // closed, its number may belong to another.
        auto read_due = [&] { return d->_sock == sock_.get() && lockfree::receive_wakeup_now(own_fd_); };
        if (sleeper_.before_wait(*d, pop, read_due)) return deliver(d);
        at_ = Receive;
        static PyObject *one = PyLong_FromLong(1);
        PyObject *args[] = {loop_.get(), sock_.get(), one};
        return Step::await(own(PyObject_VectorcallMethod(FERRY_STR("sock_recv"), args, 3, nullptr)));
    }

    // A datagram came.
    Step after_wait() {
        AsyncDispatcher *d = as_adisp(self_.get());
        if (!d->_running) return Step::ret_none();
        ferry_spsc_queue *q = require_ring(d->_q, "AsyncDispatcher");
        if (sleeper_.after_wait(*d, [&] { return try_pop(q); }) == 1) return deliver(d);
        return wait_or_deliver(d, q);
    }

    // Awaits the callback with the message just popped.
    Step deliver(AsyncDispatcher *d) {
        Ref message = own(PyBytes_FromStringAndSize(data_, (Py_ssize_t)size_));
        at_ = Callback;
        return Step::await(own(PyObject_CallOneArg(d->_callback, message.get())));
    }

    int try_pop(ferry_spsc_queue *q) noexcept {
        return variable_ ? q->vtab->try_pop_var(q, &data_, &size_) : q->vtab->try_pop(q, &data_, &size_);
    }

    enum At { Start, Callback, Sleep, Receive } at_ = Start;
    Ref self_, loop_, sock_;
    bool variable_;
    const char *data_ = nullptr;
    size_t size_ = 0;
    int32_t counter_ = 0;
    PLATFORM_SOCKET own_fd_ = FERRY_NO_SOCKET;  // sock_'s handle, for a leftover datagram
    lockfree::wake_flag::Sleeper<AsyncDispatcher> sleeper_;
};

struct ReaderArgs {
    PyObject *loop = nullptr;
    PyObject *sock = nullptr;
};
constexpr auto reader_signature(const char *func) {
    return signature<ReaderArgs>(func, {
        {"loop", &ReaderArgs::loop, kRequired},
        {"sock", &ReaderArgs::sock, kRequired},
    });
}
constexpr auto reader_fixed_signature = reader_signature("_AsyncDispatcher__reader");
constexpr auto reader_var_signature = reader_signature("_AsyncDispatcher__reader_var");

}  // namespace

template <const auto &Sig>
static PyObject *make_reader(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const CoroInfo *info,
                             bool variable) {
    return guard([&] {
        ReaderArgs a = Sig.parse(args + 1, nargs - 1, kwnames);
        return make_coro(info, std::make_unique<ReaderFrame>(args[0], a.loop, a.sock, variable)).release();
    });
}

static const CoroInfo reader_info = {"__reader", "AsyncDispatcher.__reader",
                                     FERRY_MODULE_NAME ".AsyncDispatcher.__reader"};
static const CoroInfo reader_var_info = {"__reader_var", "AsyncDispatcher.__reader_var",
                                         FERRY_MODULE_NAME ".AsyncDispatcher.__reader_var"};

static PyObject *reader_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_reader<reader_fixed_signature>(args, nargs, kwnames, &reader_info, false);
}
static PyObject *reader_var_method(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_reader<reader_var_signature>(args, nargs, kwnames, &reader_var_info, true);
}

// ---- lifetime -----------------------------------------------------------------

static int adisp_traverse(PyObject *o, visitproc visit, void *arg) {
    AsyncDispatcher *self = as_adisp(o);
    Py_VISIT(self->_q);
    Py_VISIT(self->_callback);
    Py_VISIT(self->_sock);
    Py_VISIT(self->_task);
    return 0;
}

static int adisp_clear(PyObject *o) {
    AsyncDispatcher *self = as_adisp(o);
    assign_borrowed(self->_q, Py_None);
    assign_borrowed(self->_callback, Py_None);
    assign_borrowed(self->_sock, Py_None);
    assign_borrowed(self->_task, Py_None);
    return 0;
}

// Runs before the fields go, also for instances the collector found in a cycle.
// One set up and never closed warns, as an unclosed socket or file does.
static void adisp_finalize(PyObject *o) {
    PendingExceptionKept kept;
    if (as_adisp(o)->_sock != Py_None && PyErr_ResourceWarning(o, 1, "unclosed %R", o) < 0)
        write_unraisable(FERRY_MODULE_NAME ".AsyncDispatcher.__dealloc__");
    if (!Ref::steal(PyObject_CallMethod(o, "close", nullptr)))
        write_unraisable(FERRY_MODULE_NAME ".AsyncDispatcher.__dealloc__");
}

static void adisp_dealloc(PyObject *o) {
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected by close
    PyObject_GC_UnTrack(o);
    adisp_clear(o);
    drop_retired_rings(o);
    Py_TYPE(o)->tp_free(o);
}

static PyMethodDef adisp_methods[] = {
    FERRY_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

void prepare_async_dispatcher_type() noexcept {
    PyTypeObject &t = AsyncDispatcherType;
    t.tp_name = FERRY_MODULE_NAME ".AsyncDispatcher";
    t.tp_basicsize = sizeof(AsyncDispatcher);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = doc_with_signature("AsyncDispatcher", init_signature,
                                  "AsyncDispatcher(callback, size_t capacity=16384, size_t slot_size=2048, "
                                  "bool overwrite=False, bool zerocopy=False, bool variable_size=False)");
    t.tp_new = adisp_new;
    t.tp_init = adisp_init;
    t.tp_dealloc = adisp_dealloc;
    t.tp_finalize = adisp_finalize;
    t.tp_traverse = adisp_traverse;
    t.tp_clear = adisp_clear;
    t.tp_methods = adisp_methods;
}

static const FunctionDef adisp_setup_def = {
    "setup", "AsyncDispatcher.setup",
    "AsyncDispatcher.setup(self, str host='127.0.0.1', int recvbuf=16777216) -> void", adisp_setup_method,
    &AsyncDispatcherType, false, &setup_signature};
static const FunctionDef adisp_reader_def = {"__reader", "AsyncDispatcher.__reader",
                                             "AsyncDispatcher.__reader(self, loop, sock)", reader_method,
                                             &AsyncDispatcherType, true, &reader_fixed_signature};
static const FunctionDef adisp_reader_var_def = {"__reader_var", "AsyncDispatcher.__reader_var",
                                                 "AsyncDispatcher.__reader_var(self, loop, sock)", reader_var_method,
                                                 &AsyncDispatcherType, true, &reader_var_signature};
static const FunctionDef adisp_close_def = {"close", "AsyncDispatcher.close", "AsyncDispatcher.close(self) -> None",
                                            adisp_close_method, &AsyncDispatcherType, false, &close_signature};

void bind_async_dispatcher_methods() {
    PyTypeObject *t = &AsyncDispatcherType;
    Py_XSETREF(state.async_dispatcher_setup, add_method(t, "setup", &adisp_setup_def, state.setup_defaults).release());
    add_method(t, "_AsyncDispatcher__reader", &adisp_reader_def);
    add_method(t, "_AsyncDispatcher__reader_var", &adisp_reader_var_def);
    Ref annotations = own(Py_BuildValue("{ss}", "return", "None"));
    add_method(t, "close", &adisp_close_def, nullptr, annotations.get());
}

}  // namespace ferry
