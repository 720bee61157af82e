#include "profiler/recordings.h"

#include <utility>
#include <vector>

#include "profiler/callback.h"
#include "profiler/exceptions.h"
#include "profiler/profiler_object.h"

namespace vesk {

PyObject* outer_recording(const ProfilerState& holder, std::uint64_t state_id) noexcept {
    PyObject* outer = holder.outer.get();
    if (outer == nullptr) return nullptr;
    const ProfilerState* state = profiler_state_of(outer);
    if (state == nullptr) return nullptr;
    return state->threading || state_id == holder.home_thread_state_id ? outer : nullptr;
}

namespace {

// Whether the thread state's profile function is `profiler`'s: our callback with it as context,
// or the bound method that the threading hook gave a new thread before its first event.
bool installed_on(PyThreadState* thread, PyObject* profiler) noexcept {
    PyObject* context = thread->c_profileobj;
    if (context == nullptr) return false;
    if (thread->c_profilefunc == profile_callback) return context == profiler;
    return PyCFunction_Check(context) && PyCFunction_GET_SELF(context) == profiler;
}

// The thread state with this id, if it still exists.
PyThreadState* thread_with_id(PyInterpreterState* interpreter, std::uint64_t id) noexcept {
    for (PyThreadState* thread = PyInterpreterState_ThreadHead(interpreter); thread != nullptr;
         thread = PyThreadState_Next(thread)) {
        if (static_cast<std::uint64_t>(PyThreadState_GetID(thread)) == id) return thread;
    }
    return nullptr;
}

}  // namespace

std::uint64_t current_thread_state_id() noexcept {
    return static_cast<std::uint64_t>(PyThreadState_GetID(PyThreadState_Get()));
}

PyObject* first_live_recording(PyObject* profiler, std::uint64_t state_id) noexcept {
    while (profiler != nullptr) {
        const ProfilerState* state = profiler_state_of(profiler);
        if (state == nullptr) return nullptr;
        if (!state->stopped) return profiler;
        profiler = outer_recording(*state, state_id);
    }
    return nullptr;
}

PyObject* recording_of_this_thread() noexcept {
    PyThreadState* thread = PyThreadState_Get();
    if (thread->c_profilefunc != profile_callback || thread->c_profileobj == nullptr) {
        return nullptr;
    }
    return first_live_recording(thread->c_profileobj, current_thread_state_id());
}

void install_live_recording(PyObject* profiler) {
    PyObject* live = first_live_recording(profiler, current_thread_state_id());
    PyEval_SetProfile(live != nullptr ? profile_callback : nullptr, live);
}

Py_ssize_t record_running_threads(PyObject* profiler) {
    ProfilerState* state = profiler_state_of(profiler);
    if (state == nullptr || state->stopped) return 0;
    // As in stop_recording: the audit hooks that a change runs may let threads start and end.
    PyInterpreterState* interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
    PyThreadState* self = PyThreadState_Get();
    std::vector<std::uint64_t> waiting;
    for (PyThreadState* thread = PyInterpreterState_ThreadHead(interpreter); thread != nullptr;
         thread = PyThreadState_Next(thread)) {
        if (thread != self && thread->c_profilefunc == nullptr) {
            waiting.push_back(static_cast<std::uint64_t>(PyThreadState_GetID(thread)));
        }
    }
    Py_ssize_t reached = 0;
    for (std::uint64_t id : waiting) {
        PyThreadState* thread = thread_with_id(interpreter, id);
        if (thread == nullptr || thread->c_profilefunc != nullptr) continue;
        if (_PyEval_SetProfile(thread, profile_callback, profiler) < 0) return -1;
        ++reached;
    }
    return reached;
}

bool stop_recording(PyObject* profiler) {
    ProfilerState* state = profiler_state_of(profiler);
    if (state == nullptr || state->stopped) return true;
    state->stopped = true;
    stop_following_exceptions(*state);

    // Changing a profile function raises an audit event, whose hooks may let other threads run
    // and end: the threads are found first, and each is looked up again before it is changed.
    PyInterpreterState* interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
    std::vector<std::uint64_t> reached;
    for (PyThreadState* thread = PyInterpreterState_ThreadHead(interpreter); thread != nullptr;
         thread = PyThreadState_Next(thread)) {
        if (installed_on(thread, profiler)) {
            reached.push_back(static_cast<std::uint64_t>(PyThreadState_GetID(thread)));
        }
    }
    for (std::uint64_t id : reached) {
        PyThreadState* thread = thread_with_id(interpreter, id);
        if (thread == nullptr || !installed_on(thread, profiler)) continue;
        PyObject* live = first_live_recording(profiler, id);
        if (_PyEval_SetProfile(thread, live != nullptr ? profile_callback : nullptr, live) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace vesk
