#include "errors.hpp"
#include <frameobject.h>
#include <string_view>
#include "module_state.hpp"

namespace ferry {

// The file's own name, without the directories the build passed.
static const char *base_name(const char *path) noexcept {
    std::string_view p(path);
    size_t slash = p.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path + slash + 1;
}

void add_traceback(const char *where, std::source_location at) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(base_name(at.file_name()), where, int(at.line()))));
    Ref globals = state.globals ? Ref::borrow(state.globals) : Ref::steal(PyDict_New());
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
