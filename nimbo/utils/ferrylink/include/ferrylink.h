/* Public C/C++ interface of nimbo.utils.ferrylink.ferrylink.
 *
 * Other native extension modules include this header to push into the
 * dispatchers and pipes from their own threads, to load byte views and to
 * call the exported conversion functions. Build with
 *     include_dirs=[nimbo.utils.ferrylink.get_include()]
 * and call ferry_import() once, with the interpreter lock held, before using
 * anything below (it returns -1 with an ImportError or TypeError set when the
 * installed module does not match this header: see FERRY_API_VERSION).
 *
 * Every instance starts, after its object header, with a pointer to its
 * type's native method table. Native producer and consumer entries (push,
 * pop, release, _push_fn, ...) take no lock, touch no reference count and
 * never raise: call them without the interpreter lock, from one producer
 * thread and one consumer thread per object, and keep the object alive (hold
 * a reference taken under the lock) while you do. They return the FERRY_*
 * result codes below.
 *
 * Languages: C99 or later, C++17 or later (ferry_api is an inline variable
 * in C++). Clean under -Wall -Wextra -pedantic as C11 and as C++17.
 *
 * Two ways to push into a dispatcher (mixing them on one dispatcher is
 * allowed):
 * - push / push_var (and _push_fn): one wake-up datagram per accepted
 *   message, a system call each time. Use it for occasional messages, or
 *   where code relies on a datagram per message.
 * - push_coalesced / push_var_coalesced (newer): a datagram only when the
 *   consumer has announced that it is about to wait for one (its field
 *   _waiting), at most one per wait; while the consumer is busy a push is
 *   the ring call, a memory fence and a load of that flag, no system call.
 *   Use it for high message rates.
 */
#ifndef NIMBO_FERRYLINK_H
#define NIMBO_FERRYLINK_H

#include <Python.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET PLATFORM_SOCKET;
#else
#include <netinet/in.h>
typedef int PLATFORM_SOCKET;
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__cplusplus) && __cplusplus < 201703L && (!defined(_MSVC_LANG) || _MSVC_LANG < 201703L)
#error "ferrylink.h needs C++17 or later (ferry_api is an inline variable)"
#endif

/* The version of the API this header describes, published by the module
 * with every type's method table and checked by ferry_import().
 * Major: the instance layouts and the order of table entries; a module of
 * another major cannot serve this header. Minor: entries, fields and result
 * codes appended after the published ones; a module of the same major and
 * the same or a newer minor serves it.
 *   1.0  the first layouts and tables
 *   1.1  AsyncQueue: _space_cond, _space_waiters
 *   1.2  dispatchers: push_coalesced, push_var_coalesced; _waiting,
 *        _reserved, _sleeps, _wakeups_sent
 *   1.3  dispatchers: _announcements, _leftovers, _spurious_wakeups
 *   1.4  the result code FERRY_WRONG_FAMILY */
#define FERRY_API_VERSION_MAJOR 1
#define FERRY_API_VERSION_MINOR 4
#define FERRY_API_VERSION (FERRY_API_VERSION_MAJOR * 1000 + FERRY_API_VERSION_MINOR)

#define FERRY_NO_SOCKET ((PLATFORM_SOCKET)-1)

/* Results of the native push and pop entries (the ring queue's own codes).
 * Push: > 0 accepted (test `r > 0`, not `r == FERRY_ACCEPTED`), FERRY_FULL
 * not accepted now (try again later), FERRY_TOO_LARGE never fits,
 * FERRY_CLOSED closed (or the object's constructor never ran): stop pushing.
 * Pop: FERRY_MESSAGE a message, FERRY_EMPTY nothing yet (never from the
 * waiting forms), FERRY_CLOSED closed and drained: no message follows.
 * Both (newer): FERRY_WRONG_FAMILY, an entry of the other family (fixed-slot
 * or variable-size) than the object was made for; nothing is pushed or
 * popped. `_push_fn` never gets it. */
