#include "companion/companion.h"

#include "utils/errors.h"

namespace vesk {

namespace {

// The module as sys.modules holds it, without the import machinery's checks; null (and no
// error) when it is not there. Held: its attribute lookup may run code that drops it from there.
PyRef imported_module(PyObject* name) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* module = PyDict_GetItemWithError(modules, name);
    if (module == nullptr || module == Py_None) {
        PyErr_Clear();  // a str key: only memory running out, and the import below will tell
        return {};
    }
    return PyRef::borrow(module);
}

}  // namespace

PyRef import_module(PyObject* name) {
    // sys.modules first, but through the import machinery's check: a module that another thread
    // is still importing is waited for rather than taken half-initialised.
    PyRef module = PyRef::steal(PyImport_GetModule(name));
    if (module && module.get() != Py_None) return module;
    if (PyErr_Occurred()) return {};
    // Not imported yet, or blocked by None: the import machinery imports it or raises.
    return PyRef::steal(PyImport_Import(name));
}

// On every event: the plain lookup in sys.modules, and the import machinery only when that does
// not give the attribute (for instance while another thread is still importing the module).
PyRef module_attribute(PyObject* module_name, PyObject* attribute) {
    if (PyRef module = imported_module(module_name)) {
        if (PyModule_CheckExact(module.get())) {
            // A plain module's attributes are its dictionary's entries.
            PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module.get()), attribute);
            if (value != nullptr) return PyRef::borrow(value);
            if (!discard_ordinary_error()) return {};
        }
        PyRef value = PyRef::steal(PyObject_GetAttr(module.get(), attribute));
        if (value) return value;
        if (!discard_ordinary_error()) return {};
    }
    PyRef module = import_module(module_name);
    if (!module) return {};
    return PyRef::steal(PyObject_GetAttr(module.get(), attribute));
}

}  // namespace vesk
