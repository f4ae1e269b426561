// nimbo.spsc_queue.spsc_queue: the SPSCQueue type, a Python object around the
// lock-free ring core (ring.hpp). Native code reaches the ring through the
// method table published in the type's dictionary as `__pyx_vtable__`; the
// Python methods are a small API for Python producers, tests and debugging.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

#include "cpython/allow_threads.hpp"
#include "cpython/boundary.hpp"
#include "cpython/ref.hpp"
#include "ring.hpp"
#include "spsc_queue.h"

namespace {

using ferry::Ref;
using ferry::SpscRing;

static_assert(offsetof(ferry_spsc_queue, vtab) == sizeof(PyObject), "vtab follows the object header");
static_assert(int(FERRY_SPSC_FULL) == ferry::kFull && int(FERRY_SPSC_EMPTY) == ferry::kEmpty &&
                  int(FERRY_SPSC_TOO_LARGE) == ferry::kTooLarge && int(FERRY_SPSC_CLOSED) == ferry::kClosed,
              "the ring's results are the header's");

// reserved_flags[0]: a Python-level push() is waiting with the interpreter
// lock released; a second Python producer must not start meanwhile.
constexpr int kPushBusy = 0;
// reserved_flags[1]: the family of forms the ring was first used with. The
// two families lay messages out differently, so a pop of the other family
// misreads them: both the native entries and the Python methods refuse to
// mix them.
constexpr int kFamily = 1;
enum Family : unsigned char { kUnused = 0, kFixed = 1, kVariable = 2 };

// Records `family` if the ring has none yet; returns the ring's family. One
// relaxed byte load once recorded: the native entries call it on every use.
inline unsigned char note_family(ferry_spsc_queue *q, Family family) noexcept {
    std::atomic_ref<unsigned char> slot(q->reserved_flags[kFamily]);
    unsigned char seen = slot.load(std::memory_order_relaxed);
    if (seen != kUnused) [[likely]]
        return seen;
    if (slot.compare_exchange_strong(seen, family, std::memory_order_relaxed)) return family;
    return seen;  // the other side recorded first
}

// The ring pointer is written once by __init__ and may be read by other
// threads through the table (an object handed out before construction).
inline SpscRing *ring_of(ferry_spsc_queue *q) noexcept {
    return static_cast<SpscRing *>(std::atomic_ref<void *>(q->ring).load(std::memory_order_acquire));
}

// ---- the method table: other threads, no interpreter lock, no refcounts ----

// Every entry: the ring member `Form` on the ring of `q`. A push or pop form
// (family `F`) records its family first, returns WRONG_FAMILY on a ring used
// through the other one and CLOSED on a ring never built; pending, release
// and close (kUnused) find nothing to do there.
template <auto Form, Family F, class R, class... Args>
R entry(ferry_spsc_queue *q, Args... args) noexcept {
    SpscRing *r = ring_of(q);
    if constexpr (F != kUnused) {
        if (r == nullptr) return FERRY_SPSC_CLOSED;
        if (note_family(q, F) != F) [[unlikely]]
            return FERRY_SPSC_WRONG_FAMILY;
    } else if (r == nullptr) {
        return R();
    }
    return (r->*Form)(args...);
}
template <auto Form, Family F>
constexpr ferry_spsc_push_fn push_entry = entry<Form, F, int, const char *, size_t>;
template <auto Form, Family F>
constexpr ferry_spsc_pop_fn pop_entry = entry<Form, F, int, const char **, size_t *>;

// By member name, so that a call through the table (`vtab->try_push`) leads
// here by search.
const ferry_spsc_vtable kVtable = {
    .push = push_entry<&SpscRing::push, kFixed>,
    .try_push = push_entry<&SpscRing::try_push, kFixed>,
    .push_var = push_entry<&SpscRing::push_var, kVariable>,
    .try_push_var = push_entry<&SpscRing::try_push_var, kVariable>,
    .pending = entry<&SpscRing::pending, kUnused, size_t>,
    .pop = pop_entry<&SpscRing::pop, kFixed>,
    .release = entry<&SpscRing::release, kUnused, void>,
    .try_pop = pop_entry<&SpscRing::try_pop, kFixed>,
    .pop_var = pop_entry<&SpscRing::pop_var, kVariable>,
    .try_pop_var = pop_entry<&SpscRing::try_pop_var, kVariable>,
    .close = entry<&SpscRing::close, kUnused, void>,
};

// ---- helpers ------------------------------------------------------------

// Runs a slot body through the boundary (cpython/boundary.hpp).
template <class R, class F>
R guarded(R failure, F &&body) noexcept {
    return ferry::boundary(failure, "SPSCQueue", std::forward<F>(body));
}

SpscRing *ready_ring(PyObject *self) {
    SpscRing *r = ring_of(reinterpret_cast<ferry_spsc_queue *>(self));
    if (r == nullptr)
        PyErr_Format(PyExc_RuntimeError, "%s.__init__() was not called", Py_TYPE(self)->tp_name);
    return r;
}

// An unsigned machine word: ints and objects with __index__ or __int__.
bool as_size(PyObject *o, size_t *out) {
    Ref num;
    if (PyLong_Check(o)) {
        num = Ref::borrow(o);
    } else if (PyIndex_Check(o)) {
        num = Ref::steal(PyNumber_Index(o));
    } else if (Py_TYPE(o)->tp_as_number != nullptr && Py_TYPE(o)->tp_as_number->nb_int != nullptr) {
        num = Ref::steal(PyNumber_Long(o));
    } else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    if (!num) return false;
    *out = PyLong_AsSize_t(num.get());
    return !(*out == size_t(-1) && PyErr_Occurred());
}

// A contiguous view of any buffer exporter; strided ones are copied.
struct Bytes {
    Py_buffer view{};
    char *copy = nullptr;
    const char *data = nullptr;
    size_t size = 0;