enum {
    FERRY_ACCEPTED = 1,
    FERRY_MESSAGE = 1,
    FERRY_FULL = 0,
    FERRY_EMPTY = 0,
    FERRY_TOO_LARGE = -1,
    FERRY_CLOSED = -2,
    FERRY_WRONG_FAMILY = -3
};

/* Where wake-up datagrams go: the dispatcher's own socket and the address it
 * is bound to. Set-up writes `addr`, then stores `fd` last with a release
 * store; producers load `fd` with an acquire load (a plain field accessed
 * atomically), so a handle they see comes with its address. */
typedef struct WakeupTarget {
    PLATFORM_SOCKET fd; /* FERRY_NO_SOCKET until set up, and again after close */
    struct sockaddr_in addr;
} WakeupTarget;

/* Optional arguments of the native `setup` entries; pass NULL for all
 * defaults. `n` says which fields are read: below 1 neither (host
 * "127.0.0.1", recvbuf 16777216), 1 `host` only, 2 or more both. */
typedef struct ferry_setup_args {
    int n;
    /* A str with the IPv4 address to bind the wake-up socket to. Not None:
     * AsyncDispatcher always binds (None fails with TypeError); a
     * SyncDispatcher binds only with nonblocking=True and ignores it
     * otherwise. Borrowed for the call. */
    PyObject *host;
    /* Receive buffer in bytes asked for the socket (SO_RCVBUFFORCE on Linux,
     * falling back to SO_RCVBUF); 0 or less keeps the system's default. */
    int recvbuf;
} ferry_setup_args;

/* ---- AsyncDispatcher ------------------------------------------------- */
struct ferry_async_dispatcher;
typedef int (*ferry_adisp_push_fn)(struct ferry_async_dispatcher *, const char *, size_t);

typedef struct ferry_async_dispatcher_vtable {
    /* skip_dispatch != 0 ignores a Python subclass's override; failure leaves a
     * Python exception set (test PyErr_Occurred()). Interpreter lock held, on
     * the thread of a running event loop (RuntimeError otherwise). Messages
     * pushed before setup are kept and delivered once the reader runs. */
    void (*setup)(struct ferry_async_dispatcher *, int skip_dispatch, ferry_setup_args *opt);
    ferry_adisp_push_fn push;     /* fixed-slot mode */
    ferry_adisp_push_fn push_var; /* variable-size mode */
    /* Newer entries: try_push (try_push_var), then a wake-up datagram only if
     * the reader announced a wait, which the push clears. */
    ferry_adisp_push_fn push_coalesced;
    ferry_adisp_push_fn push_var_coalesced;
} ferry_async_dispatcher_vtable;

typedef struct ferry_async_dispatcher {
    PyObject_HEAD
    const ferry_async_dispatcher_vtable *vtab;
    PyObject *_q;
    WakeupTarget _wakeup;
    ferry_adisp_push_fn _push_fn; /* the push entry matching the mode */
    PyObject *_callback;
    PyObject *_sock;
    PyObject *_task;
    int32_t _running;
    int32_t _variable_size;
    /* Newer fields, for the coalesced entries. Accessed atomically. */
    uint32_t _waiting;      /* 1: the reader is about to wait for a datagram */
    uint32_t _reserved;     /* 0; aligns the counters */
    uint64_t _sleeps;       /* waits for a datagram, counted by the reader */
    uint64_t _wakeups_sent; /* datagrams sent by the coalesced entries */
    /* Newer counters, written by the reader (see the guide for their bounds). */
    uint64_t _announcements;    /* times it found the ring empty and announced */
    uint64_t _leftovers;        /* announcements claimed after its second look found a message */
    uint64_t _spurious_wakeups; /* waits after which the ring was still empty */
} ferry_async_dispatcher;

/* ---- SyncDispatcher -------------------------------------------------- */
struct ferry_sync_dispatcher;
typedef int (*ferry_sdisp_push_fn)(struct ferry_sync_dispatcher *, const char *, size_t);

