// CBufferView: a reusable byte view of one message for native consumers,
// loaded through the native table or `loader` and read as `data`/`size`.
// Invariants: `pybuf.obj` is set exactly while an export is held, and
// `pybuf.buf` is null whenever none is; `held` is null or the bytes object of
// the last object load; `loader` always points into the table, also before
// the constructor ran.
#include "buffers.hpp"
#include "module_state.hpp"
#include "signature.hpp"
#include "type_helpers.hpp"

namespace ferry {

using BufferView = ferry_buffer_view;

PyTypeObject CBufferViewType = {PyVarObject_HEAD_INIT(nullptr, 0)};

static BufferView *as_view(PyObject *o) { return reinterpret_cast<BufferView *>(o); }

// A failed load leaves nothing readable behind, so a caller that ignores the
// -1 reads null rather than memory the view no longer keeps alive.
static int load_failed(BufferView *self, const char *where) noexcept {
    self->data = nullptr;
    self->size = 0;
    add_traceback(where);
    return -1;
}

static void release_export(BufferView *self) noexcept {
    if (self->pybuf.obj) PyBuffer_Release(&self->pybuf);
    self->pybuf.buf = nullptr;
}

// Checked, although callers promise a bytes object: a wrong object must not
// turn into a read of foreign memory.
static int load_bytes(BufferView *self, PyObject *obj) noexcept {
    if (bytes_to_cbuf(obj, &self->data, &self->size) < 0)
        return load_failed(self, FERRY_MODULE_NAME ".CBufferView._load_bytes");
    return 0;
}

static int load_buf(BufferView *self, PyObject *obj) noexcept {
    release_export(self);
    if (buf_to_cbuf(obj, &self->pybuf, &self->data, &self->size) < 0) {
        self->pybuf.buf = nullptr;  // an exporter may have filled it before refusing
        return load_failed(self, FERRY_MODULE_NAME ".CBufferView._load_buf");
    }
    return 0;
}

static int load_str(BufferView *self, PyObject *obj) noexcept {
    if (str_to_cbuf_for("CBufferView._load_str", obj, &self->data, &self->size) < 0)
        return load_failed(self, FERRY_MODULE_NAME ".CBufferView._load_str");
    return 0;
}

static int load_obj(BufferView *self, PyObject *obj) noexcept {
    Py_CLEAR(self->held);
    if (obj_to_cbuf(obj, &self->held, &self->data, &self->size) < 0)
        return load_failed(self, FERRY_MODULE_NAME ".CBufferView._load_obj");
    return 0;
}

// The automatic choice: bytes and str (subclasses included) are viewed in
// place before the buffer protocol is tried, so a str subclass is UTF-8 even
// when it defines __bytes__.
static int load_auto(BufferView *self, PyObject *obj) noexcept {
    int rc;
    if (PyBytes_Check(obj))
        rc = load_bytes(self, obj);
    else if (PyUnicode_Check(obj))
        rc = load_str(self, obj);
    else if (PyObject_CheckBuffer(obj))
        rc = load_buf(self, obj);
    else
        rc = load_obj(self, obj);
    if (rc < 0) add_traceback(FERRY_MODULE_NAME ".CBufferView._load");
    return rc;
}

// Table order differs from the kinds' order (0 bytes, 1 str, 2 buffer, 3 object).
const ferry_buffer_view_vtable buffer_view_vtable = {load_bytes, load_buf, load_str, load_obj, load_auto};

static ferry_load_fn loader_for(int32_t kind) noexcept {
    switch (kind) {
    case 0: return load_bytes;
    case 1: return load_str;
    case 2: return load_buf;
    case 3: return load_obj;
    default: return load_auto;
    }
}

// Arguments are ignored here. A view whose constructor never ran (a subclass
// skipping __init__) behaves as the default kind, so `loader` is always safe.
static PyObject *view_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    BufferView *self = as_view(o);
    self->vtab = &buffer_view_vtable;
    self->data = nullptr;
    self->size = 0;
    self->msg_kind = 4;
    self->pybuf.buf = nullptr;
    self->pybuf.obj = nullptr;
    self->held = nullptr;
    self->loader = load_auto;
    return o;
}

namespace {
struct InitArgs {
    int32_t msg_kind = 4;
};
constexpr auto init_signature = signature<InitArgs>("__init__", {{"msg_kind", &InitArgs::msg_kind}});
}  // namespace

// A repeated call changes the kind only: what earlier loads hold stays.
static int view_init(PyObject *o, PyObject *args, PyObject *kwargs) {
    return guard_int([&] {
        InitArgs a = init_signature.parse(args, kwargs);
        BufferView *self = as_view(o);
        self->msg_kind = a.msg_kind;
        self->loader = loader_for(a.msg_kind);
        return 0;
    });
}

static void view_dealloc(PyObject *o) {
    BufferView *self = as_view(o);
    release_export(self);
    Py_CLEAR(self->held);
    Py_TYPE(o)->tp_free(o);
}

static PyMethodDef view_methods[] = {
    FERRY_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

void prepare_buffer_view_type() noexcept {
    PyTypeObject &t = CBufferViewType;
    t.tp_name = FERRY_MODULE_NAME ".CBufferView";
    t.tp_basicsize = sizeof(BufferView);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = doc_with_signature("CBufferView", init_signature, "CBufferView(int msg_kind=4) -> None");
    t.tp_new = view_new;
    t.tp_init = view_init;
    t.tp_dealloc = view_dealloc;
    t.tp_methods = view_methods;
}

}  // namespace ferry