    bool get(PyObject *obj) {
        if (PyObject_GetBuffer(obj, &view, PyBUF_FULL_RO) != 0) return false;
        size = size_t(view.len);
        if (PyBuffer_IsContiguous(&view, 'C')) {
            data = static_cast<const char *>(view.buf);
            return true;
        }
        copy = static_cast<char *>(PyMem_Malloc(size ? size : 1));
        if (copy == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        if (PyBuffer_ToContiguous(copy, &view, view.len, 'C') != 0) return false;
        data = copy;
        return true;
    }
    ~Bytes() {
        PyMem_Free(copy);
        if (view.obj != nullptr) PyBuffer_Release(&view);
    }
};

// ---- the type ---------------------------------------------------------------

PyObject *queue_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        auto *q = reinterpret_cast<ferry_spsc_queue *>(self);
        q->vtab = &kVtable;
        q->ring = nullptr;
    }
    return self;
}

int queue_init(PyObject *self, PyObject *args, PyObject *kwds) noexcept {
    return guarded(
        -1, [&]() -> int {
            static const char *kwlist[] = {"slot_size", "capacity", "overwrite", "zerocopy", "block_on_full", nullptr};
            PyObject *slot_obj, *cap_obj, *ow = Py_False, *zc = Py_False, *bf = Py_False;
            if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OOO:SPSCQueue", const_cast<char **>(kwlist),
                                             &slot_obj, &cap_obj, &ow, &zc, &bf))
                return -1;
            auto *q = reinterpret_cast<ferry_spsc_queue *>(self);
            if (ring_of(q) != nullptr) {
                // Other threads may already be using the ring.
                PyErr_SetString(PyExc_RuntimeError, "SPSCQueue is already initialized");
                return -1;
            }
            ferry::RingOptions opt;
            if (!as_size(slot_obj, &opt.slot_size) || !as_size(cap_obj, &opt.capacity)) return -1;
            if (opt.slot_size == 0) {
                PyErr_SetString(PyExc_ValueError, "slot_size must be at least 1");
                return -1;
            }
            if (opt.capacity == 0) {
                PyErr_SetString(PyExc_ValueError, "capacity must be at least 1");
                return -1;
            }
            int flags[3];
            PyObject *flag_objs[3] = {ow, zc, bf};
            for (int i = 0; i < 3; ++i)
                if ((flags[i] = PyObject_IsTrue(flag_objs[i])) < 0) return -1;
            opt.overwrite = flags[0];
            opt.zerocopy = flags[1];
            opt.block_on_full = flags[2];
            int err = 0;
            SpscRing *r;
            FERRY_BEGIN_ALLOW_THREADS  // mmap of a large region
            r = SpscRing::create(opt, err);
            FERRY_END_ALLOW_THREADS
            if (r == nullptr) {
                PyErr_Format(PyExc_MemoryError,
                             "SPSCQueue: cannot reserve memory for a ring of capacity %zu and slot_size %zu",
                             opt.capacity, opt.slot_size);
                return -1;
            }
            if (ring_of(q) != nullptr) {  // another __init__ won while the lock was released
                SpscRing::destroy(r);
                PyErr_SetString(PyExc_RuntimeError, "SPSCQueue is already initialized");
                return -1;
            }
            q->slot_size = opt.slot_size;
            q->capacity = opt.capacity;
            q->overwrite = opt.overwrite;
            q->zerocopy = opt.zerocopy;
            q->block_on_full = opt.block_on_full;
            std::atomic_ref<void *>(q->ring).store(r, std::memory_order_release);
            return 0;
        });
}

