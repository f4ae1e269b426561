// The ring queue held in a `_q` field, and calls into its native table.
//
// The ring is the sibling module's SPSCQueue: its table (spsc_queue.h,
// ferry_spsc_vtable) is filled in spsc_queue.cpp (kVtable), whose member
// `try_push` is entry<&SpscRing::try_push>, a call of ring.hpp's
// SpscRing::try_push; likewise for every other member.
#pragma once
#include <atomic>
#include "spsc_queue.h"

namespace ferry::lockfree {

// The ring queue of `q`, an SPSCQueue or None (then nullptr). Compares
// addresses only.
inline ferry_spsc_queue *ring_of(PyObject *q) noexcept {
    return q == Py_None ? nullptr : reinterpret_cast<ferry_spsc_queue *>(q);
}

// The ring installed in `field` now, nullptr before the constructor ran. A
// repeated constructor call may replace it meanwhile (ring_field.hpp): the
// field is read atomically, in place, and a replaced ring stays alive until
// its owner is destroyed.
inline ferry_spsc_queue *current_ring(PyObject *const &field) noexcept {
    return ring_of(std::atomic_ref<PyObject *>(const_cast<PyObject *&>(field)).load(std::memory_order_acquire));
}

// The table's entries raise nothing (spsc_queue.cpp defines them noexcept),
// but its C header cannot say so. Called through this cast, an entry that
// ends by forwarding to one compiles to a jump into it rather than a call,
// a return and a frame that would have to stop an exception.
template <class R, class... A>
inline auto as_noexcept(R (*entry)(A...)) noexcept {
    return reinterpret_cast<R (*)(A...) noexcept>(entry);
}

// Calls the table member `form` (e.g. &ferry_spsc_vtable::try_push) of the
// ring `q`.
template <class Form, class... A>
inline auto call_ring(ferry_spsc_queue *q, Form ferry_spsc_vtable::*form, A... args) noexcept {
    return as_noexcept(q->vtab->*form)(q, args...);
}

// The same on the ring in `field`; a field of None (an instance whose
// constructor never ran) counts as closed and is not touched.
template <class Form, class... A>
inline int call_ring(PyObject *const &field, Form ferry_spsc_vtable::*form, A... args) noexcept {
    ferry_spsc_queue *q = current_ring(field);
    if (!q) return FERRY_SPSC_CLOSED;
    return call_ring(q, form, args...);
}

}  // namespace ferry::lockfree
