#include "profiler/exceptions.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <memory>
#include <utility>

#include "companion/companion.h"
#include "profiler/failure.h"
#include "profiler/monitored.h"
#include "profiler/record_store.h"
#include "profiler/recordings.h"
#include "utils/clock.h"
#include "utils/convert.h"
#include "utils/errors.h"
#include "utils/finalize.h"
#include "utils/frames.h"
#include "utils/interned.h"
#include "utils/serialize.h"
#include "values/kinds.h"
#include "values/text.h"
#include "values/type_names.h"
#include "values/values.h"

namespace vesk {

namespace {

// ---- The passages and their records.

constexpr std::string_view kExceptionType = "exception";

bool write_passage_record(ProfilerState& state, ThreadValues& values, const Id& frame_id,
                          const ExceptionDescription* description, ExceptionOrigin origin,
                          bool caught) {
    auto identity = thread_identity(values);
    if (!identity.ok()) return false;
    std::optional<CallSite> site = find_user_code_call_site(values, &frame_id);
    MsgpackBuffer out(192);
    write_record_head(out, 5, frame_id.view(), current_timestamp(), **identity,
                      site ? &*site : nullptr, kExceptionType);
    write_str(out, "exception");
    if (description != nullptr) {
        write_str(out, description->type_name);
    } else {
        write_nil(out);
    }
    write_str(out, "message");
    if (description != nullptr) {
        out.write(description->message.data(), description->message.size());
    } else {
        write_nil(out);
    }
    write_str(out, "origin");
    if (origin == ExceptionOrigin::unknown) {
        write_nil(out);
    } else {
        write_str(out, origin == ExceptionOrigin::raised ? "raised" : "callee");
    }
    write_str(out, "caught");
    write_bool(out, caught);
    write_str(out, "value");
    if (description != nullptr) {
        out.write(description->value.data(), description->value.size());
    } else {
        write_nil(out);
    }
    return deliver_record(state, values, out.bytes());
}

bool end_passage(ProfilerState& state, ThreadValues& values, const ExceptionPassage& passage,
                 bool caught) {
    return write_passage_record(state, values, passage.frame_id, passage.description.get(),
                                passage.origin, caught);
}

bool is_plain_scalar(PyObject* value) {
    return value == nullptr || value == Py_None || PyBool_Check(value) ||
           PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyUnicode_CheckExact(value) ||
           PyBytes_CheckExact(value);
}

// Whether str() of the exception runs no code of the program: its __str__ is the interpreter's
// own (a builtin exception type's, made in C), over what that reads (its args, and the fields
// that OSError, SyntaxError and ImportError show) holding only builtin scalars.
bool str_is_the_interpreters(PyObject* exception) {
    PyTypeObject* type = Py_TYPE(exception);
    PyObject* str = type_lookup(type, interned.dunder_str);
    if (str == nullptr || !Py_IS_TYPE(str, &PyWrapperDescr_Type)) return false;
    if (PyType_HasFeature(PyDescr_TYPE(str), Py_TPFLAGS_HEAPTYPE)) return false;
    auto* base = reinterpret_cast<PyBaseExceptionObject*>(exception);
    if (base->args == nullptr || !PyTuple_Check(base->args)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(base->args); ++i) {
        if (!is_plain_scalar(PyTuple_GET_ITEM(base->args, i))) return false;
    }
    if (PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
        auto* os_error = reinterpret_cast<PyOSErrorObject*>(exception);
        return is_plain_scalar(os_error->filename) && is_plain_scalar(os_error->filename2) &&
               is_plain_scalar(os_error->strerror) && is_plain_scalar(os_error->myerrno);
    }
    if (PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_SyntaxError))) {
        auto* syntax_error = reinterpret_cast<PySyntaxErrorObject*>(exception);
        return is_plain_scalar(syntax_error->msg) && is_plain_scalar(syntax_error->filename) &&
               is_plain_scalar(syntax_error->lineno);
    }
    if (PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_ImportError))) {
        return is_plain_scalar(reinterpret_cast<PyImportErrorObject*>(exception)->msg);
    }
    return true;
}

