#include "errors.hpp"
#include <frameobject.h>

namespace ferry {

static PyObject *tb_globals = nullptr;  // borrowed: the module dict lives for the process

void set_traceback_globals(PyObject *globals) noexcept { tb_globals = globals; }

void add_traceback(const char *where) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty("ferrylink.cpp", where, 0)));
    Ref globals = tb_globals ? Ref::borrow(tb_globals) : Ref::steal(PyDict_New());
    Ref frame;
    if (code && globals)
        frame = Ref::steal(reinterpret_cast<PyObject *>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), globals.get(), nullptr)));
    PyErr_Clear();  // a failure to make the entry leaves the exception as it was
    PyErr_SetRaisedException(exc.release());
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

void write_unraisable(const char *context) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    // Display only: PyErr_Print would exit the process on SystemExit.
    PyErr_DisplayException(exc.get());
    Ref ctx = Ref::steal(PyUnicode_FromString(context));
    PyErr_SetRaisedException(exc.release());
    PyErr_WriteUnraisable(ctx.get());
}

}  // namespace ferry
