// Python objects as byte views for native code: the four exported conversion
// functions and CBufferView.
#pragma once
#include <Python.h>
#include "ferrylink.h"

namespace ferry {

int obj_to_cbuf(PyObject *obj, PyObject **owner, const char **start, size_t *length) noexcept;
int buf_to_cbuf(PyObject *obj, Py_buffer *record, const char **start, size_t *length) noexcept;
int bytes_to_cbuf(PyObject *obj, const char **start, size_t *length) noexcept;
int str_to_cbuf(PyObject *obj, const char **start, size_t *length) noexcept;
// str_to_cbuf for the callable `who`, named in the TypeError for a non-str.
int str_to_cbuf_for(const char *who, PyObject *obj, const char **start, size_t *length) noexcept;

}  // namespace ferry

namespace ferry {

extern PyTypeObject CBufferViewType;
extern const ferry_buffer_view_vtable buffer_view_vtable;
void prepare_buffer_view_type() noexcept;

}  // namespace ferry
