#include "companion/companion.h"

namespace vesk {

PyRef import_module(PyObject* name) {
    PyRef module = PyRef::steal(PyImport_GetModule(name));
    // None in sys.modules blocks the import: the import machinery raises the proper error.
    if (module && module.get() != Py_None) return module;
    if (PyErr_Occurred()) return {};
    return PyRef::steal(PyImport_Import(name));
}

PyRef module_attribute(PyObject* module_name, PyObject* attribute) {
    PyRef module = import_module(module_name);
    if (!module) return {};
    return PyRef::steal(PyObject_GetAttr(module.get(), attribute));
}

}  // namespace vesk
