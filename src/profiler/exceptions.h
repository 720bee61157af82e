#pragma once
// Exceptions on their way through recorded frames, kept as records of their own ("exception", see
// docs/stored-layout.md) beside the frames' records.
//
// From 3.12 the interpreter reports through sys.monitoring every frame an exception reaches (where
// it is raised, and each frame it propagates into), where a handler starts for it, where it is
// raised again and which frames it leaves. While a recording is live the engine holds a free tool
// id for these four events, and follows each exception from the moment it reaches a recorded
// frame (a passage) until the frame catches it or is left by it; then the passage's record is
// written, before whatever the frame records next. A handler that starts catches the exception
// unless it raises it again (a finally block, a with block whose exit lets it through, an except
// clause that does not match, a bare raise): so a passage whose handler started counts as caught
// once that handler is over, or the frame returns, or another exception reaches the frame. While
// no exception is raised none of this runs.
//
// Before 3.12 the engine only knows that a recorded frame was left by an exception: the profile
// function's return event then carries no value.

#include "profiler/bookkeeping.h"
#include "profiler/state.h"
#include "utils/pyref.h"

namespace vesk {

// A recording starts: the first live one claims a free tool id and registers the callbacks. When
// none is free, recordings go on without exception facts, and the log says so once.
void follow_exceptions(ProfilerState& state);

// The recording stops, or goes away without stopping: the last live one gives the id back.
void stop_following_exceptions(ProfilerState& state);

// Whether the interpreter has sys.monitoring and a tool id is held or free. False with the error
// indicator set on failure.
Fallible<bool> tool_available();

// Calls and returns of Python code through the same tool id (see profiler/monitored.h): turns
// their events on or off. False when no tool id is held (on: they do not come).
bool monitor_flow(bool on);

// Whether calls and returns come through the tool id now.
bool flow_monitored() noexcept;

// The tool id held, -1 when none.
int held_tool_id() noexcept;

// sys.monitoring.DISABLE while a tool id is held, else null. Borrowed.
PyObject* disable_answer() noexcept;

// Every event that an answer of DISABLE turned off is on again (for every tool: the interpreter
// has no other way). A failure is logged.
void restart_monitoring_events();

// The exception facts of a profile event of this recording, before the event itself is recorded.
// At a call, records the catches whose handler is over; at a return, ends the returning frame's
// passage and tells whether an exception leaves the frame. `left_unseen` is a return that the
// profile function is told an exception causes (its value is missing: 3.11, 3.13). Only called
// while the thread has passages, or for such a return. False with the error indicator set on
// failure.
Fallible<bool> exceptions_at_event(ProfilerState& state, ThreadValues& values, PyFrameObject* frame,
                                   Event event, bool left_unseen);

}  // namespace vesk
