#include "profiler/callback.h"

#include <algorithm>
#include <array>
#include <functional>

#include "filters/frame_filters.h"
#include "plugins/matching.h"
#include "profiler/bookkeeping.h"
#include "profiler/exceptions.h"
#include "profiler/failure.h"
#include "profiler/frame_record.h"
#include "profiler/profiler_object.h"
#include "profiler/record_store.h"
#include "profiler/recordings.h"
#include "utils/clock.h"
#include "utils/code_cache.h"
#include "utils/convert.h"
#include "utils/errors.h"
#include "utils/interned.h"
#include "utils/names.h"
#include "utils/serialize.h"
#include "utils/working_dir.h"
#include "values/values.h"

namespace vesk {

namespace {

// A dict of the locals read from a frame's fast locals.
PyRef dict_of(const std::vector<LocalVariable>& locals) {
    PyRef dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(locals.size())));
    if (!dict) return {};
    for (const LocalVariable& variable : locals) {
        if (PyDict_SetItem(dict.get(), variable.name, variable.value.get()) < 0) return {};
    }
    return dict;
}

// The locals of a frame that keeps them in a mapping of its own (a module or class body, code
// run by exec), without "__builtins__", which module frames carry; the frame's own mapping is
// never changed. A mapping that is not a dict (a class body prepared by a metaclass) is copied
// into one.
PyRef mapping_without_builtins(PyFrameObject* frame) {
    PyRef locals = PyRef::steal(PyFrame_GetLocals(frame));
    if (!locals) return {};
    if (!PyDict_Check(locals.get())) {
        PyRef copy = PyRef::steal(PyDict_New());
        if (!copy || PyDict_Merge(copy.get(), locals.get(), 1) < 0) return {};
        locals = std::move(copy);
        if (PyDict_DelItem(locals.get(), interned.dunder_builtins) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
            PyErr_Clear();
        }
        return locals;
    }
    int has_builtins = PyDict_Contains(locals.get(), interned.dunder_builtins);
    if (has_builtins < 0) return {};
    if (has_builtins == 0) return locals;
    PyRef copy = PyRef::steal(PyDict_Copy(locals.get()));
    if (!copy || PyDict_DelItem(copy.get(), interned.dunder_builtins) < 0) return {};
    return copy;
}

}  // namespace

bool has_plugins_for(const ProfilerState& state, CodeCache* cache, std::string_view code_name) {
    if (state.plugin_code_names.empty()) return false;
    const std::uintptr_t tag = static_cast<std::uintptr_t>(state.serial) << 1;
    if (cache != nullptr && (cache->plugin_answer & ~std::uintptr_t{1}) == tag) {
        return (cache->plugin_answer & 1) != 0;
    }
    bool found = state.plugin_code_names.contains(code_name);
    if (cache != nullptr) cache->plugin_answer = tag | (found ? 1 : 0);
    return found;
}

namespace {

// The event being handled, for settling its failures.
struct EventContext {
    ProfilerState& state;
    PyFrameObject* frame;
    Event event;
    PyObject* filename;
    PyObject* code_name;

