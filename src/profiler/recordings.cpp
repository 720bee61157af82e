#include "profiler/recordings.h"

#include <utility>
#include <vector>

#include "profiler/callback.h"
#include "profiler/exceptions.h"
#include "profiler/monitored.h"
#include "profiler/profiler_object.h"
#include "profiler/saver.h"

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

// A profile function and its context object (borrowed).
struct ProfileFunction {
    Py_tracefunc function = nullptr;
    PyObject* context = nullptr;
};

// What the thread state `state_id` runs once `profiler` no longer takes it: the first live
// recording outward, else, on the thread where the stopped recordings were registered, what that
// thread had before them.
ProfileFunction successor(PyObject* profiler, std::uint64_t state_id) noexcept {
    // Each step goes to a recording registered earlier: the walk ends; the bound is a guard.
    for (int step = 0; profiler != nullptr && step < 1000; ++step) {
        const ProfilerState* state = profiler_state_of(profiler);
        if (state == nullptr) break;
        if (!state->stopped) return {profile_callback, profiler};
        if (PyObject* outer = outer_recording(*state, state_id)) {
            profiler = outer;
            continue;
        }
        if (state_id != state->home_thread_state_id || state->previous_profile == nullptr) break;
        if (state->previous_profile != profile_callback) {
            return {state->previous_profile, state->previous_context.get()};
        }
        profiler = state->previous_context.get();
    }
    return {};
}

// Sets the thread's profile function to `next`, which may be owned by a profiler that only the
// thread's current profile function keeps alive (the interpreter drops the old one first).
int set_profile(PyThreadState* thread, ProfileFunction next) {
    PyRef keep = PyRef::borrow(next.context);
    return _PyEval_SetProfile(thread, next.function, next.context);
}

}  // namespace

void remember_previous_profile(ProfilerState& state) {
    PyThreadState* thread = PyThreadState_Get();
    state.previous_profile = thread->c_profilefunc;
    state.previous_context = PyRef::borrow(thread->c_profileobj);
}

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
    ProfileFunction next = successor(profiler, current_thread_state_id());
    PyRef keep = PyRef::borrow(next.context);
    PyEval_SetProfile(next.function, next.context);
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
        if (thread != self && thread->c_profilefunc == nullptr && thread->c_tracefunc == nullptr &&
            !is_saver_thread(thread)) {
            waiting.push_back(static_cast<std::uint64_t>(PyThreadState_GetID(thread)));
        }
    }
    Py_ssize_t reached = 0;
    for (std::uint64_t id : waiting) {
        PyThreadState* thread = thread_with_id(interpreter, id);
        if (thread == nullptr || thread->c_profilefunc != nullptr ||
            thread->c_tracefunc != nullptr) {
            continue;
        }
        if (_PyEval_SetProfile(thread, profile_callback, profiler) < 0) return -1;
        ++reached;
    }
    return reached;
}

bool stop_recording(PyObject* profiler) {
    ProfilerState* state = profiler_state_of(profiler);
    if (state == nullptr || state->stopped) return true;
    state->stopped = true;
    // The events through the tool stop before the tool may be given back.
    if (state->monitored) stop_monitored(profiler);
    stop_following_exceptions(*state);
    stop_cutting(state);

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
        if (set_profile(thread, successor(profiler, id)) < 0) return false;
    }
    state->per_thread.release_idle_threads();
    return true;
}

}  // namespace vesk