// "<module>.<qualname>" of the exception's type, its str() through the serialiser's lightweight
// form where that runs no code of the program (nil otherwise, or when it raised), and the
// exception itself as a value (its type, args and fields), in the lightweight form.
Fallible<std::shared_ptr<const ExceptionDescription>> describe(PyObject* exception) {
    auto description = std::make_shared<ExceptionDescription>();
    auto* type = Py_TYPE(exception);
    Text name;
    if (!add_type_name(type, name)) return failed;
    std::string packed;
    put_text(packed, name.pieces, -1);
    // The packed str's header is dropped: the record writes the name as a str of its own.
    auto marker = static_cast<unsigned char>(packed[0]);
    std::size_t header = marker == 0xd9 ? 2 : marker == 0xda ? 3 : marker == 0xdb ? 5 : 1;
    description->type_name.assign(packed, header, std::string::npos);

    static constexpr char kNil = '\xc0';
    const ValueStyle lightweight{ValueForm::lightweight, false, 1};
    if (!str_is_the_interpreters(exception)) {
        description->message.assign(1, kNil);
    } else if (PyRef message = PyRef::steal(PyObject_Str(exception))) {
        if (!write_value(message.get(), lightweight, description->message)) return failed;
    } else {
        if (!discard_ordinary_error()) return failed;
        description->message.assign(1, kNil);
    }
    if (!write_value(exception, lightweight, description->value)) return failed;
    return std::shared_ptr<const ExceptionDescription>(std::move(description));
}

// Whether `frame` is the innermost recorded frame: an event in any other frame concerns no
// recorded frame (an innermost frame that is recorded is always the last on the stack).
bool is_innermost_recorded(const ThreadValues& values, const PyObject* frame) {
    return !values.user_code_stack.empty() && values.user_code_stack.back().frame.get() == frame;
}

ExceptionPassage* passage_of(ThreadValues& values, const PyObject* frame) {
    if (values.passages.empty() || values.passages.back().frame.get() != frame) return nullptr;
    return &values.passages.back();
}

// The exception's traceback entries below the newest one, by identity.
const void* traceback_below(PyObject* exception) {
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    if (!traceback || !PyTraceBack_Check(traceback.get())) return nullptr;
    return reinterpret_cast<PyTracebackObject*>(traceback.get())->tb_next;
}

// Whether the exception is the one the thread is handling now (compared by identity).
bool is_handled(const PyObject* exception) {
    PyRef handling = PyRef::steal(PyErr_GetHandledException());
    return handling.get() == exception;
}

// The exception reaches the frame (RAISE), or is raised again there (RERAISE: a bare raise, or
// the end of a handler that lets it through).
bool reaches(ProfilerState& state, ThreadValues& values, PyObject* frame, PyObject* exception,
             bool again) {
    if (!is_innermost_recorded(values, frame)) return true;
    if (!again &&
        PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_StopIteration))) {
        auto* frame_object = reinterpret_cast<PyFrameObject*>(frame);
        PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame_object)));
        auto* code_object = reinterpret_cast<PyCodeObject*>(code.get());
        if (is_generator_code(code_object)) {
            // An awaited future or iterator that ends: its value is the await's result.
            auto delegating = is_at_delegation(frame_object, code_object);
            if (!delegating.ok()) return false;
            if (*delegating) return true;
        }
    }
    if (ExceptionPassage* passage = passage_of(values, frame)) {
        // The passage's exception is alive while it propagates here and while the frame handles
        // it: past its handler, a new exception may take its address, and reaches the frame
        // first (so a re-raise always finds the passage of the exception it re-raises).
        if (passage->exception == exception &&
            (again || !passage->handled || is_handled(exception))) {
            // Raised again where it was caught: a bare raise, `raise error`, or a handler that
            // does not catch it. It goes on.
            passage->handled = false;
            return true;
        }
        // Another exception takes the place of the one the frame was handling, which the frame
        // caught (it becomes the new one's context).
        ExceptionPassage ended = std::move(values.passages.back());
        values.passages.pop_back();
        if (!end_passage(state, values, ended, true)) return false;
    }

    ExceptionPassage passage;
    passage.frame = PyRef::borrow(frame);
    passage.frame_id = values.user_code_stack.back().frame_id;
    passage.exception = exception;
    // The frame it left last, a callee of this one, added its traceback entry below this frame's.
    const UnwoundException& unwound = values.unwound;
    bool from_callee = !again && unwound.exception == exception && unwound.traceback != nullptr &&
                       traceback_below(exception) == unwound.traceback;
    // Raised again without having reached the frame while it was recorded: where it came from is
    // not known.
    passage.origin = again         ? ExceptionOrigin::unknown
                     : from_callee ? ExceptionOrigin::callee
                                   : ExceptionOrigin::raised;
    if (from_callee && unwound.described == exception) {
        passage.description = unwound.description;
        values.passages.push_back(std::move(passage));
        return true;
    }
    auto description = describe(exception);
    if (description.ok()) passage.description = std::move(*description);
    // The passage is followed even without its description: the frame's exit depends on it.
    values.passages.push_back(std::move(passage));
    return description.ok();
}

