#include "module_state.hpp"

namespace ferry {

ModuleState state;

Ref global(const char *name) {
    PyObject *found = nullptr;
    if (state.globals && PyDict_GetItemStringRef(state.globals, name, &found) < 0) throw PyErrOccurred();
    if (found) return Ref::steal(found);
    Ref builtins = own(PyImport_ImportModule("builtins"));
    if (PyObject_GetOptionalAttrString(builtins.get(), name, &found) < 0) throw PyErrOccurred();
    if (!found) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw PyErrOccurred();
    }
    return Ref::steal(found);
}

}  // namespace ferry
