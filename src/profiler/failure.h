#pragma once
// A failure while recording an event never reaches the profiled program: it becomes one warning
// on the logger "vesk", whose configuration decides where it goes.

#include "profiler/bookkeeping.h"
#include "utils/pyref.h"

namespace vesk {

// Logs the failure (an exception instance, whose ownership passes here) with the frame's file,
// code name, event and locals. If logging it fails too, both go to the unraisable hook, unless
// the report failed at the recursion limit: then it is dropped and false is returned. Leaves the
// error indicator clear.
bool report_unexpected_error(PyRef failure, PyFrameObject* frame, std::string_view event,
                             PyObject* filename, PyObject* co_name);

// What becomes of a failed event or plugin.
enum class Settled {
    reported,  // logged as a warning
    dropped,   // lost at the recursion limit, where even a report would fail: to be counted
    raise,     // the program's own interruption (see utils/interruption.h): set again as the
               // current exception, for the callback to hand to the program
};

Settled settle_failure(PyRef failure, PyFrameObject* frame, std::string_view event,
                       PyObject* filename, PyObject* co_name);

// A PanicException for an internal fault, ready to be reported.
PyRef failure_from_fault(const char* message);

// Inside a catch block: the failure an internal fault or a C++ exception stands for, as an
// interpreter exception.
PyRef failure_of_current_exception();

// After a failure could not even be settled: the program's own interruption stays pending (true),
// anything else we left is dropped.
bool keep_only_interruption();

// Logs `text` as one warning on the logger "vesk"; a failure to do so is dropped.
void log_warning_text(const char* text);

}  // namespace vesk