typedef struct ferry_sync_dispatcher_vtable {
    void (*setup)(struct ferry_sync_dispatcher *, int skip_dispatch, ferry_setup_args *opt);
    ferry_sdisp_push_fn push;              /* try_push + wake-up datagram */
    ferry_sdisp_push_fn push_var;          /* try_push_var + wake-up datagram */
    ferry_sdisp_push_fn push_blocking;     /* the queue's push, no datagram */
    ferry_sdisp_push_fn push_var_blocking; /* the queue's push_var, no datagram */
    void (*try_pop_body)(struct ferry_sync_dispatcher *);  /* thread bodies */
    void (*try_pop_var_body)(struct ferry_sync_dispatcher *);
    void (*pop_body)(struct ferry_sync_dispatcher *);
    void (*pop_var_body)(struct ferry_sync_dispatcher *);
    void (*close)(struct ferry_sync_dispatcher *, int skip_dispatch);
    /* Newer entries: try_push (try_push_var), then a wake-up datagram only if
     * the thread (of a nonblocking=True dispatcher) announced a wait, which
     * the push clears. */
    ferry_sdisp_push_fn push_coalesced;
    ferry_sdisp_push_fn push_var_coalesced;
} ferry_sync_dispatcher_vtable;

typedef struct ferry_sync_dispatcher {
    PyObject_HEAD
    const ferry_sync_dispatcher_vtable *vtab;
    PyObject *_q;
    WakeupTarget _wakeup;
    int32_t _detach;
    int32_t _variable_size;
    ferry_sdisp_push_fn _push_fn; /* the push entry matching the modes */
    PyObject *_callback;
    PyObject *_sock;
    int32_t _nonblocking;
    unsigned char _running; /* accessed atomically */
    /* The dispatcher thread (a std::thread), opaque to users. */
    union { unsigned char bytes[16]; void *align; } _thread;
    /* Newer fields, for the coalesced entries. Accessed atomically. */
    uint32_t _waiting;      /* 1: the thread is about to wait for a datagram */
    uint32_t _reserved;     /* 0; aligns the counters */
    uint64_t _sleeps;       /* waits for a datagram, counted by the thread */
    uint64_t _wakeups_sent; /* datagrams sent by the coalesced entries */
    /* Newer counters, written by the thread (see the guide for their bounds). */
    uint64_t _announcements;    /* times it found the ring empty and announced */
    uint64_t _leftovers;        /* announcements claimed after its second look found a message */
    uint64_t _spurious_wakeups; /* waits after which the ring was still empty */
} ferry_sync_dispatcher;

/* ---- CyPipe ---------------------------------------------------------- */
struct ferry_pipe;
typedef int (*ferry_pipe_push_fn)(struct ferry_pipe *, const char *, size_t);
typedef int (*ferry_pipe_pop_fn)(struct ferry_pipe *, const char **, size_t *);
typedef void (*ferry_pipe_release_fn)(struct ferry_pipe *);

/* Every entry is one call into the pipe's ring queue (`_q`, an SPSCQueue).
 * The pops wait while the pipe is empty, and so do the pushes when the pipe
 * was made with block_on_full=True. CyPipe has no close of its own: release
 * a waiting consumer (or producer) by closing `_q`, through the queue's
 * table (spsc_queue.h, any thread, no lock) or its Python `close()` method
 * (lock held); messages pushed before the close are still delivered, then
 * the pops return FERRY_CLOSED. */
typedef struct ferry_pipe_vtable {
    ferry_pipe_push_fn push;
    ferry_pipe_push_fn push_var;
    ferry_pipe_pop_fn pop;
    ferry_pipe_pop_fn pop_var;
    ferry_pipe_release_fn release;
    ferry_pipe_release_fn release_var; /* does nothing */
} ferry_pipe_vtable;

