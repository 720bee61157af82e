// The interpreter keeps the Python-level handler of each signal in its runtime state (3.12, 3.13):
// an atomic pointer per signal number, as its internal headers lay it out, beside the objects that
// stand for the default and for SIG_IGN.
#include <patchlevel.h>

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
#define VESK_HANDLERS_READABLE 1
#define Py_BUILD_CORE 1  // the internal headers are read as the interpreter's own files read them
#endif

#include <Python.h>
#ifdef VESK_HANDLERS_READABLE
#include <internal/pycore_runtime.h>
#endif

#include "utils/signal_handlers.h"

int vesk_signal_handlers(PyObject** out, int room) {
#ifdef VESK_HANDLERS_READABLE
    const struct _signals_runtime_state* signals = &_PyRuntime.signals;
    int found = 0;
    for (int number = 1; number < Py_NSIG && found < room; ++number) {
#if PY_VERSION_HEX >= 0x030D0000
        PyObject* handler =
            (PyObject*)__atomic_load_n(&signals->handlers[number].func, __ATOMIC_RELAXED);
#else
        PyObject* handler = (PyObject*)_Py_atomic_load_relaxed(&signals->handlers[number].func);
#endif
        if (handler != NULL && handler != signals->default_handler &&
            handler != signals->ignore_handler) {
            out[found++] = handler;
        }
    }
    return found;
#else
    (void)out;
    (void)room;
    return -1;
#endif
}
