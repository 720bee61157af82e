#pragma once
// The functions installed as a thread's profile function with PyEval_SetProfile.

#include <string_view>

#include "profiler/bookkeeping.h"
#include "profiler/state.h"
#include "utils/code_cache.h"
#include "utils/pyref.h"

namespace vesk {

// Context object: a VeskProfiler. Nothing leaves it but the program's own interruption, and the
// forced unwind with which the interpreter ends a daemon thread at exit.
int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg);

// One call or return of a Python frame for `profiler` (a VeskProfiler) and the recordings it was
// started inside of: 0, or -1 with the program's own interruption set. `arg` is null for a return
// that an exception causes. `monitored`: the event comes through sys.monitoring, not the thread's
// profile function. `cache`: the frame's code cache when the caller has it already.
int deliver_event(PyObject* profiler, PyFrameObject* frame, Event event, PyObject* arg,
                  bool monitored, CodeCache* cache = nullptr);

// Whether the recording has plugins for the code's name, remembered on the code object.
bool has_plugins_for(const ProfilerState& state, CodeCache* cache, std::string_view code_name);

// Context object: null. Does nothing.
int noop_profile_callback(PyObject* profiler, PyFrameObject* frame, int what,
                          PyObject* arg) noexcept;

}  // namespace vesk
