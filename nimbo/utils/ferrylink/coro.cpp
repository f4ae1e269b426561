#include "coro.hpp"
#include "errors.hpp"
#include "module_state.hpp"

namespace ferry {
namespace {

enum : unsigned char { CREATED, SUSPENDED, FINISHED };

struct CoroObject {
    PyObject_HEAD
    CoroFrame *frame;  // nullptr once finished
    PyObject *yf;      // the iterator being awaited, or nullptr
    const CoroInfo *info;
    unsigned char state;
    bool running;
};

PyTypeObject CoroType = {PyVarObject_HEAD_INIT(nullptr, 0)};

CoroObject *as_coro(PyObject *o) { return reinterpret_cast<CoroObject *>(o); }

void finish(CoroObject *c) noexcept {
    c->state = FINISHED;
    c->running = false;
    delete std::exchange(c->frame, nullptr);
}

// A value leaves tp_iternext/send() as StopIteration(value), which the
// awaiting frame takes apart at once. A Python coroutine's `await` steps us
// through tp_iternext, not am_send, so every AsyncQueue push and pop returns
// this way. One instance (and its 1-tuple of args) is reused while nothing
// else holds or has marked it, sparing two objects per returned value (push
// and pop run ~1.5x as fast with it, bench/asyncqueue_bench.py); it is
// emptied at the next step so that the value is not kept alive. It lives in
// the process state (state.spare_stop), never released.

bool spare_stop_free() noexcept {
    auto *e = reinterpret_cast<PyBaseExceptionObject *>(state.spare_stop);
    return e && Py_REFCNT(state.spare_stop) == 1 && !e->dict && !e->notes && !e->traceback && !e->context && !e->cause &&
           !e->suppress_context;
}

// Puts `value` into the spare's args, in place when nothing else sees them.
void set_spare_args(PyObject *value) noexcept {
    PyObject *args = reinterpret_cast<PyBaseExceptionObject *>(state.spare_stop)->args;
    if (args && PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 1 && Py_REFCNT(args) == 1) {
        Ref old = Ref::steal(PyTuple_GET_ITEM(args, 0));
        PyTuple_SET_ITEM(args, 0, Py_NewRef(value));
        // The collector untracks a tuple holding only untracked objects.
        if (PyObject_GC_IsTracked(value) && !PyObject_GC_IsTracked(args)) PyObject_GC_Track(args);
        return;
    }
    Ref fresh = Ref::steal(PyTuple_Pack(1, value));
    if (fresh) PyException_SetArgs(state.spare_stop, fresh.get());  // else the old args stay; the value is right
}

void empty_spare_stop() noexcept {
    auto *e = reinterpret_cast<PyStopIterationObject *>(state.spare_stop);
    if (!e || !e->value || Py_REFCNT(state.spare_stop) != 1) return;
    set_spare_args(Py_None);
    Py_CLEAR(e->value);
}

void set_stop_iteration(PyObject *value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    if (spare_stop_free()) {
        set_spare_args(value);
        Py_XSETREF(reinterpret_cast<PyStopIterationObject *>(state.spare_stop)->value, Py_NewRef(value));
        PyErr_SetRaisedException(Py_NewRef(state.spare_stop));
        return;
    }
    PyObject *e = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (!e) return;
    Py_XSETREF(state.spare_stop, Py_NewRef(e));
    PyErr_SetRaisedException(e);
}

// The iterator that `await obj` drives, as the interpreter finds it; nullptr
// with the error set if there is none.
Ref awaitable_iter(PyObject *obj) noexcept {
    PyTypeObject *t = Py_TYPE(obj);
    if (t == &CoroType || PyCoro_CheckExact(obj)) return Ref::borrow(obj);
    if (PyGen_CheckExact(obj)) {
        // A generator marked by types.coroutine is awaitable as it is.
        Ref code = Ref::steal(reinterpret_cast<PyObject *>(PyGen_GetCode(reinterpret_cast<PyGenObject *>(obj))));
        if (code && (reinterpret_cast<PyCodeObject *>(code.get())->co_flags & CO_ITERABLE_COROUTINE))
            return Ref::borrow(obj);
    }
    unaryfunc getter = t->tp_as_async ? t->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", t->tp_name);
        return Ref();
    }
    Ref it = Ref::steal(ferry_lock::park_on_forced_unwind([&] { return getter(obj); }));  // Python code may run
    if (!it) return it;
    if (PyCoro_CheckExact(it.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return Ref();
    }
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
        return Ref();
    }
    return it;
}

// The value of a pending StopIteration (cleared), or nullptr if another error.
PyObject *take_stop_iteration_value() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    return PyObject_GetAttrString(exc.get(), "value");
}