typedef struct ferry_pipe {
    PyObject_HEAD
    const ferry_pipe_vtable *vtab;
    PyObject *_q;
    ferry_pipe_push_fn _push_fn;
    ferry_pipe_pop_fn _pop_fn;         /* FERRY_MESSAGE: a message, valid until _release_fn */
    ferry_pipe_release_fn _release_fn;
} ferry_pipe;

/* ---- CBufferView ----------------------------------------------------- */
struct ferry_buffer_view;
typedef int (*ferry_load_fn)(struct ferry_buffer_view *, PyObject *);

/* Loads: 0 on success, -1 with a Python exception set. Interpreter lock held. */
typedef struct ferry_buffer_view_vtable {
    ferry_load_fn _load_bytes;
    ferry_load_fn _load_buf;
    ferry_load_fn _load_str;
    ferry_load_fn _load_obj;
    ferry_load_fn _load;
} ferry_buffer_view_vtable;

typedef struct ferry_buffer_view {
    PyObject_HEAD
    const ferry_buffer_view_vtable *vtab;
    const char *data;
    size_t size;
    int32_t msg_kind;
    Py_buffer pybuf;
    PyObject *held;
    ferry_load_fn loader; /* the load chosen by msg_kind */
} ferry_buffer_view;

/* ---- AsyncQueue ------------------------------------------------------ */
struct ferry_async_queue;
typedef struct ferry_async_queue_vtable {
    /* New reference to the result, or NULL with an exception set. */
    PyObject *(*start_dispatcher)(struct ferry_async_queue *, PyObject *callback, int skip_dispatch);
} ferry_async_queue_vtable;

typedef struct ferry_async_queue {
    PyObject_HEAD
    const ferry_async_queue_vtable *vtab;
    PyObject *_q;
    PyObject *_loop;
    PyObject *_callback;
    PyObject *_lock;
    PyObject *_notify_cond;
    PyObject *_task;
    int _running;
    /* Newer fields (not pickled): with block_on_full, the asyncio.Condition
     * over _lock that pushes finding the ring full wait on (None until first
     * needed), and how many pushes wait on it. */
    PyObject *_space_cond;
    Py_ssize_t _space_waiters;
} ferry_async_queue;

/* ---- Exported conversion functions (see __pyx_capi__) ----------------- */
typedef int (*ferry_obj_to_cbuf_fn)(PyObject *, PyObject **, char const **, size_t *);
typedef int (*ferry_buf_to_cbuf_fn)(PyObject *, Py_buffer *, char const **, size_t *);
typedef int (*ferry_bytes_to_cbuf_fn)(PyObject *, char const **, size_t *);
typedef int (*ferry_str_to_cbuf_fn)(PyObject *, char const **, size_t *);

#define FERRY_SIG_OBJ_TO_CBUF "int (PyObject *, PyObject **, char const **, size_t *)"
#define FERRY_SIG_BUF_TO_CBUF "int (PyObject *, Py_buffer *, char const **, size_t *)"
#define FERRY_SIG_BYTES_TO_CBUF "int (PyObject *, char const **, size_t *)"
#define FERRY_SIG_STR_TO_CBUF "int (PyObject *, char const **, size_t *)"

/* What ferry_import() fills in. */
typedef struct ferry_api_t {
    PyTypeObject *AsyncDispatcher, *SyncDispatcher, *CyPipe, *CBufferView, *AsyncQueue;
    const ferry_async_dispatcher_vtable *async_dispatcher;
    const ferry_sync_dispatcher_vtable *sync_dispatcher;
    const ferry_pipe_vtable *pipe;
    const ferry_buffer_view_vtable *buffer_view;
    const ferry_async_queue_vtable *async_queue;
    ferry_obj_to_cbuf_fn obj_to_cbuf;
    ferry_buf_to_cbuf_fn buf_to_cbuf;
    ferry_bytes_to_cbuf_fn bytes_to_cbuf;
    ferry_str_to_cbuf_fn str_to_cbuf;
} ferry_api_t;

/* One copy per program in C++ (every source file sees what ferry_import()
 * filled in); in C each source file has its own, so call ferry_import() in
 * each file that uses it. */
