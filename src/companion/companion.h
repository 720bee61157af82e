#pragma once
// Reaching the companion package's modules at the moment of use. A module already in
// sys.modules is taken from there (so a replaced entry is honoured) without running the import
// machinery again; the engine keeps no reference to a module between calls.

#include "utils/pyref.h"

namespace vesk {

// `name` is a full dotted module name such as "vesk.serialize".
PyRef import_module(PyObject* name);

// module.attribute, imported as above.
PyRef module_attribute(PyObject* module_name, PyObject* attribute);

}  // namespace vesk
