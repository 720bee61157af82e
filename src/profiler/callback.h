#pragma once
// The functions installed as a thread's profile function with PyEval_SetProfile.

#include "utils/pyref.h"

namespace vesk {

// Context object: a VeskProfiler.
int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg) noexcept;

// Context object: null. Does nothing.
int noop_profile_callback(PyObject* profiler, PyFrameObject* frame, int what,
                          PyObject* arg) noexcept;

}  // namespace vesk
