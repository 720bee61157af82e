#pragma once
// The program's own interruptions: exceptions that must reach the program wherever our code meets
// them, never be reported or swallowed as a failure of ours.
//
// A signal handler runs on the main thread wherever the interpreter next checks for signals, our
// code included (a serialiser, a plugin, the companion's Python code): what it raises is the
// program's, whatever its type (a TimeoutError from an alarm, a test framework's timeout). So is
// every BaseException that is not an Exception (KeyboardInterrupt, SystemExit, a framework's
// outcome), but for the engine's own PanicException.

#include "utils/pyref.h"

namespace vesk {

// Whether `exception` (an exception instance) is the program's interruption.
bool is_interruption(PyObject* exception);

// Whether the pending exception is; false when none is pending.
bool pending_is_interruption();

// Whether `exception` was raised by a signal handler: its traceback passes through one of the
// Python-level handlers set now. Only the main thread runs handlers; elsewhere false at once.
bool raised_by_signal_handler(PyObject* exception);

// The module's is_interruption(exception), for the companion's Python code that runs while
// recording and catches Exception.
PyObject* is_interruption_function(PyObject* module, PyObject* exception);

}  // namespace vesk