void handled(ThreadValues& values, PyObject* frame, PyObject* exception) {
    ExceptionPassage* passage = passage_of(values, frame);
    if (passage != nullptr && passage->exception == exception) passage->handled = true;
}

// The exception leaves a frame (recorded or not): remembered for the frame it reaches next.
void leaves(ThreadValues& values, PyObject* exception) {
    UnwoundException& unwound = values.unwound;
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    unwound.exception = exception;
    unwound.traceback = traceback.get();
    if (unwound.described != exception) {
        unwound.described = nullptr;
        unwound.description.reset();
    }
}

// At an event in the frame of the innermost passage, once its handler is over (the exception is
// no longer the one being handled): the frame caught it.
bool settle_finished_handler(ProfilerState& state, ThreadValues& values) {
    const ExceptionPassage& last = values.passages.back();
    if (!last.handled || !is_innermost_recorded(values, last.frame.get())) return true;
    if (is_handled(last.exception)) return true;
    ExceptionPassage ended = std::move(values.passages.back());
    values.passages.pop_back();
    return end_passage(state, values, ended, true);
}

// ---- The interpreter's reports.

enum class Report { raise, reraise, handled, unwind };

std::string_view report_text(Report report) {
    switch (report) {
        case Report::raise:
            return "raise";
        case Report::reraise:
            return "reraise";
        case Report::handled:
            return "exception handled";
        case Report::unwind:
            return "unwind";
    }
    return "exception";
}

bool report_to(ProfilerState& state, Report report, PyFrameObject* frame, PyObject* exception) {
    auto current = state.per_thread.current();
    if (!current.ok()) return false;
    if (*current == nullptr) return true;  // the thread is being torn down
    ThreadValues& values = **current;
    BusyValues busy(&values, state.stopped);
    auto* frame_object = reinterpret_cast<PyObject*>(frame);
    switch (report) {
        case Report::raise:
            return reaches(state, values, frame_object, exception, false);
        case Report::reraise:
            return reaches(state, values, frame_object, exception, true);
        case Report::handled:
            handled(values, frame_object, exception);
            return true;
        case Report::unwind:
            leaves(values, exception);
            return true;
    }
    return true;
}

// Settles a failure of a report as the profile callback settles those of its events; null (with
// the program's interruption set) when the interruption is to be raised.
PyObject* settle_report(PyRef failure, Report report, PyFrameObject* frame) {
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    auto* code_object = reinterpret_cast<PyCodeObject*>(code.get());
    Settled settled = settle_failure(std::move(failure), frame, report_text(report),
                                     code_object->co_filename, code_object->co_name);
    if (settled == Settled::raise) return nullptr;
    Py_RETURN_NONE;
}

// The callback of one event (code, instruction offset, exception): only threads that a recording
// receives through our profile function are followed. Never raises into the program but for its
// own interruption.
PyObject* on_report(Report report, PyObject* const* args, Py_ssize_t nargs) {
    // The thread's recordings through its profile function, and those through the tool.
    PyObject* profiled = recording_of_this_thread();
    PyObject* monitored = monitored_recording_of_this_thread();
    if ((profiled == nullptr && monitored == nullptr) || nargs < 3) Py_RETURN_NONE;
    PyFrameObject* frame = PyEval_GetFrame();  // borrowed; made already, for the traceback
    if (frame == nullptr) Py_RETURN_NONE;
    PyObject* exception = args[2];
    PyRef hold_profiled = PyRef::borrow(profiled);
    PyRef hold_monitored = PyRef::borrow(monitored);
    PyRef failure;
    try {
        auto report_each = [&](PyObject* chain) {
            return chain == nullptr || for_each_live_recording(chain, [&](ProfilerState& state) {
                       return report_to(state, report, frame, exception);
                   });
        };
        if (report_each(profiled) && report_each(monitored)) Py_RETURN_NONE;
        failure = take_pending_exception();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        try {
            failure = failure_of_current_exception();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            if (keep_only_interruption()) return nullptr;
            Py_RETURN_NONE;
        }
    }
    return settle_report(std::move(failure), report, frame);
}

