#include "profiler/monitored.h"

#include <algorithm>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "companion/companion.h"
#include "filters/frame_filters.h"
#include "profiler/callback.h"
#include "profiler/exceptions.h"
#include "profiler/failure.h"
#include "profiler/recordings.h"
#include "profiler/saver.h"
#include "utils/code_cache.h"
#include "utils/convert.h"
#include "utils/errors.h"
#include "utils/interned.h"

namespace vesk {

namespace {

// Read and written with the interpreter lock held.
struct Assignments {
    // The recording each thread gave its events to, by thread state id (never reused): the one
    // registered on it, or the one that took it when it started or when asked to.
    std::unordered_map<std::uint64_t, PyRef> by_thread;
    // The live recordings, oldest first.
    std::vector<PyRef> live;
    // Changes whenever a thread's answer may change: a recording starts or stops, or takes
    // threads already running.
    std::uint64_t generation = 1;
    // Changes whenever the set of live recordings does: keys the answers remembered on code
    // objects.
    std::uint64_t live_version = 1;
    // The filters of every recording started since events were last restarted: DISABLE was
    // answered for code that none of them wants, and stays answered for a recording with the same.
    std::set<std::string> answered_for;
};
Assignments assignments;

// The answer the calling thread found last, valid while the generation is the same.
struct ThreadChoice {
    std::uint64_t generation = 0;
    PyObject* recording = nullptr;
};
thread_local ThreadChoice choice;

// What decides which code a recording wants: its fragments and its plugins' code names.
std::string filters_of(const ProfilerState& state) {
    std::string text;
    for (const PathFragment& fragment : state.include_frames) text += "i" + fragment.text() + '\0';
    for (const PathFragment& fragment : state.ignore_frames) text += "x" + fragment.text() + '\0';
    std::vector<std::string_view> names(state.plugin_code_names.begin(),
                                        state.plugin_code_names.end());
    std::sort(names.begin(), names.end());
    for (std::string_view name : names) (text += 'p') += std::string(name) + '\0';
    return text;
}

std::uint64_t newest_thread_id() {
    PyInterpreterState* interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
    std::uint64_t newest = 0;
    for (PyThreadState* thread = PyInterpreterState_ThreadHead(interpreter); thread != nullptr;
         thread = PyThreadState_Next(thread)) {
        newest = std::max(newest, static_cast<std::uint64_t>(PyThreadState_GetID(thread)));
    }
    return newest;
}

// The code's file and function names, remembered on its cache as the profile event does.
bool code_names(PyObject* code, CodeCache* cache, std::string_view& filename,
                std::string_view& code_name) {
    if (cache != nullptr && cache->names_read) {
        filename = cache->filename;
        code_name = cache->code_name;
        return true;
    }
    auto* code_object = reinterpret_cast<PyCodeObject*>(code);
    auto file = text_view(code_object->co_filename);
    if (!file.ok()) return false;
    auto name = text_view(code_object->co_name);
    if (!name.ok()) return false;
    filename = *file;
    code_name = *name;
    if (cache != nullptr) {
        cache->filename = filename;
        cache->code_name = code_name;
        cache->names_read = true;
    }
    return true;
}

// Whether any live recording may want events of this code: a frame of it may be of interest, or
// a plugin is registered for its name. Remembered on the code object until the live recordings
// change. False with the error indicator set when its names cannot be read.
Fallible<bool> wanted(PyObject* code, CodeCache* cache) {
    const std::uintptr_t tag = static_cast<std::uintptr_t>(assignments.live_version) << 1;
    if (cache != nullptr && (cache->flow_answer & ~std::uintptr_t{1}) == tag) {
        return (cache->flow_answer & 1) != 0;
    }
    std::string_view filename, code_name;
    if (!code_names(code, cache, filename, code_name)) return failed;
    bool found = false;
    for (const PyRef& recording : assignments.live) {
        const ProfilerState& state = *profiler_state_of(recording.get());
        FrameFilters filters{state.include_frames, state.ignore_frames, state.serial};
        if (may_be_of_interest(filters, cache, filename) ||
            has_plugins_for(state, cache, code_name)) {
            found = true;
            break;
        }
    }
    if (cache != nullptr) cache->flow_answer = tag | (found ? 1 : 0);
    return found;
}

// A call or return event of Python code: the recording of the thread gets it, with the frame it
// happens in. `arg` is the value returned or yielded, null for an unwind. DISABLE where no live
// recording wants the code and the event may be turned off.
PyObject* flow(PyObject* const* args, Py_ssize_t nargs, Event event, PyObject* arg,
               bool may_disable) {
    if (nargs < 1 || !PyCode_Check(args[0])) Py_RETURN_NONE;
    try {
        CodeCache* cache = code_cache(args[0]);
        auto want = wanted(args[0], cache);
        if (!want.ok()) {
            // A name that is not text: the event decides, as the profile function's does.
            if (!discard_ordinary_error()) return nullptr;
        } else if (!*want) {
            PyObject* disable = disable_answer();
            if (may_disable && disable != nullptr) return Py_NewRef(disable);
            Py_RETURN_NONE;
        }
        PyObject* profiler = monitored_recording_of_this_thread();
        if (profiler == nullptr) Py_RETURN_NONE;
        PyFrameObject* frame = PyEval_GetFrame();  // borrowed; made for the event if need be
        if (frame == nullptr) Py_RETURN_NONE;
        if (deliver_event(profiler, frame, event, arg, true, cache) < 0) return nullptr;
        Py_RETURN_NONE;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        if (keep_only_interruption()) return nullptr;
        Py_RETURN_NONE;
    }
}

// (code, instruction offset): a frame starts, resumes after a suspension or is thrown into.
PyObject* on_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return flow(args, nargs, Event::call, Py_None, true);
}
PyObject* on_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return flow(args, nargs, Event::call, Py_None, false);
}
// (code, instruction offset, value): a frame returns it or yields it.
PyObject* on_return(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return flow(args, nargs, Event::ret, nargs >= 3 ? args[2] : Py_None, true);
}

