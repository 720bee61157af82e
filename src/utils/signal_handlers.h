#pragma once
// The Python-level signal handlers, read where the interpreter keeps them: a load per signal,
// where asking the signal module costs a call per signal. Part of the engine's one seam onto the
// interpreter's internals (with compat.h and frames.cpp); C, as the internal headers that say
// where they are are C alone in 3.12.

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

// The handlers set for signals now that are neither the default nor SIG_IGN, as signal.getsignal
// would give them, into `out` (room for `room`): how many. Borrowed, valid until a handler is
// set; with the interpreter lock. -1 when this interpreter keeps them where they cannot be read
// (before 3.12): ask the signal module then.
int vesk_signal_handlers(PyObject** out, int room);

#ifdef __cplusplus
}
#endif
