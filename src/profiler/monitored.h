#pragma once
// Recording through sys.monitoring (3.12 and later) instead of a thread's profile function.
//
// A profile function costs every call and return of every function, library and C code included:
// the interpreter emulates it with events at every call site and a frame object per event. Through
// the tool id that the engine already holds for exceptions, a recording takes instead the starts,
// resumptions, returns, yields, throws and unwinds of Python code alone, and code that no live
// recording can want (its file name fails the filters of each, and none has plugins for its name)
// answers DISABLE at its first event: library code then costs one event per code object and place.
//
// The interpreter's events are for every thread, so the choices a profile function makes by being
// installed on a thread are made in the callback instead: each thread is given the recording that
// receives its events (the one registered on it, one that records threads started after it began,
// or one that was asked to record the threads already running), and answers stay the same as the
// profile function's: the same records, in the same order.

#include <cstdint>
#include <span>

#include "profiler/profiler_object.h"
#include "utils/pyref.h"

namespace vesk {

// A callback of an event that recordings through the tool take, and that event's name in
// sys.monitoring.events.
struct FlowCallback {
    PyObject** event_name;
    PyMethodDef* definition;
};

// The callbacks of calls and returns, registered on the tool id while it is held. PY_UNWIND is the
// exception events' own, which hands on to flow_unwind.
std::span<const FlowCallback> flow_callbacks() noexcept;

// The return of a frame that an exception leaves (PY_UNWIND's arguments), for the recording of
// the calling thread. A new reference to None, or null with the program's interruption set.
PyObject* flow_unwind(PyObject* const* args, std::ptrdiff_t nargs);

// Whether a recording could take the calling thread's events through sys.monitoring now: the
// interpreter has it, and a tool id is held or free. False with the error indicator set on
// failure.
bool can_monitor();

// `profiler` (a VeskProfiler registered on the calling thread, following exceptions) takes this
// thread's events through the tool, and those of threads started from now on when it records
// threads. False (nothing changed) when the tool cannot give them.
bool start_monitored(PyObject* profiler);

// The stopped `profiler` gives every thread it took to the live recording it was started inside
// of, or to none; the events stop with the last recording.
void stop_monitored(PyObject* profiler);

// The threads already running take their events to `profiler` too, from their next call; the
// saver thread and threads that a live recording takes already are left as they are. Returns how
// many.
Py_ssize_t record_running_threads_monitored(PyObject* profiler);

// The tool id is gone and none is free (the program took every one): each live recording goes on
// through the profile function, as one that could not take the tool at its start: the threads it
// took get the profile function (one with a profile function of its own keeps it), and threads
// started later the threading hook (unless the program set one of its own). False with the error
// indicator set on failure.
bool move_monitored_to_profile();

// The live recording that receives the calling thread's events through sys.monitoring, if any.
// Borrowed.
PyObject* monitored_recording_of_this_thread() noexcept;

}  // namespace vesk