void queue_dealloc(PyObject *self) noexcept {
    auto *q = reinterpret_cast<ferry_spsc_queue *>(self);
    SpscRing::destroy(ring_of(q));
    q->ring = nullptr;
    Py_TYPE(self)->tp_free(self);
}

// The ring, unless it is gone or was first used through the other family of
// forms (`method` names the refused call).
SpscRing *family_ring(PyObject *self, Family family, const char *method) {
    SpscRing *r = ready_ring(self);
    if (r == nullptr) return nullptr;
    if (note_family(reinterpret_cast<ferry_spsc_queue *>(self), family) != family) {
        PyErr_Format(PyExc_RuntimeError,
                     "%s.%s(): this ring is used through its %s forms; fixed-slot and variable-size forms "
                     "cannot be mixed on one ring",
                     Py_TYPE(self)->tp_name, method, family == kFixed ? "variable-size (_var)" : "fixed-slot");
        return nullptr;
    }
    return r;
}

// As family_ring, and refused while another thread is inside a blocking push.
SpscRing *producer_ring(PyObject *self, Family family, const char *method) {
    SpscRing *r = family_ring(self, family, method);
    if (r != nullptr && reinterpret_cast<ferry_spsc_queue *>(self)->reserved_flags[kPushBusy]) {
        PyErr_SetString(PyExc_RuntimeError, "another thread is pushing (one producer only)");
        return nullptr;
    }
    return r;
}

template <Family F>
PyObject *try_push_method(PyObject *self, PyObject *obj) noexcept {
    return guarded(
        static_cast<PyObject *>(nullptr), [&]() -> PyObject * {
            SpscRing *r = producer_ring(self, F, F == kFixed ? "try_push" : "try_push_var");
            if (r == nullptr) return nullptr;
            Bytes b;
            if (!b.get(obj)) return nullptr;
            return PyLong_FromLong(F == kFixed ? r->try_push(b.data, b.size) : r->try_push_var(b.data, b.size));
        });
}

