// Built in place of the engine for an interpreter it does not support (the free-threaded build):
// importing it says so in one line instead of failing somewhere later.
#include <Python.h>

PyMODINIT_FUNC PyInit__vesk() {
    PyErr_SetString(PyExc_ImportError,
                    "vesk does not support the free-threaded build of CPython: use a build with "
                    "the global interpreter lock");
    return nullptr;
}