#ifdef __cplusplus
inline ferry_api_t ferry_api;
#else
static ferry_api_t ferry_api;
#endif

/* The one size policy of both importers (ferry_import() below, and the
 * module's own import of SPSCQueue): an instance smaller than the layout
 * compiled against is an error, since fields that are read would be
 * missing; a larger one is accepted, since fields are only ever appended,
 * and the importer warns unless a newer minor version accounts for it. */
typedef enum { FERRY__SIZE_SAME, FERRY__SIZE_SMALLER, FERRY__SIZE_LARGER } ferry__size_verdict;

static inline ferry__size_verdict ferry__size_check(const PyTypeObject *t, Py_ssize_t expected)
{
    /* A variable-size type's instances hold at least one item. */
    if (t->tp_basicsize + t->tp_itemsize < expected) return FERRY__SIZE_SMALLER;
    return t->tp_basicsize > expected ? FERRY__SIZE_LARGER : FERRY__SIZE_SAME;
}

/* The installed module's API version (the context of a type's table
 * capsule) against this header's. */
static inline int ferry__check_version(const char *name, PyObject *cap, int *newer_minor)
{
    long have = (long)(intptr_t)PyCapsule_GetContext(cap);
    if (!have && PyErr_Occurred()) return -1;
    if (have / 1000 == FERRY_API_VERSION_MAJOR && have % 1000 >= FERRY_API_VERSION_MINOR) {
        *newer_minor = have % 1000 > FERRY_API_VERSION_MINOR;
        return 0;
    }
    if (!have)
        PyErr_Format(PyExc_ImportError,
                     "nimbo.utils.ferrylink.ferrylink.%s states no API version, so it predates ferrylink.h %d.%d: "
                     "upgrade the installed ferrylink, or rebuild this module against the installed one's header",
                     name, FERRY_API_VERSION_MAJOR, FERRY_API_VERSION_MINOR);
    else if (have / 1000 != FERRY_API_VERSION_MAJOR)
        PyErr_Format(PyExc_ImportError,
                     "the installed ferrylink has API %ld.%ld but this module was built against ferrylink.h %d.%d, "
                     "whose layouts differ: rebuild this module against the installed ferrylink "
                     "(nimbo.utils.ferrylink.get_include())",
                     have / 1000, have % 1000, FERRY_API_VERSION_MAJOR, FERRY_API_VERSION_MINOR);
    else
        PyErr_Format(PyExc_ImportError,
                     "the installed ferrylink has API %ld.%ld, older than the ferrylink.h %d.%d this module was "
                     "built against: upgrade the installed ferrylink, or rebuild this module against its header "
                     "(nimbo.utils.ferrylink.get_include())",
                     have / 1000, have % 1000, FERRY_API_VERSION_MAJOR, FERRY_API_VERSION_MINOR);
    return -1;
}

static inline int ferry__import_type(PyObject *mod, const char *name, size_t size,
                              PyTypeObject **type, const void **vtab)
{
    PyObject *t = PyObject_GetAttrString(mod, name);
    if (!t) return -1;
    if (!PyType_Check(t)) {
        PyErr_Format(PyExc_TypeError, "nimbo.utils.ferrylink.ferrylink.%s is not a type", name);
        Py_DECREF(t);
        return -1;
    }
    PyObject *cap = PyObject_GetAttrString(t, "__pyx_vtable__");
    if (!cap) { Py_DECREF(t); return -1; }
    int newer_minor = 0;
    *vtab = PyCapsule_GetPointer(cap, NULL);
    if (!*vtab || ferry__check_version(name, cap, &newer_minor) < 0) {
        Py_DECREF(cap);
        Py_DECREF(t);
        return -1;
    }
    Py_DECREF(cap);
    Py_ssize_t have = ((PyTypeObject *)t)->tp_basicsize;
    ferry__size_verdict verdict = ferry__size_check((PyTypeObject *)t, (Py_ssize_t)size);
    if (verdict == FERRY__SIZE_SMALLER) {
        PyErr_Format(PyExc_ImportError,
                     "nimbo.utils.ferrylink.ferrylink.%s is %zd bytes but ferrylink.h expects %zu: "
                     "rebuild this module against the installed ferrylink",
                     name, have, size);
        Py_DECREF(t);
        return -1;
    }
    if (verdict == FERRY__SIZE_LARGER && !newer_minor &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "nimbo.utils.ferrylink.ferrylink.%s is %zd bytes but ferrylink.h expects %zu: "
                         "rebuild this module against the installed ferrylink",
                         name, have, size) < 0) {
        Py_DECREF(t);
        return -1;
    }
    *type = (PyTypeObject *)t; /* the module is never unloaded: keep the reference */
    return 0;
}