template <Family F>
PyObject *push_method(PyObject *self, PyObject *obj) noexcept {
    return guarded(
        static_cast<PyObject *>(nullptr), [&]() -> PyObject * {
            SpscRing *r = producer_ring(self, F, F == kFixed ? "push" : "push_var");
            if (r == nullptr) return nullptr;
            auto *q = reinterpret_cast<ferry_spsc_queue *>(self);
            Bytes b;
            if (!b.get(obj)) return nullptr;
            int rc;
            q->reserved_flags[kPushBusy] = 1;
            FERRY_BEGIN_ALLOW_THREADS
            rc = F == kFixed ? r->push(b.data, b.size) : r->push_var(b.data, b.size);
            FERRY_END_ALLOW_THREADS
            q->reserved_flags[kPushBusy] = 0;
            return PyLong_FromLong(rc);
        });
}

template <Family F>
PyObject *try_pop_method(PyObject *self, PyObject *) noexcept {
    return guarded(
        static_cast<PyObject *>(nullptr), [&]() -> PyObject * {
            SpscRing *r = family_ring(self, F, F == kFixed ? "try_pop" : "try_pop_var");
            if (r == nullptr) return nullptr;
            const char *data = nullptr;
            size_t size = 0;
            if ((F == kFixed ? r->try_pop(&data, &size) : r->try_pop_var(&data, &size)) != 1) Py_RETURN_NONE;
            PyObject *out = PyBytes_FromStringAndSize(data, Py_ssize_t(size));
            r->release();  // the bytes object has its own copy
            return out;
        });
}