PySendResult coro_send_impl(CoroObject *c, PyObject *arg, PyObject **result) noexcept;

// Closes an iterator being awaited, for a GeneratorExit thrown into us.
int close_iter(PyObject *yf) noexcept {
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttrString(yf, "close", &found) < 0) return -1;
    Ref meth = Ref::steal(found);
    if (!meth) return 0;  // nothing to close
    return Ref::steal(PyObject_CallNoArgs(meth.get())) ? 0 : -1;
}

// Throws the pending exception into the awaited iterator `yf`.
PySendResult throw_into(PyObject *yf, PyObject **result) noexcept {
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (close_iter(yf) == 0) PyErr_SetRaisedException(exc.release());  // else close's error wins
        return PYGEN_ERROR;
    }
    if (Py_IS_TYPE(yf, &CoroType)) return coro_send_impl(as_coro(yf), nullptr, result);
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttrString(yf, "throw", &found) < 0) return PYGEN_ERROR;
    Ref meth = Ref::steal(found);
    if (!meth) {  // cannot take it: raise it here
        PyErr_SetRaisedException(exc.release());
        return PYGEN_ERROR;
    }
    PyObject *r = PyObject_CallOneArg(meth.get(), exc.get());
    if (r) {
        *result = r;
        return PYGEN_NEXT;
    }
    PyObject *value = take_stop_iteration_value();
    if (!value) return PYGEN_ERROR;
    *result = value;
    return PYGEN_RETURN;
}

Step run_frame(CoroFrame *frame, PyObject *value) noexcept {
    return boundary(Step::error(), kBoundaryOwner, [&] { return frame->resume(value); });
}

// Refuses a step the coroutine cannot take now (error set); true when it may
// run. An exception thrown in before the first step finishes it unrun.
bool may_step(CoroObject *c, PyObject *arg) noexcept {
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    if (c->state == FINISHED) {
        if (arg) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return false;
    }
    if (c->state == CREATED) {
        if (!arg) {
            finish(c);
            return false;
        }
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return false;
        }
    }
    return true;
}

// Steps the iterator `it` with `arg`, or throws the pending exception into it
// when `arg` is nullptr.
PySendResult send_into(PyObject *it, PyObject *arg, PyObject **res) noexcept {
    return ferry_lock::park_on_forced_unwind([&] { return arg ? PyIter_Send(it, arg, res) : throw_into(it, res); });
}

// What the frame resumes with once an awaited iterator is done: its return
// value, or nothing with its error pending.
Ref resume_value(PySendResult r, PyObject *res) noexcept {
    Ref value = Ref::steal(res);
    return r == PYGEN_RETURN ? std::move(value) : Ref();
}

// Leaves the coroutine suspended on `c->yf`, which yielded `res`.
PySendResult suspend(CoroObject *c, PyObject *res, PyObject **result) noexcept {
    c->running = false;
    *result = res;
    return PYGEN_NEXT;
}

