// The three calls a push makes on `_notify_cond`: acquire(), notify() and
// release(). Finding them (a class lookup, an instance-dict lookup, a bound
// method) costs about a fifth of a push, so what was found for the last few
// conditions is kept and checked at each use against what a lookup would
// find now: the class by its version tag (any change to it or its bases
// clears the tag), the instance dict by its identity and its entries. A
// condition whose type looks attributes up in another way, or where a data
// descriptor or an instance `notify` is involved, is looked up every time.
#pragma once
#include <Python.h>
#include <utility>
#include "pyfunc.hpp"

namespace ferry {

class CondCalls {
public:
    // cond.acquire(), cond.notify(), cond.release(), as new references.
    Ref acquire(PyObject *cond) { return call_bound(cond, FERRY_STR("acquire"), &Entry::acquire); }
    Ref release(PyObject *cond) { return call_bound(cond, FERRY_STR("release"), &Entry::release); }
    Ref notify(PyObject *cond) {
        Entry *e = current(cond);
        if (e && e->notify) {
            int shadowed = PyDict_Contains(e->dict, FERRY_STR("notify"));
            if (shadowed < 0) throw PyErrOccurred();
            if (!shadowed) {
                Ref fn = Ref::borrow(e->notify);  // the call may drop the entry
                PyObject *args[] = {nullptr, cond};
                return call(fn.get(), args + 1);
            }
        }
        return plain(cond, FERRY_STR("notify"));
    }

    // Lets go of `cond` (a queue that held it is going away or replaces it),
    // so that the cache never keeps a condition, its lock and loop alive.
    void drop(PyObject *cond) noexcept {
        for (Entry &e : entries_)
            if (e.cond == cond) e.clear();
    }

private:
    // Strong references, held until the entry is reused or dropped.
    struct Entry {
        PyObject *cond = nullptr;
        PyTypeObject *type = nullptr;
        unsigned int tag = 0;
        PyObject *dict = nullptr;
        PyObject *acquire = nullptr;  // bound methods found in the instance dict
        PyObject *release = nullptr;
        PyObject *notify = nullptr;  // the class's function
        // (a member left null is looked up at each call)

        void clear() noexcept {
            type = nullptr;
            tag = 0;
            Py_CLEAR(cond);
            Py_CLEAR(dict);
            Py_CLEAR(acquire);
            Py_CLEAR(release);
            Py_CLEAR(notify);
        }
    };

    Entry *find(PyObject *cond) noexcept {
        for (Entry &e : entries_)
            if (e.cond == cond) return &e;
        return nullptr;
    }

    // The entry of `cond` if what it holds is still what a lookup would find.
    Entry *current(PyObject *cond) noexcept {
        Entry *e = find(cond);
        if (!e || Py_TYPE(cond) != e->type || e->type->tp_version_tag != e->tag || e->tag == 0) return nullptr;
        Ref dict = Ref::steal(PyObject_GenericGetDict(cond, nullptr));
        if (!dict) PyErr_Clear();  // the plain lookup will meet the same trouble and report it
        return dict.get() == e->dict ? e : nullptr;
    }

    // An instance attribute holding a bound method (what Condition.__init__
    // stores for acquire/release): its function is called with its self.
    Ref call_bound(PyObject *cond, PyObject *name, PyObject *Entry::*cached) {
        if (Entry *e = current(cond)) {
            PyObject *found = nullptr;
            if (PyDict_GetItemRef(e->dict, name, &found) < 0) throw PyErrOccurred();
            Ref keep = Ref::steal(found);  // also across the call, which may drop the entry
            if (found && found == e->*cached) {  // null when it could not be cached
                PyObject *args[] = {nullptr, PyMethod_GET_SELF(found)};
                return call(PyMethod_GET_FUNCTION(found), args + 1);
            }
        }
        return plain(cond, name);
    }

    // fn(args[0]) with args[-1] free for the callee to use.
    static Ref call(PyObject *fn, PyObject **args) {
        size_t nargsf = 1 | PY_VECTORCALL_ARGUMENTS_OFFSET;
        vectorcallfunc direct = PyVectorcall_Function(fn);
        return own(direct ? direct(fn, args, nargsf, nullptr) : PyObject_Vectorcall(fn, args, nargsf, nullptr));
    }

    // The looked-up call; it also learns the condition for the next calls.
    Ref plain(PyObject *cond, PyObject *name) {
        if (!current(cond)) learn(cond);
        PyObject *args[] = {cond};
        return own(PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    // Takes an entry for `cond` (also one that only says "look it up": so a
    // condition that cannot be cached does not evict the others at each call).
    void learn(PyObject *cond) noexcept {
        PyTypeObject *type = Py_TYPE(cond);
        if (type->tp_getattro != PyObject_GenericGetAttr || !Py_IS_TYPE(type, &PyType_Type)) return;
        Entry *e = find(cond);
        if (!e) {
            // More busy conditions than entries: replace one only now and then,
            // or they would keep evicting each other.
            if (entries_[next_].cond && ++misses_ % 16 != 0) return;
            e = &entries_[next_];
            next_ = (next_ + 1) % n_entries;
        }
        PyObject *exc = PyErr_GetRaisedException();  // normally none; kept as it was
        Ref dict = Ref::steal(PyObject_GenericGetDict(cond, nullptr));
        if (dict && PyDict_CheckExact(dict.get())) {
            Entry fresh;
            fresh.acquire = bound_entry(type, dict.get(), FERRY_STR("acquire")).release();
            fresh.release = bound_entry(type, dict.get(), FERRY_STR("release")).release();
            fresh.notify = type_function(type, dict.get(), FERRY_STR("notify")).release();
            fresh.tag = type->tp_version_tag;  // read after the lookups that set it
            fresh.type = type;
            fresh.cond = Py_NewRef(cond);
            fresh.dict = dict.release();
            std::swap(*e, fresh);
            fresh.clear();  // the old entry goes last: dropping it may run any code
        }
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }

    // The instance's bound method under `name`, unless the class has a data
    // descriptor of that name (which would win over the instance).
    // (Both leave no exception set: a failed lookup only means "not cached".)
    static Ref bound_entry(PyTypeObject *type, PyObject *dict, PyObject *name) noexcept {
        Ref in_type = type_attribute(type, name);
        if (PyErr_Occurred() || (in_type && Py_TYPE(in_type.get())->tp_descr_set)) return cleared();
        PyObject *found = nullptr;
        int rc = PyDict_GetItemRef(dict, name, &found);
        Ref entry = Ref::steal(found);
        return rc > 0 && PyMethod_Check(found) ? std::move(entry) : cleared();
    }

    // A plain function of the class under `name`, not shadowed by the instance.
    static Ref type_function(PyTypeObject *type, PyObject *dict, PyObject *name) noexcept {
        if (PyDict_Contains(dict, name) != 0) return cleared();
        Ref in_type = type_attribute(type, name);
        return in_type && PyFunction_Check(in_type.get()) ? std::move(in_type) : cleared();
    }

    static Ref type_attribute(PyTypeObject *type, PyObject *name) noexcept {
        PyObject *found = nullptr;
        PyObject_GetOptionalAttr(reinterpret_cast<PyObject *>(type), name, &found);
        return Ref::steal(found);
    }

    static Ref cleared() noexcept {
        PyErr_Clear();
        return Ref();
    }

    static constexpr int n_entries = 4;
    Entry entries_[n_entries];
    int next_ = 0;
    unsigned int misses_ = 0;
};

}  // namespace ferry