PyObject* on_raise(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return on_report(Report::raise, args, nargs);
}
PyObject* on_reraise(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return on_report(Report::reraise, args, nargs);
}
PyObject* on_handled(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return on_report(Report::handled, args, nargs);
}
PyObject* on_unwind(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    PyRef reported = PyRef::steal(on_report(Report::unwind, args, nargs));
    if (!reported || !flow_monitored()) return reported.release();
    // Through the tool, the frame's return too: the exception leaves it.
    return flow_unwind(args, nargs);
}

PyMethodDef callbacks[] = {
    {"vesk_raise", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_raise)),
     METH_FASTCALL, nullptr},
    {"vesk_reraise", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_reraise)),
     METH_FASTCALL, nullptr},
    {"vesk_exception_handled",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_handled)), METH_FASTCALL,
     nullptr},
    {"vesk_unwind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_unwind)),
     METH_FASTCALL, nullptr},
};

PyObject** event_names[] = {&interned.RAISE, &interned.RERAISE, &interned.EXCEPTION_HANDLED,
                            &interned.PY_UNWIND};

// ---- The tool id, held while a recording is live.
//
// The program may ask for the very id we hold (sys.monitoring.use_tool_id): while we hold one, that
// function is wrapped so that we move to another free id first, or do without exception facts when
// none is free, and the program gets the id it asked for.

struct Monitoring {
    int tool = -1;               // the tool id held, -1 when none
    std::size_t users = 0;       // live recordings
    bool told = false;           // the log said that exceptions are not followed
    bool flow = false;           // calls and returns come through the tool too
    PyRef original_use_tool_id;  // while our wrapper stands in for it
    PyRef disable;               // sys.monitoring.DISABLE, while an id is held
};
Monitoring monitoring;

// Conventions name ids 0, 1, 2 and 5 (a debugger, coverage, a profiler, an optimizer): the others
// are asked first.
constexpr int kToolIds[] = {4, 3, 5, 2, 1, 0};

// object.method(*arguments), for the few calls into sys.monitoring.
PyRef call(PyObject* object, PyObject* method, std::initializer_list<PyObject*> arguments) {
    std::array<PyObject*, 4> all{object};
    std::copy(arguments.begin(), arguments.end(), all.begin() + 1);
    return PyRef::steal(
        PyObject_VectorcallMethod(method, all.data(), 1 + arguments.size(), nullptr));
}

// Whether the tool id is free; false with the error indicator set on failure too.
Fallible<bool> is_free(PyObject* sys_monitoring, int id) {
    PyRef tool_id = PyRef::steal(PyLong_FromLong(id));
    if (!tool_id) return failed;
    PyRef holder = call(sys_monitoring, interned.get_tool, {tool_id.get()});
    if (!holder) return failed;
    return holder.get() == Py_None;
}

// The bit of each named event, or'd together.
Fallible<std::uint64_t> event_bits(PyObject* events, std::initializer_list<PyObject**> names) {
    std::uint64_t mask = 0;
    for (PyObject** name : names) {
        PyRef event = PyRef::steal(PyObject_GetAttr(events, *name));
        if (!event) return failed;
        auto bit = to_u64(event.get());
        if (!bit.ok()) return failed;
        mask |= *bit;
    }
    return mask;
}

// Turns on the events of the tool id held: the exception events, and calls and returns while
// a recording takes them through the tool. False with the error indicator set on failure.
bool set_tool_events(PyObject* sys_monitoring) {
    PyRef events = PyRef::steal(PyObject_GetAttr(sys_monitoring, interned.events));
    if (!events) return false;
    std::uint64_t mask = 0;
    for (PyObject** name : event_names) {
        auto bit = event_bits(events.get(), {name});
        if (!bit.ok()) return false;
        mask |= *bit;
    }
    if (monitoring.flow) {
        for (const FlowCallback& flow : flow_callbacks()) {
            auto bit = event_bits(events.get(), {flow.event_name});
            if (!bit.ok()) return false;
            mask |= *bit;
        }
    }
    PyRef tool_id = PyRef::steal(PyLong_FromLong(monitoring.tool));
    PyRef mask_object = PyRef::steal(PyLong_FromUnsignedLongLong(mask));
    return tool_id && mask_object &&
           call(sys_monitoring, interned.set_events, {tool_id.get(), mask_object.get()});
}