// Runs the frame from `value` (nothing: an error pending) until it returns,
// fails, or awaits an iterator that suspends.
PySendResult run_until_suspended(CoroObject *c, Ref value, PyObject **result) noexcept {
    for (;;) {
        Step step = run_frame(c->frame, value.get());
        if (step.kind == Step::Return) {
            finish(c);
            *result = step.value.release();
            return PYGEN_RETURN;
        }
        if (step.kind == Step::Error) {
            if (c->info->where) add_traceback(c->info->where);
            finish(c);
            return PYGEN_ERROR;
        }
        Ref it = awaitable_iter(step.value.get());
        if (!it) {
            value = Ref();
            continue;
        }
        PyObject *res = nullptr;
        PySendResult r = send_into(it.get(), Py_None, &res);
        if (r == PYGEN_NEXT) {
            c->yf = it.release();
            return suspend(c, res, result);
        }
        value = resume_value(r, res);
    }
}

// The one driver: `arg` is the value sent in, or nullptr to throw the pending
// exception in.
PySendResult coro_send_impl(CoroObject *c, PyObject *arg, PyObject **result) noexcept {
    empty_spare_stop();
    if (!may_step(c, arg)) return PYGEN_ERROR;
    c->running = true;
    Ref value = Ref::borrow(arg);
    if (c->yf) {
        PyObject *res = nullptr;
        PySendResult r = send_into(c->yf, arg, &res);
        if (r == PYGEN_NEXT) return suspend(c, res, result);
        Py_CLEAR(c->yf);
        value = resume_value(r, res);
    }
    c->state = SUSPENDED;
    return run_until_suspended(c, std::move(value), result);
}

PyObject *finish_call(PySendResult r, PyObject *res) noexcept {
    if (r == PYGEN_NEXT) return res;
    Ref value = Ref::steal(res);
    if (r == PYGEN_RETURN) set_stop_iteration(value.get());
    return nullptr;
}

PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **result) {
    return coro_send_impl(as_coro(self), arg, result);
}

PyObject *coro_send(PyObject *self, PyObject *arg) {
    PyObject *res = nullptr;
    PySendResult r = coro_send_impl(as_coro(self), arg, &res);  // before `res` is read
    return finish_call(r, res);
}

PyObject *coro_iternext(PyObject *self) {
    PyObject *res = nullptr;
    PySendResult r = coro_send_impl(as_coro(self), Py_None, &res);
    if (r == PYGEN_RETURN && res == Py_None) {
        Ref done = Ref::steal(res);
        return nullptr;  // exhausted, no value to carry
    }
    return finish_call(r, res);
}

PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject *typ = args[0];
    PyObject *val = nargs > 1 && args[1] != Py_None ? args[1] : nullptr;
    PyObject *tb = nargs > 2 && args[2] != Py_None ? args[2] : nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Ref exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Ref::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (val && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject *>(typ)))
            exc = Ref::borrow(val);
        else
            exc = Ref::steal(val ? PyObject_CallOneArg(typ, val) : PyObject_CallNoArgs(typ));
        if (!exc) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb) PyException_SetTraceback(exc.get(), tb);
    PyErr_SetRaisedException(exc.release());
    PyObject *res = nullptr;
    PySendResult r = coro_send_impl(as_coro(self), nullptr, &res);  // before `res` is read
    return finish_call(r, res);
}

PyObject *coro_close(PyObject *self, PyObject *) {
    CoroObject *c = as_coro(self);
    if (c->state != SUSPENDED) {
        finish(c);
        Py_RETURN_NONE;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    PyObject *res = nullptr;
    PySendResult r = coro_send_impl(c, nullptr, &res);
    Ref result = Ref::steal(res);
    if (r == PYGEN_NEXT) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) Py_RETURN_NONE;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject *coro_await(PyObject *self) { return Py_NewRef(self); }

// A suspended coroutine that is dropped is closed, so its `finally` work (a
// lock held across an await, say) still happens. One never started warns,
// as the interpreter's own coroutines do: its work (a push, say) was never
// done. A warning turned into an error (-W error) is reported as unraisable.
void coro_finalize(PyObject *self) {
    CoroObject *c = as_coro(self);
    if (c->state == FINISHED) return;
    PendingExceptionKept kept;
    if (c->state == CREATED) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited", c->info->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else if (!Ref::steal(coro_close(self, nullptr))) {
        PyErr_WriteUnraisable(self);
    }
}

