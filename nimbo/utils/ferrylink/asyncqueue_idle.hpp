// When `async with cond: cond.notify()` provably does nothing, so a push may
// leave it out.
//
// With the classes of asyncio.locks (3.13) the block runs
//   Lock.acquire:     if not _locked and (_waiters is None or every lock
//                     waiter is cancelled): _locked = True, no suspension;
//   Condition.notify: locked() holds; the first condition waiter that is not
//                     done gets its result;
//   Lock.release:     _locked = False; the first lock waiter gets its result
//                     unless it is done.
// So when the lock's `_locked` is False, every lock waiter is cancelled and
// every condition waiter is done (a woken consumer stays listed until it
// runs), the three calls change nothing and cannot suspend. The rule, read
// from the instance dicts: the condition is an exact Condition whose dict
// holds only acquire, release and locked (bound methods of one exact Lock),
// _waiters, _lock and _loop; the lock's dict holds only _locked (exactly
// False), _waiters and _loop; each _waiters is a plain deque (or None for the
// lock) of plain asyncio futures, all done (all cancelled for the lock); and
// both classes still carry asyncio.locks' own methods, with no descriptor
// hiding those attributes (checked again whenever a class changes). Anything
// else, missing or unexpected answers no, and the block runs.
#pragma once
#include <Python.h>
#include "pyref.hpp"

namespace ferry {

class IdleLocks {
public:
    // `async with cond: cond.notify()` would change nothing. Called with no
    // exception pending; leaves none.
    bool notify_is_noop(PyObject *cond) noexcept { return check(cond, true); }
    // cond.acquire() would take the lock without suspending.
    bool acquires_at_once(PyObject *cond) noexcept { return check(cond, false); }

private:
    bool check(PyObject *cond, bool notify) noexcept {
        if (Py_TYPE(cond) != cond_type_ && (cond_type_ || !load() || Py_TYPE(cond) != cond_type_)) return false;
        if (!classes_unchanged()) return false;
        bool yes = examine(cond, notify);
        if (!yes) PyErr_Clear();  // a failed read only means "run the block"
        return yes;
    }

    bool examine(PyObject *cond, bool notify) {
        PyObject *c[n_cond_keys] = {};
        Ref cd = Ref::steal(PyObject_GenericGetDict(cond, nullptr));
        if (!cd || !read_dict(cd.get(), cond_keys_, c)) return false;
        PyObject *lock = bound_self(c[0], acquire_);
        if (!lock || Py_TYPE(lock) != lock_type_) return false;
        PyObject *l[n_lock_keys] = {};
        Ref ld = Ref::steal(PyObject_GenericGetDict(lock, nullptr));
        if (!ld || !read_dict(ld.get(), lock_keys_, l) || l[0] != Py_False) return false;
        if (l[1] != Py_None && !all_futures(l[1], cancelled_)) return false;
        if (!notify) return true;
        return bound_self(c[1], release_) == lock && bound_self(c[2], locked_) == lock && all_futures(c[3], done_);
    }

