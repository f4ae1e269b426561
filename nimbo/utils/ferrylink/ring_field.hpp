// The `_q` field of the queue-owning types. Native producers and consumers
// read it without the interpreter lock while a repeated constructor call may
// replace it: it is written and read atomically, in place (the published
// layouts keep a plain pointer), and a ring once installed stays alive until
// its owner is destroyed, so a native caller that loaded it never touches
// freed memory.
#pragma once
#include <Python.h>
#include <atomic>
#include "pyref.hpp"

namespace ferry {

// Native entries, no lock: the ring installed now (None before the constructor).
inline PyObject *current_ring(PyObject *const &field) noexcept {
    return std::atomic_ref<PyObject *>(const_cast<PyObject *&>(field)).load(std::memory_order_acquire);
}

// Closes the ring queue `q` with the interpreter lock released (a push in
// flight may have to finish first); the caller's reference keeps it alive.
void close_ring(const Ref &q) noexcept;

// A constructor replacing `field`, lock held, in two steps with nothing that
// releases the lock in between: `retire_ring` closes the ring in `field` (a
// producer still using it gets CLOSED) and keeps it for `owner`'s life;
// `publish_ring` then installs the new one.
void retire_ring(PyObject *owner, PyObject *&field);
void publish_ring(PyObject *&field, Ref ring) noexcept;

// Destruction, lock held: lets go of the rings `owner` retired.
void drop_retired_rings(PyObject *owner) noexcept;

}  // namespace ferry