PyObject *queue_close(PyObject *self, PyObject *) noexcept {
    SpscRing *r = ready_ring(self);
    if (r == nullptr) return nullptr;
    FERRY_BEGIN_ALLOW_THREADS  // may wait for a push in flight on another thread
    r->close();
    FERRY_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject *queue_reduce(PyObject *self, PyObject *) noexcept {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (name) PyErr_Format(PyExc_TypeError, "cannot pickle '%U' object", name.get());
    return nullptr;
}

Py_ssize_t queue_len(PyObject *self) noexcept {
    SpscRing *r = ready_ring(self);
    if (r == nullptr) return -1;
    size_t n = r->pending();
    return n > size_t(PY_SSIZE_T_MAX) ? PY_SSIZE_T_MAX : Py_ssize_t(n);
}

PyObject *queue_repr(PyObject *self) noexcept {
    auto *q = reinterpret_cast<ferry_spsc_queue *>(self);
    SpscRing *r = ring_of(q);
    if (r == nullptr) return PyUnicode_FromFormat("<%s (not initialized)>", Py_TYPE(self)->tp_name);
    return PyUnicode_FromFormat("<%s slot_size=%zu capacity=%zu pending=%zu%s>", Py_TYPE(self)->tp_name,
                                q->slot_size, q->capacity, r->pending(), r->closed() ? " closed" : "");
}

enum Field { kSlotSize, kCapacity, kClosed, kPushed, kPopped, kDropped, kRejected, kOverwrite, kZerocopy, kBlock };

PyObject *queue_get(PyObject *self, void *closure) noexcept {
    SpscRing *r = ready_ring(self);
    if (r == nullptr) return nullptr;
    auto *q = reinterpret_cast<ferry_spsc_queue *>(self);
    switch (static_cast<Field>(reinterpret_cast<intptr_t>(closure))) {
    case kSlotSize: return PyLong_FromSize_t(q->slot_size);
    case kCapacity: return PyLong_FromSize_t(q->capacity);
    case kClosed: return PyBool_FromLong(r->closed());
    case kPushed: return PyLong_FromUnsignedLongLong(r->pushed());
    case kPopped: return PyLong_FromUnsignedLongLong(r->popped());
    case kDropped: return PyLong_FromUnsignedLongLong(r->dropped());
    case kRejected: return PyLong_FromUnsignedLongLong(r->rejected());
    case kOverwrite: return PyBool_FromLong(q->overwrite);
    case kZerocopy: return PyBool_FromLong(q->zerocopy);
    case kBlock: return PyBool_FromLong(q->block_on_full);
    }
    Py_RETURN_NONE;
}

#define FIELD(name, id, doc) {name, queue_get, nullptr, PyDoc_STR(doc), reinterpret_cast<void *>(intptr_t(id))}
PyGetSetDef queue_getset[] = {
    FIELD("slot_size", kSlotSize, "Largest message of the fixed-slot forms, in bytes."),
    FIELD("capacity", kCapacity, "Number of slots (the variable-size forms: capacity * slot_size bytes)."),
    FIELD("closed", kClosed, "True once close() was called."),
    FIELD("pushed", kPushed, "Messages accepted."),
    FIELD("popped", kPopped, "Messages handed to the consumer."),
    FIELD("dropped", kDropped, "Unread messages dropped by overwrite to make room."),
    FIELD("rejected", kRejected, "Pushes not accepted: full, too large or closed."),
    FIELD("overwrite", kOverwrite, "The overwrite flag given at construction."),
    FIELD("zerocopy", kZerocopy, "The zerocopy flag given at construction."),
    FIELD("block_on_full", kBlock, "The block_on_full flag given at construction."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef FIELD

PyMethodDef queue_methods[] = {
    {"try_push", try_push_method<kFixed>, METH_O,
     PyDoc_STR("try_push($self, buffer, /)\n--\n\n"
               "Copies the bytes of any buffer into a slot; never waits. Returns 1 if\n"
               "accepted, 0 if full, -1 (TOO_LARGE) if longer than slot_size, -2\n"
               "(CLOSED) after close().")},
    {"push", push_method<kFixed>, METH_O,
     PyDoc_STR("push($self, buffer, /)\n--\n\n"
               "Like try_push, but with block_on_full waits (without holding the\n"
               "interpreter lock) for space until close(). For a Python producer\n"
               "thread; only one thread may push at a time.")},
    {"try_pop", try_pop_method<kFixed>, METH_NOARGS,
     PyDoc_STR("try_pop($self, /)\n--\n\n"
               "The oldest message as bytes, or None when empty (or closed and drained).")},
    {"try_push_var", try_push_method<kVariable>, METH_O,
     PyDoc_STR("try_push_var($self, buffer, /)\n--\n\n"
               "try_push for the variable-size form: a record in the byte ring.")},
    {"push_var", push_method<kVariable>, METH_O,
     PyDoc_STR("push_var($self, buffer, /)\n--\n\n"
               "push for the variable-size form.")},
    {"try_pop_var", try_pop_method<kVariable>, METH_NOARGS,
     PyDoc_STR("try_pop_var($self, /)\n--\n\n"
               "try_pop for the variable-size form.")},
    {"close", queue_close, METH_NOARGS,
     PyDoc_STR("close($self, /)\n--\n\n"
               "Refuses further pushes and wakes every waiter; queued messages can\n"
               "still be popped. Safe from any thread, more than once.")},
    {"__reduce__", queue_reduce, METH_NOARGS, PyDoc_STR("SPSCQueue objects cannot be pickled or copied.")},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods queue_as_sequence = {queue_len};

PyDoc_STRVAR(queue_doc,
"SPSCQueue(slot_size, capacity, overwrite=False, zerocopy=False, block_on_full=False)\n"
"--\n\n"
"Lock-free single-producer/single-consumer ring queue of byte messages.\n"
"\n"
"One producer thread pushes, one consumer thread pops; close() may come from\n"
"any thread. Native code uses the method table in the capsule\n"
"SPSCQueue.__pyx_vtable__ (see spsc_queue.h, nimbo.spsc_queue.get_include());\n"
"the Python methods are for Python producers, tests and debugging.\n"
"\n"
"Fixed slots: capacity messages of up to slot_size bytes each. Variable size\n"
"(the _var methods and entries): a byte ring of capacity * slot_size bytes\n"
"holding length-prefixed records; a message fits if 8 + its length rounded\n"
"up to 8 is at most that. A queue is used in one form only: it records the\n"
"family of its first push or pop: the Python methods of the other family\n"
"raise RuntimeError, its native entries return WRONG_FAMILY (-3).\n"
"\n"
"Push results: 1 accepted, 0 full, -1 (TOO_LARGE) never fits, -2 (CLOSED)\n"
"after close(). Pops: the oldest message; empty -> 0 (try forms) or wait;\n"
"after close() queued messages are still delivered, then -2 (CLOSED). A pop\n"
"waiting when close() comes delivers what is left, then returns CLOSED.\n"
"\n"
"overwrite: a push into a full queue drops the oldest unread message (counted\n"
"in dropped) and is accepted. The message the consumer currently holds is\n"
"never overwritten; should the producer lap it (a whole spare ring length\n"
"later) the push is refused with 0, or waits with block_on_full.\n"
"block_on_full: push/push_var wait for space (until close); try forms never\n"
"wait.\n"
"zerocopy: pops hand out a pointer into the ring, valid until the consumer's\n"
"next call (after pop: until release). Without it each pop copies the\n"
"message into a consumer-side buffer and frees its space at once; the\n"
"pointer then refers to that buffer, valid until the consumer's next call.\n"
"\n"
"Memory is reserved once at construction and only touched as it is used.\n"
"Sizes: negative -> OverflowError, zero -> ValueError, a ring too large to\n"
"reserve -> MemoryError. Not picklable.");

PyTypeObject queue_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "nimbo.spsc_queue.spsc_queue.SPSCQueue",
    .tp_basicsize = sizeof(ferry_spsc_queue),
    .tp_itemsize = 0,
    .tp_dealloc = queue_dealloc,
    .tp_repr = queue_repr,
    .tp_as_sequence = &queue_as_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = queue_doc,
    .tp_methods = queue_methods,
    .tp_getset = queue_getset,
    .tp_init = queue_init,
    .tp_new = queue_new,
};

// The type is static: ready it, and publish its table, once per process.
int ready_type() noexcept {
    static_assert(sizeof(ferry_spsc_queue) == FERRY_SPSC_INSTANCE_SIZE);
    if (PyType_Ready(&queue_type) < 0) return -1;  // nothing to do once ready
    if (int published = PyDict_ContainsString(queue_type.tp_dict, "__pyx_vtable__"); published != 0)
        return published < 0 ? -1 : 0;
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<ferry_spsc_vtable *>(&kVtable), nullptr, nullptr));
    if (!capsule || PyDict_SetItemString(queue_type.tp_dict, "__pyx_vtable__", capsule.get()) < 0) return -1;
    PyType_Modified(&queue_type);
    return 0;
}

int module_exec(PyObject *m) noexcept {
    if (ready_type() < 0 || PyModule_AddObjectRef(m, "SPSCQueue", reinterpret_cast<PyObject *>(&queue_type)) < 0 ||
        PyModule_AddIntConstant(m, "FULL", FERRY_SPSC_FULL) < 0 ||
        PyModule_AddIntConstant(m, "EMPTY", FERRY_SPSC_EMPTY) < 0 ||
        PyModule_AddIntConstant(m, "TOO_LARGE", FERRY_SPSC_TOO_LARGE) < 0 ||
        PyModule_AddIntConstant(m, "CLOSED", FERRY_SPSC_CLOSED) < 0 ||
        PyModule_AddIntConstant(m, "WRONG_FAMILY", FERRY_SPSC_WRONG_FAMILY) < 0)
        return -1;
    return 0;
}

// One static type serves the process: like a single-phase module, loadable
// into the main interpreter and legacy subinterpreters only.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "nimbo.spsc_queue.spsc_queue",
    .m_doc = "Lock-free single-producer/single-consumer ring queue (SPSCQueue).",
    .m_size = 0,
    .m_slots = module_slots,
};

}  // namespace

PyMODINIT_FUNC PyInit_spsc_queue(void) noexcept { return PyModuleDef_Init(&module_def); }
