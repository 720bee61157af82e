#include "profiler/callback.h"

#include "filters/frame_filters.h"
#include "plugins/matching.h"
#include "profiler/bookkeeping.h"
#include "profiler/failure.h"
#include "profiler/frame_record.h"
#include "profiler/profiler_object.h"
#include "profiler/record_store.h"
#include "utils/clock.h"
#include "utils/code_cache.h"
#include "utils/convert.h"
#include "utils/errors.h"
#include "utils/interned.h"
#include "utils/names.h"
#include "utils/serialize.h"
#include "utils/working_dir.h"

namespace vesk {

namespace {

// The frame's locals without "__builtins__", which module frames carry; the frame's own
// mapping is never changed. A mapping that is not a dict (a class body prepared by a metaclass)
// is copied into one.
PyRef locals_without_builtins(PyFrameObject* frame) {
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

// Whether the plugin table has plugins for the code's name, remembered on the code object.
bool has_plugins_for(const ProfilerState& state, PyObject* code, std::string_view code_name) {
    if (state.plugin_code_names.empty()) return false;
    const std::uintptr_t tag = static_cast<std::uintptr_t>(state.serial) << 1;
    CodeCache* cache = code_cache(code);
    if (cache != nullptr && (cache->plugin_answer & ~std::uintptr_t{1}) == tag) {
        return (cache->plugin_answer & 1) != 0;
    }
    bool found = state.plugin_code_names.contains(code_name);
    if (cache != nullptr) cache->plugin_answer = tag | (found ? 1 : 0);
    return found;
}

// Runs the plugins registered for the code name; a failing plugin is reported and the next
// one runs. The table lock is held throughout: plugin code may hand the interpreter lock to
// another thread, which then waits for the table without holding the interpreter lock.
void run_plugins(ProfilerState& state, ThreadValues& values, PyFrameObject* frame, PyObject* code,
                 Event event, PyObject* arg, std::string_view filename, std::string_view code_name,
                 PyObject* filename_object, PyObject* code_name_object, EventBatch& batch) {
    if (!has_plugins_for(state, code, code_name)) return;
    auto table = state.plugins.lock();
    auto found = table->find(code_name);
    if (found == table->end()) return;

    std::function<std::optional<CallSite>(const Id&)> call_site = [&values](const Id& id) {
        return find_user_code_call_site(values, &id);
    };
    PluginEvent plugin_event{frame,
                             event == Event::call,
                             event == Event::call ? interned.call : interned.return_text,
                             arg,
                             filename,
                             state.lightweight_repr,
                             call_site};
    for (Plugin& plugin : found->second) {
        auto record = run_plugin(plugin, plugin_event);
        if (!record.ok()) {
            report_unexpected_error(take_pending_exception(), frame, event, filename_object,
                                    code_name_object);
        } else if (*record) {
            batch.plugin_records.push_back(std::move(**record));
        }
    }
}

// Everything after the plugins; false with the error indicator set when the event fails.
bool record_frame(ProfilerState& state, ThreadValues& values, PyFrameObject* frame, PyObject* code,
                  Event event, PyObject* arg, std::string_view filename, std::string_view code_name,
                  EventBatch& batch) {
    FrameFilters filters{state.include_frames, state.ignore_frames, state.serial};
    if (!is_frame_of_interest(filters, frame, code, filename)) {
        return deliver_records(state, values, event, batch);
    }
    auto identity = thread_identity(values);
    if (!identity.ok()) return false;

    int line = frame_line(frame, code);
    if (line < 0) {
        PyErr_SetString(PyExc_OverflowError, "the frame has no line number");
        return false;
    }
    auto directory = current_working_directory();
    if (!directory.ok()) return false;
    // Taken now: the directory's text may change once the serialiser lets other threads run.
    std::string_view path = relative_to(filename, *directory);

    auto qualname = get_qualname(frame);
    if (!qualname.ok()) return false;
    PyRef locals = locals_without_builtins(frame);
    if (!locals) return false;

    std::optional<Id> frame_id = frame_id_for_event(values, event, frame);
    const Id* id = frame_id ? &*frame_id : nullptr;
    std::optional<CallSite> call_site = find_user_code_call_site(values, id);

    PyRef dump = serializer(state.lightweight_repr);
    PyRef arg_bytes = dump ? dump_with(dump.get(), arg) : PyRef();
    PyRef locals_bytes = arg_bytes ? dump_with(dump.get(), locals.get()) : PyRef();
    if (!locals_bytes) {
        // The frame is not pushed: its return must still find the id of this call.
        if (event == Event::call) remember_unrecorded_call(values, frame, *frame_id);
        return false;
    }
    update_user_code_stack(values, event, frame, id);

    FrameRecordFields fields;
    fields.filename = path;
    fields.line = static_cast<std::uint64_t>(line);
    fields.co_name = code_name;
    fields.qualname = QualName{qualname->module, qualname->qualname};
    fields.event = event_text(event);
    fields.frame_id = id;
    fields.arg = bytes_view(arg_bytes.get());
    fields.locals = bytes_view(locals_bytes.get());
    fields.thread_name = (*identity)->name;
    fields.thread_native_id = (*identity)->native_id;
    fields.timestamp = current_timestamp();
    fields.call_site = call_site ? &*call_site : nullptr;
    batch.frame_record = write_frame_record(fields);
    batch.has_frame_record = true;
    return deliver_records(state, values, event, batch);
}

void handle_event(ProfilerState& state, PyFrameObject* frame, Event event, PyObject* arg) {
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    PyObject* filename_object = reinterpret_cast<PyCodeObject*>(code.get())->co_filename;
    PyObject* code_name_object = reinterpret_cast<PyCodeObject*>(code.get())->co_name;
    try {
        auto values = state.per_thread.current();
        if (!values.ok()) {
            report_unexpected_error(take_pending_exception(), frame, event, filename_object,
                                    code_name_object);
            return;
        }
        if (*values == nullptr) return;  // the thread is being torn down

        auto filename = text_view(filename_object);
        auto code_name = filename.ok() ? text_view(code_name_object) : failed;
        if (!code_name.ok()) {
            report_unexpected_error(take_pending_exception(), frame, event, filename_object,
                                    code_name_object);
            return;
        }
        EventBatch batch;
        run_plugins(state, **values, frame, code.get(), event, arg, *filename, *code_name,
                    filename_object, code_name_object, batch);
        if (!record_frame(state, **values, frame, code.get(), event, arg, *filename, *code_name,
                          batch)) {
            report_unexpected_error(take_pending_exception(), frame, event, filename_object,
                                    code_name_object);
        }
    } catch (const InternalFault& fault) {
        report_unexpected_error(failure_from_fault(fault.what()), frame, event, filename_object,
                                code_name_object);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        report_unexpected_error(take_pending_exception(), frame, event, filename_object,
                                code_name_object);
    } catch (const std::exception& error) {
        report_unexpected_error(failure_from_fault(error.what()), frame, event, filename_object,
                                code_name_object);
    }
    // Nothing may leave the error indicator set behind a successful return: the interpreter
    // would raise it later, somewhere in the program.
    if (PyErr_Occurred()) {
        report_unexpected_error(take_pending_exception(), frame, event, filename_object,
                                code_name_object);
    }
}

}  // namespace

int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
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
    handle_event(*state, frame, what == PyTrace_CALL ? Event::call : Event::ret,
                 arg != nullptr ? arg : Py_None);
    return 0;
}

int noop_profile_callback(PyObject*, PyFrameObject*, int, PyObject*) {
    return 0;
}

}  // namespace vesk
