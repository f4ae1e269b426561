#include "ring_field.hpp"

namespace ferry {

Ref make_ring(unsigned long long slot_size, unsigned long long capacity, bool overwrite, bool zerocopy,
              std::optional<bool> block_on_full) {
    static PyObject *kw4 = Py_BuildValue("(ssss)", "slot_size", "capacity", "overwrite", "zerocopy");
    static PyObject *kw5 = Py_BuildValue("(sssss)", "slot_size", "capacity", "overwrite", "zerocopy", "block_on_full");
    PyObject *kwnames = block_on_full ? kw5 : kw4;
    if (!kwnames) throw PyErrOccurred();
    Ref slot = own(PyLong_FromUnsignedLongLong(slot_size));
    Ref cap = own(PyLong_FromUnsignedLongLong(capacity));
    PyObject *values[] = {slot.get(), cap.get(), overwrite ? Py_True : Py_False, zerocopy ? Py_True : Py_False,
                          block_on_full.value_or(false) ? Py_True : Py_False};
    return own(PyObject_Vectorcall(reinterpret_cast<PyObject *>(state.spsc_type), values, 0, kwnames));
}

ferry_spsc_queue *require_ring(PyObject *field, const char *type) {
    if (!is_ring(field)) {
        PyErr_Format(PyExc_RuntimeError, "%s has no ring queue: its __init__ was not run", type);
        throw PyErrOccurred();
    }
    return lockfree::ring_of(field);
}

void claim_family(const Ref &ring, bool variable_size) noexcept {
    ferry_spsc_queue *q = lockfree::ring_of(ring.get());
    const char *data;
    size_t size;
    (void)(variable_size ? q->vtab->try_pop_var : q->vtab->try_pop)(q, &data, &size);
}

bool used_as_variable(PyObject *q) noexcept {
    // reserved_flags[1]: 0 unused, 1 fixed slots, 2 variable size (spsc_queue.h).
    unsigned char &slot = lockfree::ring_of(q)->reserved_flags[1];
    unsigned char family = std::atomic_ref<unsigned char>(slot).load(std::memory_order_relaxed);
    return family == 2;
}

void close_ring(const Ref &q) noexcept {
    ferry_spsc_queue *ring = lockfree::ring_of(q.get());
    FERRY_BEGIN_ALLOW_THREADS
    ring->vtab->close(ring);
    FERRY_END_ALLOW_THREADS
}

void retire_ring(PyObject *owner, PyObject *&field) {
    if (!is_ring(field)) return;  // the first construction: nothing to retire
    // Only destruction erases the entry, so the reference outlives the
    // releases of the lock below.
    std::vector<Ref> &kept = (*state.retired)[owner];
    kept.reserve(kept.size() + 1);  // allocated before the ring is closed
    // While the lock is released to close a ring, another constructor call
    // may retire it and install its own: then close that one too.
    for (Ref old = Ref::borrow(field); is_ring(old.get()); old = Ref::borrow(field)) {
        close_ring(old);
        if (field == old.get()) {
            kept.push_back(std::move(old));
            return;
        }
    }
}

void publish_ring(PyObject *&field, Ref ring) noexcept {
    // A retired ring is still held by the list above.
    Ref old = Ref::steal(std::atomic_ref<PyObject *>(field).exchange(ring.release(), std::memory_order_release));
}

void drop_retired_rings(PyObject *owner) noexcept {
    if (state.retired->empty()) return;
    auto it = state.retired->find(owner);
    if (it == state.retired->end()) return;
    std::vector<Ref> rings = std::move(it->second);
    state.retired->erase(it);
}

}  // namespace ferry