    // Settles a failure (the pending exception when `failure` is null): false when it is the
    // program's own interruption, now the current exception again, to be raised.
    bool settle(PyRef failure = {}) {
        switch (settle_failure(std::move(failure), frame, event_text(event), filename, code_name)) {
            case Settled::raise:
                return false;
            case Settled::dropped:
                ++state.dropped_events;
                return true;
            case Settled::reported:
                return true;
        }
        return true;
    }
};

// Runs the plugins registered for the code name; a failing plugin is settled and the next one
// runs. The table is read without a lock: it never changes, and plugin code may let other
// threads run, which read it too. False when a failure is to be raised.
bool run_plugins(EventContext& context, ThreadValues& values, CodeCache* cache, PyObject* arg,
                 std::string_view filename, std::string_view code_name, EventBatch& batch) {
    ProfilerState& state = context.state;
    if (!has_plugins_for(state, cache, code_name)) return true;
    auto found = state.plugins.find(code_name);
    if (found == state.plugins.end()) return true;
    if (values.plugin_frame_ids.size() < state.plugin_count) {
        values.plugin_frame_ids.resize(state.plugin_count);
    }

    std::function<std::optional<CallSite>(const Id&)> call_site = [&values](const Id& id) {
        return find_user_code_call_site(values, &id);
    };
    PluginEvent plugin_event{context.frame,
                             context.event == Event::call,
                             context.event == Event::call ? interned.call : interned.return_text,
                             arg,
                             filename,
                             state.lightweight_repr,
                             call_site};
    for (const Plugin& plugin : found->second) {
        auto record = run_plugin(plugin, plugin_event, values.plugin_frame_ids[plugin.index]);
        if (!record.ok()) {
            if (!context.settle()) return false;
        } else if (*record) {
            batch.plugin_records.push_back(std::move(**record));
        }
    }
    return true;
}

// The serialised arg and locals of an event, and what holds their bytes.
struct SerializedPair {
    std::string_view arg;
    std::string_view locals;
    PyRef arg_bytes;
    PyRef locals_bytes;
};

// Through vesk.serialize as it stands; its own native functions are not called but written
// with straight into the thread's buffer (no bytes objects, no dict of the locals in between).
// The locals are the frame's fast locals in `values.locals`, or `mapping` when it has its own.
// False with the error indicator set when serialising fails.
bool serialize(const ProfilerState& state, ThreadValues& values, PyObject* arg, PyObject* mapping,
               SerializedPair& out) {
    PyRef dump = serializer(state.lightweight_repr);
    if (!dump) return false;
    if (std::optional<ValueForm> form = native_form_of(dump.get())) {
        const ValueStyle style{*form, state.call_repr, state.value_scale};
        std::string& buffer = values.serialized;
        buffer.clear();
        std::size_t arg_size = 0;
        if (!write_record_values(arg, values.locals, mapping, style, buffer, arg_size)) {
            return false;
        }
        out.arg = std::string_view(buffer).substr(0, arg_size);
        out.locals = std::string_view(buffer).substr(arg_size);
        return true;
    }
    PyRef locals = mapping != nullptr ? PyRef::borrow(mapping) : dict_of(values.locals);
    if (!locals) return false;
    out.arg_bytes = dump_with(dump.get(), arg);
    if (!out.arg_bytes) return false;
    out.locals_bytes = dump_with(dump.get(), locals.get());
    if (!out.locals_bytes) return false;
    out.arg = bytes_view(out.arg_bytes.get());
    out.locals = bytes_view(out.locals_bytes.get());
    return true;
}

// A generator's (or coroutine's) frame records, before the return of a stretch that was resumed
// or that ends suspended, a record saying so (see docs/stored-layout.md). Written on the stack:
// one comes with nearly every stretch of every generator.
bool keep_generator_record(ProfilerState& state, ThreadValues& values, const Id& frame_id,
                           double timestamp, const CallSite* call_site, bool resumed,
                           bool yielded) {
    auto identity = thread_identity(values);
    if (!identity.ok()) return false;
    auto write = [&](auto& out) {
        write_record_head(out, 2, frame_id.view(), timestamp, **identity, call_site, "generator");
        write_str(out, "resumed");
        write_bool(out, resumed);
        write_str(out, "yielded");
        write_bool(out, yielded);
    };
    SizeCounter size;
    write(size);
    std::array<char, 256> room;
    if (size.size() <= room.size()) {
        SpanStream out(room.data(), size.size());
        write(out);
        return deliver_record(state, values, std::string_view(room.data(), size.size()));
    }
    MsgpackBuffer out(size.size());
    write(out);
    return deliver_record(state, values, out.bytes());
}

// At the return of a generator frame's stretch: its record when the stretch was resumed (its pair
// on the stack says so) or ends suspended.
bool keep_generator_facts(ProfilerState& state, ThreadValues& values, PyFrameObject* frame,
                          PyCodeObject* code, const Id& frame_id, double timestamp,
                          const std::optional<CallSite>& call_site, bool left) {
    const auto& stack = values.user_code_stack;
    auto pair = std::find_if(stack.rbegin(), stack.rend(), [frame](const UserCodeFrame& pair) {
        return pair.frame.get() == reinterpret_cast<PyObject*>(frame);
    });
    bool resumed = pair != stack.rend() && pair->resumed;
    bool yielded = false;
    if (!left) {
        auto suspended = is_suspended(frame, code);
        if (!suspended.ok()) return false;
        yielded = *suspended;
    }
    if (!resumed && !yielded) return true;
    return keep_generator_record(state, values, frame_id, timestamp,
                                 call_site ? &*call_site : nullptr, resumed, yielded);
}

// The file name relative to the working directory, remembered on the code for each reading of
// the directory. A directory that cannot be read leaves it absolute.
std::string_view record_path(CodeCache* cache, std::string_view filename) {
    std::string_view directory = current_working_directory();
    const bool remembered = cache != nullptr && cache->names_read;  // filename is the code's own
    if (remembered && cache->relative_generation == working_directory_generation()) {
        return cache->relative_path;
    }
    std::string_view path = relative_to(filename, directory);
    if (remembered) {
        // A view into the code's own file name, which lives as long as the cache.
        cache->relative_path = path;
        cache->relative_generation = working_directory_generation();
    }
    return path;
}

// Everything after the plugins; false with the error indicator set when the event fails. `left`:
// an exception leaves the frame.
bool record_frame(ProfilerState& state, ThreadValues& values, PyFrameObject* frame,
                  PyCodeObject* code, CodeCache* cache, Event event, PyObject* arg, bool left,
                  std::string_view filename, std::string_view code_name, EventBatch& batch) {
    FrameFilters filters{state.include_frames, state.ignore_frames, state.serial};
    if (!is_frame_of_interest(filters, frame, cache, filename)) {
        return deliver_records(state, values, event, batch);
    }
    if (state.trace_capped && batch.plugin_records.empty()) {
        // Past the trace's limit nothing of this event is kept until a new trace starts: only the
        // thread's stack of frames is kept up, for the calls and returns that come after that.
        std::optional<Id> frame_id = frame_id_for_event(
            values, event, frame, event == Event::call ? unix_millis_from(read_wall_clock()) : 0);
        update_user_code_stack(values, event, frame, frame_id ? &*frame_id : nullptr, std::nullopt);
        return true;
    }
    auto identity = thread_identity(values);
    if (!identity.ok()) return false;
    // One reading for the record's time and its frame id.
    const ClockReading now = read_wall_clock();

    // A frame may stand at an instruction of no line (a generator's last, artificial one, after an
    // `if` with no `else`): its line is unknown, which the record's path says as line 0.
    const int line = std::max(frame_line(frame, cache), 0);
    // Taken now: the directory's text may change once the serialiser lets other threads run.
    std::string_view path = record_path(cache, filename);

    auto qualname = cached_qualname(frame, cache);
    if (!qualname.ok()) return false;
    // While recording pauses no frame record is kept (unless a plugin's record of this event opens
    // a new trace): its values are not read at all.
    const bool kept = !state.saving_stalled || !batch.plugin_records.empty();
    // A function's locals are read from its fast locals (asking the frame would rebuild its
    // dictionary at every event); other frames keep a mapping of their own.
    PyRef mapping;
    if (kept && !read_fast_locals(frame, values.locals)) {
        mapping = mapping_without_builtins(frame);
        if (!mapping) return false;
    }

    // A return whose call is on the stack has its id and call site there.
    std::optional<Id> frame_id;
    std::optional<CallSite> call_site;
    const UserCodeFrame* own = event == Event::ret ? own_pair(values, frame) : nullptr;
    if (own != nullptr) {
        frame_id = own->frame_id;
        call_site = own->call_site;
    } else {
        frame_id = frame_id_for_event(values, event, frame, unix_millis_from(now));
        call_site = find_user_code_call_site(values, frame_id ? &*frame_id : nullptr);
    }
    const Id* id = frame_id ? &*frame_id : nullptr;

    SerializedPair serialized;
    bool serialized_ok = true;
    if (kept) {
        serialized_ok = serialize(state, values, arg, mapping.get(), serialized);
    } else {
        serialized.arg = serialized.locals = std::string_view("\xc0", 1);  // nil, never stored
    }
    // Let go of the values now: holding them until the thread's next event would delay their
    // finalisers.
    values.locals.clear();
    if (!serialized_ok) {
        // The frame is not pushed: its return must still find the id of this call.
        if (event == Event::call) remember_unrecorded_call(values, frame, *frame_id);
        return false;
    }
    bool resumed = false;
    if (is_generator_code(code)) {
        if (event == Event::call) {
            auto resumes = resumes_suspended(frame, code);
            if (!resumes.ok()) {
                remember_unrecorded_call(values, frame, *frame_id);
                return false;
            }
            resumed = *resumes;
        } else if (id != nullptr && !keep_generator_facts(state, values, frame, code, *id,
                                                          timestamp_from(now), call_site, left)) {
            return false;
        }
    }

    update_user_code_stack(values, event, frame, id, call_site);
    if (resumed && id != nullptr) values.user_code_stack.back().resumed = true;

    FrameRecordFields fields;
    fields.filename = path;
    fields.line = static_cast<std::uint64_t>(line);
    fields.co_name = code_name;
    fields.qualname = QualName{qualname->module, qualname->qualname};
    fields.event = event_text(event);
    fields.frame_id = id;
    fields.arg = serialized.arg;
    fields.locals = serialized.locals;
    fields.thread_name = (*identity)->name;
    fields.thread_native_id = (*identity)->native_id;
    fields.timestamp = timestamp_from(now);
    fields.call_site = call_site ? &*call_site : nullptr;
    batch.frame = &fields;
    return deliver_records(state, values, event, batch);
}

// One event for one recording: 0, or -1 with the program's own interruption set. `arg` is null
// for a return that an exception causes, as a profile function sees it before 3.12.
int handle_event(ProfilerState& state, PyFrameObject* frame, Event event, PyObject* arg,
                 CodeCache* known_cache) {
    const bool left_unseen = arg == nullptr && event == Event::ret;
    if (arg == nullptr) arg = Py_None;
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    EventContext context{state, frame, event,
                         reinterpret_cast<PyCodeObject*>(code.get())->co_filename,
                         reinterpret_cast<PyCodeObject*>(code.get())->co_name};
    ThreadValues* values = nullptr;
    PyRef failure;
    try {
        auto current = state.per_thread.current();
        if (!current.ok()) return context.settle() ? 0 : -1;
        if (*current == nullptr) return 0;  // the thread is being torn down
        values = *current;
        BusyValues busy(values, state.stopped);
        bool left = left_unseen;
        if (left_unseen || !values->passages.empty()) {
            auto leaves = exceptions_at_event(state, *values, frame, event, left_unseen);
            if (!leaves.ok()) {
                if (!context.settle()) return -1;
            } else {
                left = left || *leaves;
            }
        }

        CodeCache* cache = known_cache != nullptr ? known_cache : code_cache(code.get());
        auto filename =
            cache != nullptr && cache->names_read ? cache->filename : text_view(context.filename);
        auto code_name = !filename.ok()                          ? failed
                         : cache != nullptr && cache->names_read ? cache->code_name
                                                                 : text_view(context.code_name);
        if (!code_name.ok()) return context.settle() ? 0 : -1;
        if (cache != nullptr && !cache->names_read) {
            // The code object holds both strs, immutable, for as long as it lives.
            cache->filename = *filename;
            cache->code_name = *code_name;
            cache->names_read = true;
        }
        EventBatch batch;
        if (!run_plugins(context, *values, cache, arg, *filename, *code_name, batch)) {
            return -1;
        }
        if (record_frame(state, *values, frame, reinterpret_cast<PyCodeObject*>(code.get()), cache,
                         event, arg, left, *filename, *code_name, batch) &&
            save_part_if_due(state, *values)) {
            // Nothing may leave the error indicator set behind a successful event: the
            // interpreter would raise it later, somewhere in the program.
            if (!PyErr_Occurred()) return 0;
        }
        failure = take_pending_exception();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        failure = failure_of_current_exception();
    }
    // Whatever became of its record, a return leaves the stack of recorded calls.
    if (values != nullptr && event == Event::ret) discard_returning_frame(*values, frame);
    return context.settle(std::move(failure)) ? 0 : -1;
}

// Every live recording on this thread's chain gets the event, innermost first.
int record_event(PyObject* profiler, PyFrameObject* frame, Event event, PyObject* arg,
                 CodeCache* cache) {
    bool handed_on = for_each_live_recording(profiler, [&](ProfilerState& state) {
        return handle_event(state, frame, event, arg, cache) == 0;
    });
    return handed_on ? 0 : -1;
}

}  // namespace