template <class Function>
PyCFunction fastcall(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef start_def = {"vesk_start", fastcall(on_start), METH_FASTCALL, nullptr};
PyMethodDef throw_def = {"vesk_throw", fastcall(on_throw), METH_FASTCALL, nullptr};
PyMethodDef return_def = {"vesk_return", fastcall(on_return), METH_FASTCALL, nullptr};

const FlowCallback kFlowCallbacks[] = {
    {&interned.PY_START, &start_def},  {&interned.PY_RESUME, &start_def},
    {&interned.PY_THROW, &throw_def},  {&interned.PY_RETURN, &return_def},
    {&interned.PY_YIELD, &return_def},
};

void forget_live(PyObject* profiler, std::vector<PyRef>& released) {
    auto& live = assignments.live;
    for (auto it = live.begin(); it != live.end();) {
        if (it->get() == profiler) {
            released.push_back(std::move(*it));
            it = live.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

std::span<const FlowCallback> flow_callbacks() noexcept {
    return kFlowCallbacks;
}

PyObject* flow_unwind(PyObject* const* args, std::ptrdiff_t nargs) {
    return flow(args, static_cast<Py_ssize_t>(nargs), Event::ret, nullptr, false);
}

bool can_monitor() {
    auto available = tool_available();
    return available.ok() && *available;
}

bool start_monitored(PyObject* profiler) {
    ProfilerState& state = *profiler_state_of(profiler);
    if (held_tool_id() < 0) return false;
    state.monitored = true;
    state.threads_before = newest_thread_id();
    std::string filters = filters_of(state);
    if (!assignments.answered_for.empty() && !assignments.answered_for.contains(filters)) {
        // Code turned off for the recordings before may be wanted by this one.
        restart_monitoring_events();
        assignments.answered_for.clear();
    }
    assignments.answered_for.insert(std::move(filters));
    assignments.live.push_back(PyRef::borrow(profiler));
    assignments.by_thread[current_thread_state_id()] = PyRef::borrow(profiler);
    ++assignments.generation;
    ++assignments.live_version;
    if (monitor_flow(true)) return true;
    std::vector<PyRef> released;
    forget_live(profiler, released);
    assignments.by_thread.erase(current_thread_state_id());
    state.monitored = false;
    return false;
}

void stop_monitored(PyObject* profiler) {
    // Released once the tables are consistent again: a release may run a finaliser.
    std::vector<PyRef> released;
    auto& by_thread = assignments.by_thread;
    for (auto it = by_thread.begin(); it != by_thread.end();) {
        if (it->second.get() != profiler) {
            ++it;
            continue;
        }
        PyObject* next = first_live_recording(profiler, it->first);
        if (next != nullptr) {
            released.push_back(std::exchange(it->second, PyRef::borrow(next)));
            ++it;
        } else {
            released.push_back(std::move(it->second));
            it = by_thread.erase(it);
        }
    }
    forget_live(profiler, released);
    ++assignments.generation;
    ++assignments.live_version;
    if (assignments.live.empty()) monitor_flow(false);
}

Py_ssize_t record_running_threads_monitored(PyObject* profiler) {
    PyInterpreterState* interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
    PyThreadState* self = PyThreadState_Get();
    Py_ssize_t reached = 0;
    for (PyThreadState* thread = PyInterpreterState_ThreadHead(interpreter); thread != nullptr;
         thread = PyThreadState_Next(thread)) {
        auto id = static_cast<std::uint64_t>(PyThreadState_GetID(thread));
        // A thread that a debugger or another profiler follows is left to it, as the profile
        // function leaves it.
        if (thread == self || is_saver_thread(thread) || thread->c_tracefunc != nullptr ||
            thread->c_profilefunc != nullptr) {
            continue;
        }
        auto found = assignments.by_thread.find(id);
        if (found != assignments.by_thread.end() &&
            first_live_recording(found->second.get(), id) != nullptr) {
            continue;
        }
        assignments.by_thread[id] = PyRef::borrow(profiler);
        ++reached;
    }
    ++assignments.generation;
    return reached;
}

bool move_monitored_to_profile() {
    if (assignments.live.empty()) return true;
    // Who gets each thread: the recording it gave its events to, or, for one that has not had an
    // event yet, the newest recording of threads started after it began.
    PyInterpreterState* interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
    std::vector<std::pair<std::uint64_t, PyRef>> moves;
    for (PyThreadState* thread = PyInterpreterState_ThreadHead(interpreter); thread != nullptr;
         thread = PyThreadState_Next(thread)) {
        auto id = static_cast<std::uint64_t>(PyThreadState_GetID(thread));
        // A thread whose profile function is another's keeps it: the recording loses it.
        if (is_saver_thread(thread) || thread->c_profilefunc != nullptr) continue;
        PyObject* recording = nullptr;
        if (auto entry = assignments.by_thread.find(id); entry != assignments.by_thread.end()) {
            recording = first_live_recording(entry->second.get(), id);
        } else {
            for (auto it = assignments.live.rbegin(); it != assignments.live.rend(); ++it) {
                const ProfilerState& state = *profiler_state_of(it->get());
                if (!state.stopped && state.threading && id > state.threads_before) {
                    recording = it->get();
                    break;
                }
            }
        }
        if (recording != nullptr) moves.emplace_back(id, PyRef::borrow(recording));
    }
    // Threads started from now on: the threading hook, as a recording through the profile function
    // has it, unless the program set one of its own.
    PyRef new_threads;
    for (auto it = assignments.live.rbegin(); it != assignments.live.rend(); ++it) {
        if (profiler_state_of(it->get())->threading) {
            new_threads = *it;
            break;
        }
    }
    // Out of the tool's tables: its events stop with it.
    std::vector<PyRef> released;
    released.swap(assignments.live);
    for (const PyRef& recording : released) profiler_state_of(recording.get())->monitored = false;
    for (auto& [_, recording] : assignments.by_thread) released.push_back(std::move(recording));
    assignments.by_thread.clear();
    ++assignments.generation;
    ++assignments.live_version;
    for (auto& [id, recording] : moves) {
        PyThreadState* thread = nullptr;
        for (PyThreadState* t = PyInterpreterState_ThreadHead(interpreter); t != nullptr;
             t = PyThreadState_Next(t)) {
            if (static_cast<std::uint64_t>(PyThreadState_GetID(t)) == id) thread = t;
        }
        if (thread == nullptr || thread->c_profilefunc != nullptr) continue;
        if (_PyEval_SetProfile(thread, profile_callback, recording.get()) < 0) return false;
    }
    if (!new_threads) return true;
    PyRef threading = import_module(interned.mod_threading);
    if (!threading) return false;
    PyRef current = PyRef::steal(PyObject_CallMethod(threading.get(), "getprofile", nullptr));
    if (!current) return false;
    if (current.get() != Py_None) return true;
    PyRef hook =
        PyRef::steal(PyObject_GetAttr(new_threads.get(), interned.register_threading_profiler));
    return hook && PyRef::steal(
                       PyObject_CallMethodOneArg(threading.get(), interned.setprofile, hook.get()));
}

PyObject* monitored_recording_of_this_thread() noexcept {
    if (choice.generation == assignments.generation) return choice.recording;
    PyThreadState* thread = PyThreadState_Get();
    auto id = static_cast<std::uint64_t>(PyThreadState_GetID(thread));
    PyObject* found = nullptr;
    auto entry = assignments.by_thread.find(id);
    if (entry != assignments.by_thread.end()) {
        found = first_live_recording(entry->second.get(), id);
    } else if (!is_saver_thread(thread)) {
        // A thread started after a recording of new threads began is that recording's (the
        // newest such), from its first event, as the threading hook gives it.
        for (auto it = assignments.live.rbegin(); it != assignments.live.rend(); ++it) {
            const ProfilerState& state = *profiler_state_of(it->get());
            if (!state.stopped && state.threading && id > state.threads_before) {
                found = it->get();
                break;
            }
        }
        if (found != nullptr) {
            try {
                assignments.by_thread.emplace(id, PyRef::borrow(found));
            } catch (...) {
                return found;  // not remembered: asked again at the next event
            }
        }
    }
    choice = {assignments.generation, found};
    return found;
}

}  // namespace vesk
