#pragma once
// Which recordings receive a thread's events, and stopping one everywhere it reached.
//
// A recording started on a thread that another recording already records (a `with vesk.enable()`
// inside another) is installed in its place and hands each event on to it: the outer one goes on
// receiving that thread's events, and those of threads the inner one hooks when the outer one
// records new threads too. A stopped recording records nothing more and leaves each thread to the
// first live recording outside it, or to none.

#include <cstdint>

#include "profiler/profiler_object.h"
#include "utils/pyref.h"

namespace vesk {

// The calling thread's thread state id, which the interpreter never reuses.
std::uint64_t current_thread_state_id() noexcept;

// The recording `holder` was started inside of, when it receives the events of the thread state
// `state_id`: always on the thread where `holder` was started, elsewhere when it records new
// threads itself. Borrowed; null when none.
PyObject* outer_recording(const ProfilerState& holder, std::uint64_t state_id) noexcept;

// From `profiler` (a VeskProfiler) outward, the first recording that is not stopped and receives
// the events of the thread state `state_id`; null when none. Borrowed.
PyObject* first_live_recording(PyObject* profiler, std::uint64_t state_id) noexcept;

// The live recording that receives the calling thread's events through our profile function, if
// any. Borrowed.
PyObject* recording_of_this_thread() noexcept;

// Runs `visit` on the state of every live recording on the calling thread's chain, from
// `profiler` (a VeskProfiler) outward, innermost first; stops at the first that returns false and
// returns false then.
template <class Visit>
bool for_each_live_recording(PyObject* profiler, Visit&& visit) {
    std::uint64_t thread = 0;  // read once a chain needs it
    for (PyObject* current = profiler; current != nullptr;) {
        ProfilerState& state = *profiler_state_of(current);
        if (!state.stopped && !visit(state)) return false;
        if (!state.outer) break;
        if (thread == 0) thread = current_thread_state_id();
        current = outer_recording(state, thread);
    }
    return true;
}

// Remembers the calling thread's profile function as the one to give back to it when the
// recording being registered there stops.
void remember_previous_profile(ProfilerState& state);

// Gives the calling thread, which `profiler` no longer takes (it stopped), to the first live
// recording from `profiler` outward, or else the profile function it had before the recordings
// that stopped (none if it had none).
void install_live_recording(PyObject* profiler);

// Installs `profiler` on every other thread of the interpreter that has no profile function and no
// trace function, so that threads already running when it started are recorded from their next
// call. Returns how many it reached, or -1 with the error indicator set when the interpreter
// refuses (an audit hook).
Py_ssize_t record_running_threads(PyObject* profiler);

// Marks the profiler stopped and takes it off every thread of the interpreter where it is the
// profile function, or the profile function a new thread got from the threading hook and has not
// run yet; each such thread passes to the first live recording outside it, or gets back what it
// had before (see install_live_recording). False
// with the error indicator set when the interpreter refuses to change a thread's profile
// function (an audit hook raising); the threads not reached then take it off at their next event.
bool stop_recording(PyObject* profiler);

}  // namespace vesk
