#pragma once
// The functions installed as a thread's profile function with PyEval_SetProfile.

#include "utils/pyref.h"

namespace vesk {

// Context object: a VeskProfiler. Nothing leaves it but the program's own interruption, and the
// forced unwind with which the interpreter ends a daemon thread at exit.
int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg);

// Context object: null. Does nothing.
int noop_profile_callback(PyObject* profiler, PyFrameObject* frame, int what,
                          PyObject* arg) noexcept;

}  // namespace vesk
