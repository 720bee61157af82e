#pragma once
// A failure while recording an event never reaches the profiled program: it becomes one warning
// on the logger "vesk", whose configuration decides where it goes.

#include "profiler/bookkeeping.h"
#include "utils/pyref.h"

namespace vesk {

// Logs the failure (an exception instance, whose ownership passes here) with the frame's file,
// code name, event and locals. If logging it fails too, both go to the unraisable hook. Leaves
// the error indicator clear.
void report_unexpected_error(PyRef failure, PyFrameObject* frame, Event event, PyObject* filename,
                             PyObject* co_name);

// A PanicException for an internal fault, ready to be reported.
PyRef failure_from_fault(const char* message);

}  // namespace vesk
