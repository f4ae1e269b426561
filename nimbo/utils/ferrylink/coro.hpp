// Native coroutine objects: a small state machine (a CoroFrame) stepped by one
// driver that delegates `await`s to the awaited object's iterator, the way a
// Python coroutine does. Registered as collections.abc.Coroutine, so asyncio
// accepts it anywhere a coroutine goes.
#pragma once
#include <Python.h>
#include <memory>
#include "pyref.hpp"

namespace ferry {

// What a frame asks of the driver after running to its next suspension point.
struct Step {
    enum Kind { Await, Return, Error } kind;
    Ref value;  // the object to await, or the return value

    static Step await(Ref awaitable) { return {Await, std::move(awaitable)}; }
    static Step ret(Ref value) { return {Return, std::move(value)}; }
    static Step ret_none() { return {Return, none()}; }
    static Step error() { return {Error, Ref()}; }
};

class CoroFrame {
public:
    virtual ~CoroFrame() = default;
    // Runs from the last suspension point. `value` is what the awaited object
    // returned (Py_None for the first run), or nullptr with the exception it
    // raised (or one thrown in) pending. May throw PyErrOccurred.
    virtual Step resume(PyObject *value) = 0;
    virtual int traverse(visitproc visit, void *arg) noexcept = 0;
};

struct CoroInfo {
    const char *name;
    const char *qualname;
    const char *where = nullptr;  // traceback entry added when the body fails
};

int ready_coro_type() noexcept;
Ref make_coro(const CoroInfo *info, std::unique_ptr<CoroFrame> frame);

}  // namespace ferry