int coro_traverse(PyObject *self, visitproc visit, void *arg) {
    CoroObject *c = as_coro(self);
    Py_VISIT(c->yf);
    return c->frame ? c->frame->traverse(visit, arg) : 0;
}

int coro_clear(PyObject *self) {
    CoroObject *c = as_coro(self);
    Py_CLEAR(c->yf);
    c->state = FINISHED;
    delete std::exchange(c->frame, nullptr);
    return 0;
}

// Coroutines are made and dropped once per call: objects that never needed
// their finalizer are kept for reuse (untracked, as allocation leaves them)
// in state.coro_pool.

void coro_dealloc(PyObject *self) {
    // Only an unfinished coroutine has work for its finalizer.
    if (as_coro(self)->state != FINISHED && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    coro_clear(self);
    if (state.coro_pool_count < ModuleState::coro_pool_size && !PyObject_GC_IsFinalized(self))
        state.coro_pool[state.coro_pool_count++] = self;
    else
        PyObject_GC_Del(self);
}

PyObject *coro_repr(PyObject *self) {
    return PyUnicode_FromFormat("<coroutine object %s at %p>", as_coro(self)->info->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return PyUnicode_FromString(as_coro(self)->info->name); }
PyObject *get_qualname(PyObject *self, void *) { return PyUnicode_FromString(as_coro(self)->info->qualname); }
PyObject *get_await(PyObject *self, void *) {
    PyObject *yf = as_coro(self)->yf;
    return Py_NewRef(yf ? yf : Py_None);
}
PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(as_coro(self)->running); }
PyObject *get_suspended(PyObject *self, void *) {
    CoroObject *c = as_coro(self);
    return PyBool_FromLong(c->state == SUSPENDED && !c->running);
}
PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coro_async = {coro_await, nullptr, nullptr, coro_am_send};

}  // namespace

int ready_coro_type() noexcept {
    if (CoroType.tp_flags & Py_TPFLAGS_READY) return 0;
    CoroType.tp_name = "ferrylink_coroutine";
    CoroType.tp_basicsize = sizeof(CoroObject);
    CoroType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    CoroType.tp_as_async = &coro_async;
    CoroType.tp_dealloc = coro_dealloc;
    CoroType.tp_finalize = coro_finalize;
    CoroType.tp_traverse = coro_traverse;
    CoroType.tp_clear = coro_clear;
    CoroType.tp_repr = coro_repr;
    CoroType.tp_iter = PyObject_SelfIter;
    CoroType.tp_iternext = coro_iternext;
    CoroType.tp_methods = coro_methods;
    CoroType.tp_getset = coro_getset;
    if (PyType_Ready(&CoroType) < 0) return -1;
    // asyncio.iscoroutine() and Task() accept registered Coroutine types.
    return guard_int([] {
        Ref abc = own(PyImport_ImportModule("collections.abc"));
        Ref coroutine = own(PyObject_GetAttrString(abc.get(), "Coroutine"));
        own(PyObject_CallMethod(coroutine.get(), "register", "O", reinterpret_cast<PyObject *>(&CoroType)));
        return 0;
    });
}

Ref make_coro(const CoroInfo *info, std::unique_ptr<CoroFrame> frame) {
    CoroObject *c;
    if (state.coro_pool_count > 0) {
        c = as_coro(state.coro_pool[--state.coro_pool_count]);
        PyObject_Init(reinterpret_cast<PyObject *>(c), &CoroType);
    } else {
        c = PyObject_GC_New(CoroObject, &CoroType);
        if (!c) throw PyErrOccurred();
    }
    c->frame = frame.release();
    c->yf = nullptr;
    c->info = info;
    c->state = CREATED;
    c->running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(c));
    return Ref::steal(reinterpret_cast<PyObject *>(c));
}

}  // namespace ferry
