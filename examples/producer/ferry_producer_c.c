/* The same header used from C: produce(target, count) pushes the numbered
 * messages b"0", b"1", ... into an AsyncDispatcher, a SyncDispatcher or a
 * CyPipe from the calling thread, with the interpreter lock released for the
 * whole loop (call it from a thread of its own). Returns (pushed, last
 * result), like ferry_producer.Producer.join(). */
#include <Python.h>
#include <ferrylink.h>

#include <stdio.h>
#ifdef _WIN32
#include <windows.h>
#define yield_thread() SwitchToThread()
#else
#include <sched.h>
#define yield_thread() sched_yield()
#endif

static int push_one(PyObject *target, const char *data, size_t size)
{
    if (PyObject_TypeCheck(target, ferry_api.AsyncDispatcher)) {
        ferry_async_dispatcher *a = (ferry_async_dispatcher *)target;
        return a->_push_fn(a, data, size);
    }
    if (PyObject_TypeCheck(target, ferry_api.SyncDispatcher)) {
        ferry_sync_dispatcher *s = (ferry_sync_dispatcher *)target;
        return s->_push_fn(s, data, size);
    }
    ferry_pipe *p = (ferry_pipe *)target;
    return p->_push_fn(p, data, size);
}

static PyObject *produce(PyObject *module, PyObject *args)
{
    PyObject *target;
    unsigned long long count, i;
    int last = FERRY_ACCEPTED;
    (void)module;
    if (!PyArg_ParseTuple(args, "OK:produce", &target, &count)) return NULL;
    if (!PyObject_TypeCheck(target, ferry_api.AsyncDispatcher) &&
        !PyObject_TypeCheck(target, ferry_api.SyncDispatcher) && !PyObject_TypeCheck(target, ferry_api.CyPipe)) {
        PyErr_Format(PyExc_TypeError, "cannot push into %.200s", Py_TYPE(target)->tp_name);
        return NULL;
    }
    /* The caller's reference keeps target alive until this call returns. */
    Py_BEGIN_ALLOW_THREADS
    for (i = 0; i < count; ++i) {
        char text[24];
        int size = snprintf(text, sizeof text, "%llu", i);
        while ((last = push_one(target, text, (size_t)size)) == FERRY_FULL) yield_thread();
        if (last < 0) break; /* FERRY_TOO_LARGE or FERRY_CLOSED */
    }
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(Ki)", i, last > 0 ? FERRY_ACCEPTED : last);
}

static PyMethodDef methods[] = {
    {"produce", produce, METH_VARARGS, "produce(target, count) -> (pushed, last result)"},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "ferry_producer_c", NULL, -1, methods, NULL,
                                 NULL, NULL, NULL};

/* Single-phase initialisation: a Py_mod_exec slot would need a function
 * pointer stored as void *, which pedantic C refuses. */
PyMODINIT_FUNC PyInit_ferry_producer_c(void)
{
    if (ferry_import() < 0) return NULL; /* once, with the interpreter lock held */
    return PyModule_Create(&module_def);
}