// Takes the free tool id and registers the callbacks and events on it. False with the error
// indicator set on failure.
bool take_tool(PyObject* sys_monitoring, int id) {
    PyRef tool_id = PyRef::steal(PyLong_FromLong(id));
    PyRef vesk_name = PyRef::steal(PyUnicode_FromString("vesk"));
    if (!tool_id || !vesk_name ||
        !call(sys_monitoring, interned.use_tool_id, {tool_id.get(), vesk_name.get()})) {
        return false;
    }
    monitoring.tool = id;
    monitoring.disable = PyRef::steal(PyObject_GetAttr(sys_monitoring, interned.DISABLE));
    if (!monitoring.disable) return false;
    PyRef events = PyRef::steal(PyObject_GetAttr(sys_monitoring, interned.events));
    if (!events) return false;
    for (std::size_t i = 0; i < std::size(callbacks); ++i) {
        PyRef event = PyRef::steal(PyObject_GetAttr(events.get(), *event_names[i]));
        if (!event) return false;
        PyRef function = PyRef::steal(PyCFunction_NewEx(&callbacks[i], nullptr, nullptr));
        if (!function || !call(sys_monitoring, interned.register_callback,
                               {tool_id.get(), event.get(), function.get()})) {
            return false;
        }
    }
    for (const FlowCallback& flow : flow_callbacks()) {
        PyRef event = PyRef::steal(PyObject_GetAttr(events.get(), *flow.event_name));
        if (!event) return false;
        PyRef function = PyRef::steal(PyCFunction_NewEx(flow.definition, nullptr, nullptr));
        if (!function || !call(sys_monitoring, interned.register_callback,
                               {tool_id.get(), event.get(), function.get()})) {
            return false;
        }
    }
    return set_tool_events(sys_monitoring);
}

// Turns the events of the tool id off, drops the callbacks and gives the id back. False with the
// error indicator set on failure.
bool give_back(PyObject* sys_monitoring, int id) {
    PyRef tool_id = PyRef::steal(PyLong_FromLong(id));
    PyRef none_events = PyRef::steal(PyLong_FromLong(0));
    if (!tool_id || !none_events ||
        !call(sys_monitoring, interned.set_events, {tool_id.get(), none_events.get()})) {
        return false;
    }
    PyRef events = PyRef::steal(PyObject_GetAttr(sys_monitoring, interned.events));
    if (!events) return false;
    auto forget = [&](PyObject* name) {
        PyRef event = PyRef::steal(PyObject_GetAttr(events.get(), name));
        return event && call(sys_monitoring, interned.register_callback,
                             {tool_id.get(), event.get(), Py_None});
    };
    for (PyObject** name : event_names) {
        if (!forget(*name)) return false;
    }
    for (const FlowCallback& flow : flow_callbacks()) {
        if (!forget(*flow.event_name)) return false;
    }
    monitoring.disable = PyRef();
    return static_cast<bool>(call(sys_monitoring, interned.free_tool_id, {tool_id.get()}));
}

void tell_once(const char* text) {
    if (monitoring.told) return;
    monitoring.told = true;
    log_warning_text(text);
}

