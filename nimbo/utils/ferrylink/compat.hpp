// ============================================================================
// The compatibility surface. Everything declared here looks odd and is
// load-bearing: it is the module's published contract, fixed before this
// code was written, and others rely on it exactly. Native modules look the
// tables up under the `__pyx_*` names, pickles already written carry the
// layout checksums, and callers match the fixed texts. compat.cpp says,
// beside each one, why it exists. Change none of it for tidiness: a change
// here breaks someone else's binary or pickle.
// ============================================================================
#pragma once
#include <Python.h>
#include <cstdint>
#include "pyref.hpp"

namespace ferry::compat {

// ---- the module frame ----
extern const char *const interpreter_changed;  // ImportError of a create step in another interpreter
extern const char *const reinitialised;        // RuntimeError of an execute step on another module object

// A new module for the import record `found`, carrying the attributes the
// import system would.
Ref new_module_for(PyObject *found);
// The RuntimeWarning of a runtime other than the one built for.
void check_runtime_version();
// `__pyx_capi__`: the exported conversion functions, as capsules named by
// their signatures, in the module dict `globals`.
void export_capi(PyObject *globals);
// `__pyx_vtable__`: a type's native method table, as a capsule in its dict.
void publish_vtable(PyTypeObject *type, const void *vtable);
// SPSCQueue from nimbo.spsc_queue.spsc_queue, checked with the published
// exceptions and texts, into state.spsc_type and state.spsc.
void import_ring_type();
// `__test__`, the last name bound.
void bind_test_dict(PyObject *globals);

// ---- pickling ----
// TypeError of the types that refuse pickling.
extern const char *const no_pickle;
// TypeErrors of a bad AsyncQueue state: None; not a tuple (a format of the
// expected and the found type names); a ring field that is not an SPSCQueue
// (a format of the found and the expected type names).
extern const char *const state_is_none;
extern const char *const state_not_tuple;
extern const char *const ring_not_converted;
// The AsyncQueue layout checksum written into pickles.
extern const long written_checksum;
// Refuses a pickle whose layout checksum is not one of the accepted ones.
void check_checksum(int32_t checksum);

}  // namespace ferry::compat