int deliver_event(PyObject* profiler, PyFrameObject* frame, Event event, PyObject* arg,
                  bool monitored, CodeCache* cache) {
    ProfilerState* state = profiler_state_of(profiler);
    if (state == nullptr) {
        if (profiler == nullptr) {
            raise_panic("the profile function has no profiler");
        } else {
            set_type_mismatch(profiler, "VeskProfiler");
        }
        return -1;
    }
    if (frame == nullptr) {
        raise_panic("Python gives us a PyFrame");
        return -1;
    }
    // Code run while recording may replace this thread's profile function and with it the
    // interpreter's reference to the profiler: hold one of our own until the event is done.
    PyRef hold = PyRef::borrow(profiler);
    // Signals that arrived since the program last looked are handled first, where the program
    // would have handled them: once our code runs the program's (a plugin, a repr), a handler that
    // raises would otherwise raise inside it.
    if (PyErr_CheckSignals() < 0) return -1;
    try {
        if (state->stopped) {
            // Stopped while this thread was away: it passes to the recording outside, or none.
            // A recording through sys.monitoring has no profile function to change.
            if (monitored) return 0;
            install_live_recording(profiler);
        }
        return record_event(profiler, frame, event, arg, cache);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // Settling a failure failed in turn: the event is lost, and nothing may leave a C
        // callback. Only the program's own interruption is handed on.
        ++state->dropped_events;
        return keep_only_interruption() ? -1 : 0;
    }
}

// Not noexcept: a forced unwind (the interpreter ending a daemon thread at exit) must pass.
int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
    return deliver_event(profiler, frame, what == PyTrace_CALL ? Event::call : Event::ret, arg,
                         false);
}

int noop_profile_callback(PyObject*, PyFrameObject*, int, PyObject*) noexcept {
    return 0;
}

}  // namespace vesk