/* Stores the capsule's function pointer into *fn (fn_size bytes). Copied as
 * bytes: ISO C has no cast from an object pointer to a function pointer. */
static inline int ferry__import_function(PyObject *capi, const char *name, const char *sig,
                                         void *fn, size_t fn_size)
{
    PyObject *cap = PyDict_GetItemString(capi, name); /* borrowed */
    if (!cap) {
        PyErr_Format(PyExc_ImportError, "ferrylink exports no function %s", name);
        return -1;
    }
    void *p = PyCapsule_GetPointer(cap, sig); /* refuses another signature */
    if (!p) return -1;
    if (fn_size != sizeof p) {
        PyErr_SetString(PyExc_ImportError, "ferrylink.h: function and data pointers differ in size here");
        return -1;
    }
    memcpy(fn, &p, fn_size);
    return 0;
}

/* Fetches the types, tables and functions. 0 on success, -1 with an exception. */
static inline int ferry_import(void)
{
    PyObject *mod = PyImport_ImportModule("nimbo.utils.ferrylink.ferrylink");
    if (!mod) return -1;
    int rc = -1;
    PyObject *capi = PyObject_GetAttrString(mod, "__pyx_capi__");
    if (!capi) goto done;
    if (ferry__import_type(mod, "AsyncDispatcher", sizeof(ferry_async_dispatcher), &ferry_api.AsyncDispatcher,
                           (const void **)&ferry_api.async_dispatcher) < 0 ||
        ferry__import_type(mod, "SyncDispatcher", sizeof(ferry_sync_dispatcher), &ferry_api.SyncDispatcher,
                           (const void **)&ferry_api.sync_dispatcher) < 0 ||
        ferry__import_type(mod, "CyPipe", sizeof(ferry_pipe), &ferry_api.CyPipe,
                           (const void **)&ferry_api.pipe) < 0 ||
        ferry__import_type(mod, "CBufferView", sizeof(ferry_buffer_view), &ferry_api.CBufferView,
                           (const void **)&ferry_api.buffer_view) < 0 ||
        ferry__import_type(mod, "AsyncQueue", sizeof(ferry_async_queue), &ferry_api.AsyncQueue,
                           (const void **)&ferry_api.async_queue) < 0)
        goto done;
#define FERRY__FUNCTION(name, sig) \
    ferry__import_function(capi, #name, sig, &ferry_api.name, sizeof ferry_api.name)
    if (FERRY__FUNCTION(obj_to_cbuf, FERRY_SIG_OBJ_TO_CBUF) < 0 ||
        FERRY__FUNCTION(buf_to_cbuf, FERRY_SIG_BUF_TO_CBUF) < 0 ||
        FERRY__FUNCTION(bytes_to_cbuf, FERRY_SIG_BYTES_TO_CBUF) < 0 ||
        FERRY__FUNCTION(str_to_cbuf, FERRY_SIG_STR_TO_CBUF) < 0)
        goto done;
#undef FERRY__FUNCTION
    rc = 0;
done:
    Py_XDECREF(capi);
    Py_DECREF(mod);
    return rc;
}

#ifdef __cplusplus
}
#endif

#endif