// sys.monitoring.use_tool_id as the program calls it while we hold an id: `original` is the
// interpreter's function.
PyObject* use_tool_id(PyObject* original, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs >= 1 && monitoring.tool >= 0 && PyLong_Check(args[0])) {
        long wanted = PyLong_AsLong(args[0]);
        if (wanted == -1 && PyErr_Occurred()) {
            PyErr_Clear();  // the interpreter's function says what is wrong with it
        } else if (wanted == monitoring.tool) {
            PyRef pending = take_pending_exception();
            PyRef sys_monitoring = module_attribute(interned.mod_sys, interned.monitoring);
            bool moved = false;
            if (sys_monitoring && give_back(sys_monitoring.get(), wanted)) {
                monitoring.tool = -1;
                for (int id : kToolIds) {
                    if (id == wanted) continue;
                    auto free = is_free(sys_monitoring.get(), id);
                    if (!free.ok()) break;
                    if (!*free) continue;
                    moved = take_tool(sys_monitoring.get(), id);
                    break;
                }
            }
            if (!moved) {
                PyErr_Clear();
                if (monitoring.tool >= 0 && sys_monitoring)
                    give_back(sys_monitoring.get(), monitoring.tool);
                PyErr_Clear();
                monitoring.tool = -1;
                const bool flowed = std::exchange(monitoring.flow, false);
                if (flowed && !move_monitored_to_profile()) PyErr_Clear();
                tell_once(
                    flowed ? "vesk: the program took the sys.monitoring tool id vesk held and no "
                             "other is free: calls and returns are recorded through the profile "
                             "function from now on, and exceptions without their facts (only as "
                             "returns)"
                           : "vesk: the program took the sys.monitoring tool id vesk held and no "
                             "other is free: exceptions are recorded without their facts (only "
                             "as returns)");
            }
            PyErr_SetRaisedException(pending.release());
        }
    }
    return PyObject_Vectorcall(original, args, static_cast<std::size_t>(nargs), nullptr);
}

PyMethodDef use_tool_id_def = {
    "use_tool_id", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(use_tool_id)),
    METH_FASTCALL, "use_tool_id(tool_id, name, /)\n--\n\nReserve tool_id for the tool name."};

// Puts the wrapper in place of sys.monitoring.use_tool_id, or the interpreter's function back.
bool wrap_use_tool_id(PyObject* sys_monitoring, bool wrap) {
    if (wrap) {
        if (monitoring.original_use_tool_id) return true;
        PyRef original = PyRef::steal(PyObject_GetAttr(sys_monitoring, interned.use_tool_id));
        if (!original) return false;
        PyRef wrapper = PyRef::steal(PyCFunction_NewEx(&use_tool_id_def, original.get(), nullptr));
        if (!wrapper || PyObject_SetAttr(sys_monitoring, interned.use_tool_id, wrapper.get()) < 0) {
            return false;
        }
        monitoring.original_use_tool_id = std::move(original);
        return true;
    }
    PyRef original = std::move(monitoring.original_use_tool_id);
    if (!original) return true;
    // Put back only over our own wrapper: the program may have put something of its own there.
    PyRef current = PyRef::steal(PyObject_GetAttr(sys_monitoring, interned.use_tool_id));
    if (!current) return false;
    if (!PyCFunction_Check(current.get()) ||
        PyCFunction_GET_FUNCTION(current.get()) !=
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(use_tool_id))) {
        return true;
    }
    return PyObject_SetAttr(sys_monitoring, interned.use_tool_id, original.get()) == 0;
}

// Claims a free tool id and registers the callbacks; false with the error indicator set on
// failure, true without a tool when none is free.
bool claim_tool() {
    PyRef sys_monitoring = module_attribute(interned.mod_sys, interned.monitoring);
    if (!sys_monitoring) return false;
    for (int id : kToolIds) {
        auto free = is_free(sys_monitoring.get(), id);
        if (!free.ok()) return false;
        if (!*free) continue;
        return take_tool(sys_monitoring.get(), id) && wrap_use_tool_id(sys_monitoring.get(), true);
    }
    tell_once(
        "vesk: every sys.monitoring tool id is taken: exceptions are recorded without their "
        "facts (only as returns)");
    return true;
}

// Gives the id back and the interpreter's use_tool_id. False with the error indicator set on
// failure.
bool release_tool() {
    int id = std::exchange(monitoring.tool, -1);
    PyRef sys_monitoring = module_attribute(interned.mod_sys, interned.monitoring);
    if (!sys_monitoring) return false;
    bool unwrapped = wrap_use_tool_id(sys_monitoring.get(), false);
    if (id < 0) return unwrapped;
    return give_back(sys_monitoring.get(), id) && unwrapped;
}

// Runs `change` with no exception pending (one may be, in a deallocation), and restores it after;
// a failure of the change is logged, and the recording goes on without it.
template <class Change>
void change_monitoring(Change&& change, const char* failure_note) {
    PyRef pending = take_pending_exception();
    if (!change()) {
        PyErr_Clear();
        log_warning_text(failure_note);
    }
    PyErr_SetRaisedException(pending.release());
}

