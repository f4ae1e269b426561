// The `_q` field of the queue-owning types: the ring queue it holds, made,
// checked, read and replaced. Native producers and consumers read it without
// the interpreter lock (lockfree/ring_call.hpp: current_ring) while a
// repeated constructor call may replace it: it is written and read
// atomically, in place (the published layouts keep a plain pointer), and a
// ring once installed stays alive until its owner is destroyed, so a native
// caller that loaded it never touches freed memory.
#pragma once
#include <Python.h>
#include <atomic>
#include <optional>
#include "lockfree/ring_call.hpp"
#include "module_state.hpp"

namespace ferry {

// `q` is an SPSCQueue.
inline bool is_ring(PyObject *q) noexcept {
    return q && state.spsc_type && PyObject_TypeCheck(q, state.spsc_type);
}

// Lock held: the ring of `field`, or RuntimeError if it holds none (an
// instance of `type` whose __init__ never ran still holds None).
ferry_spsc_queue *require_ring(PyObject *field, const char *type);

// A new SPSCQueue, called with these keywords (block_on_full only when given).
Ref make_ring(unsigned long long slot_size, unsigned long long capacity, bool overwrite, bool zerocopy,
              std::optional<bool> block_on_full = std::nullopt);

// Records on a new ring, before anyone else holds it, the family of forms
// its owner uses (an empty pop of that family), so that a push or pop of the
// other family is refused from the first one on.
void claim_family(const Ref &ring, bool variable_size) noexcept;

// The ring `q` was used through its variable-size forms.
bool used_as_variable(PyObject *q) noexcept;

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
