// The dispatchers: AsyncDispatcher (asyncio reader), SyncDispatcher (native
// thread) and CyPipe (native to native), each owning one ring queue.
#pragma once
#include <Python.h>
#include "ferrylink.h"
#include "module_state.hpp"
#include "wakeup.hpp"

namespace ferry {

// The ring queue's entries raise nothing (they are defined noexcept; its C
// header cannot say so): called as such, an entry that forwards to one ends
// in a jump rather than a call and a return.
template <class R, class... A>
inline auto nothrow(R (*entry)(A...)) noexcept {
    return reinterpret_cast<R (*)(A...) noexcept>(entry);
}

// One push or pop form of `_q`'s ring queue, for the native entries. A `_q`
// of None (an instance whose constructor never ran) counts as closed and is
// not touched.
inline int ring_push(PyObject *q, ferry_spsc_push_fn ferry_spsc_vtable::*form, const char *data,
                     size_t size) noexcept {
    if (q == Py_None) return FERRY_SPSC_CLOSED;
    ferry_spsc_queue *ring = ring_of(q);
    return nothrow(ring->vtab->*form)(ring, data, size);
}
inline int ring_pop(PyObject *q, ferry_spsc_pop_fn ferry_spsc_vtable::*form, const char **data,
                    size_t *size) noexcept {
    if (q == Py_None) return FERRY_SPSC_CLOSED;
    ferry_spsc_queue *ring = ring_of(q);
    return nothrow(ring->vtab->*form)(ring, data, size);
}

// `push` and `push_var` of both dispatchers: a try form, then one wake-up
// datagram for an accepted message.
template <class Dispatcher>
inline int push_and_wake(Dispatcher *self, ferry_spsc_push_fn ferry_spsc_vtable::*form, const char *data,
                         size_t size) noexcept {
    int r = ring_push(self->_q, form, data, size);
    if (r > 0) send_wakeup(&self->_wakeup);
    return r;
}

// Each type: its object, its native method table, a step that fills the
// slots before PyType_Ready, and (where it has them) the Python-level
// function objects bound once the module's names exist.

extern PyTypeObject AsyncDispatcherType;
extern const ferry_async_dispatcher_vtable async_dispatcher_vtable;
void prepare_async_dispatcher_type() noexcept;
void bind_async_dispatcher_methods();

extern PyTypeObject SyncDispatcherType;
extern const ferry_sync_dispatcher_vtable sync_dispatcher_vtable;
void prepare_sync_dispatcher_type() noexcept;
void bind_sync_dispatcher_methods();

extern PyTypeObject CyPipeType;
extern const ferry_pipe_vtable pipe_vtable;
void prepare_pipe_type() noexcept;

}  // namespace ferry