void reset_monitoring() {
    // The interpreter is gone: its objects are not ours to release.
    static_cast<void>(monitoring.original_use_tool_id.release());
    monitoring = Monitoring{};
}

}  // namespace

void follow_exceptions(ProfilerState& state) {
    if (!compat::exception_events || state.follows_exceptions) return;
    state.follows_exceptions = true;
    if (monitoring.users++ > 0) return;
    static bool armed = false;
    if (!armed) {
        armed = true;
        forget_at_finalize(reset_monitoring);
    }
    change_monitoring(
        [] {
            if (claim_tool()) return true;
            PyRef failure = take_pending_exception();
            release_tool();
            PyErr_SetRaisedException(failure.release());
            return false;
        },
        "vesk: sys.monitoring refused the exception events: exceptions are recorded without "
        "their facts (only as returns)");
}

void stop_following_exceptions(ProfilerState& state) {
    if (!state.follows_exceptions) return;
    state.follows_exceptions = false;
    if (--monitoring.users > 0 || Py_IsFinalizing()) return;
    change_monitoring(release_tool, "vesk: the sys.monitoring tool id could not be given back");
}

Fallible<bool> tool_available() {
    if (!compat::exception_events) return false;
    if (monitoring.tool >= 0) return true;
    PyRef sys_monitoring = module_attribute(interned.mod_sys, interned.monitoring);
    if (!sys_monitoring) return failed;
    for (int id : kToolIds) {
        auto free = is_free(sys_monitoring.get(), id);
        if (!free.ok() || *free) return free;
    }
    return false;
}

bool monitor_flow(bool on) {
    if (monitoring.flow == on) return monitoring.tool >= 0;
    if (monitoring.tool < 0) return false;
    monitoring.flow = on;
    bool changed = false;
    change_monitoring(
        [&] {
            PyRef sys_monitoring = module_attribute(interned.mod_sys, interned.monitoring);
            changed = sys_monitoring && set_tool_events(sys_monitoring.get());
            return changed;
        },
        "vesk: sys.monitoring refused to change the events vesk takes");
    if (!changed) monitoring.flow = false;
    return changed;
}

bool flow_monitored() noexcept {
    return monitoring.flow && monitoring.tool >= 0;
}

int held_tool_id() noexcept {
    return monitoring.tool;
}

PyObject* disable_answer() noexcept {
    return monitoring.disable.get();
}

void restart_monitoring_events() {
    change_monitoring(
        [] {
            PyRef sys_monitoring = module_attribute(interned.mod_sys, interned.monitoring);
            return sys_monitoring && call(sys_monitoring.get(), interned.restart_events, {});
        },
        "vesk: sys.monitoring refused to restart its events");
}

Fallible<bool> exceptions_at_event(ProfilerState& state, ThreadValues& values, PyFrameObject* frame,
                                   Event event, bool left_unseen) {
    auto* frame_object = reinterpret_cast<PyObject*>(frame);
    auto& passages = values.passages;
    if (event == Event::call) {
        if (!passages.empty() && !settle_finished_handler(state, values)) return failed;
        return false;
    }
    auto own = passages.end();
    for (auto passage = passages.begin(); passage != passages.end(); ++passage) {
        if (passage->frame.get() == frame_object) own = passage;
    }
    if (own == passages.end()) {
        // Not followed (before 3.12, or no tool id): only a recorded frame's exit is known.
        if (!left_unseen) return false;
        const auto& stack = values.user_code_stack;
        auto pair = std::find_if(stack.rbegin(), stack.rend(), [frame_object](const auto& pair) {
            return pair.frame.get() == frame_object;
        });
        if (pair != stack.rend() && !write_passage_record(state, values, pair->frame_id, nullptr,
                                                          ExceptionOrigin::unknown, false)) {
            return failed;
        }
        return true;
    }
    // Passages above it belong to frames whose returns were not seen.
    ExceptionPassage ended = std::move(*own);
    passages.erase(own, passages.end());
    bool left = left_unseen || !ended.handled;
    if (left) {
        values.unwound.described = ended.exception;
        values.unwound.description = ended.description;
    }
    if (!end_passage(state, values, ended, !left)) return failed;
    return left;
}

}  // namespace vesk
