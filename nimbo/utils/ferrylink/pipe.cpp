// CyPipe: a plain pipe over one ring queue for a native producer thread and a
// native consumer thread; every entry is one call into the queue.
#include "dispatchers.hpp"
#include "module_state.hpp"

namespace ferry {

// Invariant: `_q` is None (constructor never ran: the entries act as on a
// closed queue and touch nothing) or an SPSCQueue. A repeated constructor
// call closes the earlier queue, which the pipe keeps until it is destroyed.

using Pipe = ferry_pipe;

PyTypeObject CyPipeType = {PyVarObject_HEAD_INIT(nullptr, 0)};

static Pipe *as_pipe(PyObject *o) { return reinterpret_cast<Pipe *>(o); }

// Every entry runs without the interpreter lock: lockfree/entries.hpp.
constexpr ferry_pipe_push_fn pipe_push = lockfree::push_only<Pipe, &ferry_spsc_vtable::push>;
constexpr ferry_pipe_push_fn pipe_push_var = lockfree::push_only<Pipe, &ferry_spsc_vtable::push_var>;
constexpr ferry_pipe_pop_fn pipe_pop = lockfree::pop_only<Pipe, &ferry_spsc_vtable::pop>;
constexpr ferry_pipe_pop_fn pipe_pop_var = lockfree::pop_only<Pipe, &ferry_spsc_vtable::pop_var>;
constexpr ferry_pipe_release_fn pipe_release = lockfree::release<Pipe>;
constexpr ferry_pipe_release_fn pipe_release_var = lockfree::release_nothing<Pipe>;

const ferry_pipe_vtable pipe_vtable = {
    .push = pipe_push,
    .push_var = pipe_push_var,
    .pop = pipe_pop,
    .pop_var = pipe_pop_var,
    .release = pipe_release,
    .release_var = pipe_release_var,
};

static PyObject *pipe_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    Pipe *self = as_pipe(o);
    self->vtab = &pipe_vtable;
    self->_q = Py_NewRef(Py_None);
    self->_push_fn = nullptr;
    self->_pop_fn = nullptr;
    self->_release_fn = nullptr;
    return o;
}

namespace {
struct InitArgs {
    size_t capacity = 16384;
    size_t slot_size = 2048;
    bool zerocopy = false;
    bool overwrite = false;
    bool block_on_full = false;
    bool variable_size = false;
};
constexpr auto init_signature = signature<InitArgs>("__init__", {
    {"capacity", &InitArgs::capacity},
    {"slot_size", &InitArgs::slot_size},
    {"zerocopy", &InitArgs::zerocopy},
    {"overwrite", &InitArgs::overwrite},
    {"block_on_full", &InitArgs::block_on_full},
    {"variable_size", &InitArgs::variable_size},
});
}  // namespace

static int pipe_init(PyObject *o, PyObject *args, PyObject *kwargs) {
    return guard_int([&] {
        InitArgs a = init_signature.parse(args, kwargs);
        Ref q = make_ring(a.slot_size, a.capacity, a.overwrite, a.zerocopy, a.block_on_full);
        claim_family(q, a.variable_size);

        Pipe *self = as_pipe(o);
        retire_ring(o, self->_q);
        self->_push_fn = a.variable_size ? pipe_push_var : pipe_push;
        self->_pop_fn = a.variable_size ? pipe_pop_var : pipe_pop;
        self->_release_fn = a.variable_size ? pipe_release_var : pipe_release;
        publish_ring(self->_q, std::move(q));
        return 0;
    });
}

static int pipe_traverse(PyObject *o, visitproc visit, void *arg) {
    Py_VISIT(as_pipe(o)->_q);
    return 0;
}

static int pipe_clear(PyObject *o) {
    assign_borrowed(as_pipe(o)->_q, Py_None);
    return 0;
}

static void pipe_dealloc(PyObject *o) {
    PyObject_GC_UnTrack(o);
    pipe_clear(o);
    drop_retired_rings(o);
    Py_TYPE(o)->tp_free(o);
}

static PyMethodDef pipe_methods[] = {
    FERRY_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

void prepare_pipe_type() noexcept {
    PyTypeObject &t = CyPipeType;
    t.tp_name = FERRY_MODULE_NAME ".CyPipe";
    t.tp_basicsize = sizeof(Pipe);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = doc_with_signature("CyPipe", init_signature,
                                  "CyPipe(size_t capacity=16384, size_t slot_size=2048, bool zerocopy=False, "
                                  "bool overwrite=False, bool block_on_full=False, bool variable_size=False)");
    t.tp_new = pipe_new;
    t.tp_init = pipe_init;
    t.tp_dealloc = pipe_dealloc;
    t.tp_traverse = pipe_traverse;
    t.tp_clear = pipe_clear;
    t.tp_methods = pipe_methods;
}

}  // namespace ferry
