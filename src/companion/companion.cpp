#include "companion/companion.h"

namespace vesk {

namespace {

// The module as sys.modules holds it, without the import machinery's checks; null (and no
// error) when it is not there.
PyObject* imported_module(PyObject* name) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* module = PyDict_GetItemWithError(modules, name);
    if (module == nullptr || module == Py_None) {
        PyErr_Clear();
        return nullptr;
    }
    return module;
}

}  // namespace

PyRef import_module(PyObject* name) {
    if (PyObject* module = imported_module(name)) return PyRef::borrow(module);
    // Not imported yet, or blocked by None: the import machinery imports it or raises.
    return PyRef::steal(PyImport_Import(name));
}

PyRef module_attribute(PyObject* module_name, PyObject* attribute) {
    if (PyObject* module = imported_module(module_name)) {
        if (PyModule_CheckExact(module)) {
            // A plain module's attributes are its dictionary's entries.
            PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), attribute);
            if (value != nullptr) return PyRef::borrow(value);
            PyErr_Clear();
        }
        PyRef value = PyRef::steal(PyObject_GetAttr(module, attribute));
        if (value) return value;
        // A module still being imported by another thread may lack the attribute for now:
        // the import machinery waits for it to finish.
        PyErr_Clear();
    }
    PyRef module = PyRef::steal(PyImport_Import(module_name));
    if (!module) return {};
    return PyRef::steal(PyObject_GetAttr(module.get(), attribute));
}

}  // namespace vesk
