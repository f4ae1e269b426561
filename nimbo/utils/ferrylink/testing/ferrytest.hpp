// Shared pieces of the test-only module; each probe file adds its functions.
//
// `ferry_api` is the header's inline variable, one copy for the whole module:
// the module's exec step fills it (ferry_import()) before any probe can run.
#pragma once
#include <Python.h>
#include <ferrylink.h>
#include <cstdint>
#include <string>

namespace ft {

// The first 8 bytes carry the sequence number, the rest a pattern of it.
inline void fill_message(char *buf, uint64_t seq, size_t size) {
    for (size_t i = 0; i < size; ++i)
        buf[i] = i < 8 ? (char)((seq >> (8 * i)) & 0xff) : (char)((seq + i) & 0xff);
}
inline bool message_ok(const char *buf, uint64_t seq, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (buf[i] != (i < 8 ? (char)((seq >> (8 * i)) & 0xff) : (char)((seq + i) & 0xff))) return false;
    return true;
}

// A native push entry of some object, callable without the interpreter lock.
using PushCall = int (*)(PyObject *target, const char *data, size_t size);

// The push entry of that name for the target's type; nullptr with an
// exception set.
PushCall resolve(PyObject *target, const std::string &name);

// Each returns nullptr, with no exception set, when `target` is not its type
// or it knows no entry of that name.
PushCall resolve_sync(PyObject *target, const std::string &name);
PushCall resolve_pipe(PyObject *target, const std::string &name);

// Sentinel-terminated function tables added to the module.
extern PyMethodDef sync_methods[];
extern PyMethodDef pipe_methods[];
extern PyMethodDef view_methods[];
extern PyMethodDef queue_methods[];
extern PyMethodDef wake_methods[];
int add_wake_types(PyObject *module);

}  // namespace ft