    // The values of an instance dict (borrowed, null when absent) whose keys
    // are all among `keys`; false for any other key (an instance `notify`,
    // say). Keys are compared by identity: attribute names are interned, and
    // a key that is not only answers false.
    template <size_t N>
    static bool read_dict(PyObject *dict, PyObject *const (&keys)[N], PyObject *(&values)[N]) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            size_t i = 0;
            while (i < N && key != keys[i]) ++i;
            if (i == N) return false;
            values[i] = value;
        }
        return true;
    }

    // The self of a bound method of `function`.
    static PyObject *bound_self(PyObject *m, PyObject *function) {
        return m && PyMethod_Check(m) && PyMethod_GET_FUNCTION(m) == function ? PyMethod_GET_SELF(m) : nullptr;
    }

    // Every item of the deque is a plain future for which `test` (Future.done
    // or Future.cancelled) answers True.
    bool all_futures(PyObject *waiters, PyObject *test) {
        if (!waiters || Py_TYPE(waiters) != deque_type_) return false;
        Py_ssize_t n = PySequence_Size(waiters);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref w = Ref::steal(PySequence_GetItem(waiters, i));
            if (!w || Py_TYPE(w.get()) != future_type_) return false;
            PyObject *args[] = {w.get()};
            if (Ref::steal(PyObject_Vectorcall(test, args, 1, nullptr)).get() != Py_True) return false;
        }
        return n >= 0;
    }

    // ---- the classes, found once and checked again when one changes ----

    bool load() noexcept {
        if (tried_) return false;
        tried_ = true;
        Ref locks = Ref::steal(PyImport_ImportModule("asyncio.locks"));
        Ref futures = Ref::steal(PyImport_ImportModule("asyncio.futures"));
        Ref collections = Ref::steal(PyImport_ImportModule("collections"));
        if (locks && futures && collections) {
            cond_type_ = type_attr(locks.get(), "Condition");
            lock_type_ = type_attr(locks.get(), "Lock");
            future_type_ = type_attr(futures.get(), "Future");
            deque_type_ = type_attr(collections.get(), "deque");
            locks_globals_ = Py_XNewRef(PyModule_GetDict(locks.get()));
        }
        if (future_type_) {
            done_ = PyObject_GetAttrString(reinterpret_cast<PyObject *>(future_type_), "done");
            cancelled_ = PyObject_GetAttrString(reinterpret_cast<PyObject *>(future_type_), "cancelled");
        }
        const char *cond_keys[] = {"acquire", "release", "locked", "_waiters", "_lock", "_loop"};
        for (int i = 0; i < n_cond_keys; ++i) cond_keys_[i] = PyUnicode_InternFromString(cond_keys[i]);
        const char *lock_keys[] = {"_locked", "_waiters", "_loop"};
        for (int i = 0; i < n_lock_keys; ++i) lock_keys_[i] = PyUnicode_InternFromString(lock_keys[i]);
        PyErr_Clear();
        // A future type that Python code could patch would leave doubt.
        bool ok = cond_type_ && lock_type_ && future_type_ && deque_type_ && locks_globals_ && done_ && cancelled_ &&
                  (future_type_->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) && cond_keys_[n_cond_keys - 1] &&
                  lock_keys_[n_lock_keys - 1];
        if (!ok) cond_type_ = nullptr;  // never matches: the block always runs
        return ok;
    }

    // A class, kept for the process (never released: the process may end
    // after the runtime).
    static PyTypeObject *type_attr(PyObject *module, const char *name) {
        Ref t = Ref::steal(PyObject_GetAttrString(module, name));
        if (t && PyType_Check(t.get())) return reinterpret_cast<PyTypeObject *>(t.release());
        return nullptr;
    }

    bool classes_unchanged() noexcept {
        unsigned int ct = cond_type_->tp_version_tag, lt = lock_type_->tp_version_tag;
        if (ct && lt && ct == cond_tag_ && lt == lock_tag_) return ok_;
        ok_ = plain_class(cond_type_) && plain_class(lock_type_) &&
              own_function(cond_type_, "notify", "Condition.notify") &&
              own_function(cond_type_, "_notify", "Condition._notify") &&
              own_function(lock_type_, "acquire", "Lock.acquire", &acquire_) &&
              own_function(lock_type_, "release", "Lock.release", &release_) &&
              own_function(lock_type_, "locked", "Lock.locked", &locked_) &&
              own_function(lock_type_, "_wake_up_first", "Lock._wake_up_first");
        for (PyObject *name : lock_keys_) ok_ = ok_ && instance_wins(lock_type_, name);
        for (PyObject *name : cond_keys_) ok_ = ok_ && instance_wins(cond_type_, name);
        PyErr_Clear();
        cond_tag_ = cond_type_->tp_version_tag;  // read after the lookups that set them
        lock_tag_ = lock_type_->tp_version_tag;
        return ok_;
    }

    // Attributes are found the usual way: plain metaclass, no __getattribute__,
    // __getattr__ or __setattr__ of its own.
    static bool plain_class(PyTypeObject *t) {
        return Py_IS_TYPE(t, &PyType_Type) && t->tp_getattro == PyObject_GenericGetAttr &&
               t->tp_setattro == PyObject_GenericSetAttr;
    }

    // The class attribute is the function asyncio.locks defined under that
    // name (its borrowed pointer stays valid while the class is unchanged).
    bool own_function(PyTypeObject *t, const char *name, const char *qualname, PyObject **keep = nullptr) {
        Ref f = class_attr(t, Ref::steal(PyUnicode_InternFromString(name)).get());
        if (!f || !PyFunction_Check(f.get()) || PyFunction_GetGlobals(f.get()) != locks_globals_) return false;
        Ref q = Ref::steal(PyObject_GetAttrString(f.get(), "__qualname__"));
        if (!q || !PyUnicode_Check(q.get()) || PyUnicode_CompareWithASCIIString(q.get(), qualname) != 0) return false;
        if (keep) *keep = f.get();
        return true;
    }

    // No data descriptor of the class hides the instance attribute.
    static bool instance_wins(PyTypeObject *t, PyObject *name) {
        Ref a = class_attr(t, name);
        return !PyErr_Occurred() && (!a || !Py_TYPE(a.get())->tp_descr_set);
    }

    static Ref class_attr(PyTypeObject *t, PyObject *name) {
        PyObject *found = nullptr;
        if (name) PyObject_GetOptionalAttr(reinterpret_cast<PyObject *>(t), name, &found);
        return Ref::steal(found);
    }

    // Found once, kept for the process.
    PyTypeObject *cond_type_ = nullptr, *lock_type_ = nullptr, *future_type_ = nullptr, *deque_type_ = nullptr;
    PyObject *locks_globals_ = nullptr;
    PyObject *done_ = nullptr, *cancelled_ = nullptr;  // Future.done, Future.cancelled
    // The instance attributes the block reads, or that may be there besides.
    static constexpr int n_cond_keys = 6, n_lock_keys = 3;
    PyObject *cond_keys_[n_cond_keys] = {};  // acquire, release, locked, _waiters, _lock, _loop
    PyObject *lock_keys_[n_lock_keys] = {};  // _locked, _waiters, _loop
    PyObject *acquire_ = nullptr, *release_ = nullptr, *locked_ = nullptr;  // Lock's functions
    unsigned int cond_tag_ = 0, lock_tag_ = 0;  // the class versions last checked
    bool ok_ = false, tried_ = false;
};

}  // namespace ferry
