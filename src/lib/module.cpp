// The module vesk._vesk: its initialisation, the two functions with which the companion
// package switches recording on and off for a thread, the native serialisers that
// vesk.serialize publishes, and the native readers of stored parts.

#include <atomic>
#include <cstdint>
#include <string>

#include "companion/companion.h"
#include "lib/profiler_type.h"
#include "lib/skim_type.h"
#include "profiler/callback.h"
#include "profiler/exceptions.h"
#include "profiler/monitored.h"
#include "profiler/profiler_object.h"
#include "profiler/recordings.h"
#include "profiler/saver.h"
#include "profiler/state.h"
#include "profiler/thread_slots.h"
#include "reader/msgpack_reader.h"
#include "utils/code_cache.h"
#include "utils/convert.h"
#include "utils/errors.h"
#include "utils/finalize.h"
#include "utils/interned.h"
#include "utils/interruption.h"
#include "utils/redaction.h"
#include "utils/serialize.h"
#include "utils/working_dir.h"
#include "values/values.h"

namespace vesk {

namespace {

// The module holds no state of its own: the first interpreter to import it owns it until it
// finalises, and every later import in that interpreter gets the same object.
std::atomic<std::int64_t> owner_interpreter_id{-1};
PyObject* module_object = nullptr;

// The "threading" entry as subscription sees it, which may differ from a direct lookup in a
// dict subclass; anything that is not a boolean value counts as false.
Fallible<bool> threading_requested(PyObject* config) {
    PyRef value = PyRef::steal(PyObject_GetItem(config, interned.threading));
    if (!value) {
        if (!discard_ordinary_error()) return failed;
        return false;
    }
    auto flag = to_bool_value(value.get());
    if (!flag.ok()) {
        if (!discard_ordinary_error()) return failed;
        return false;
    }
    return *flag;
}

// The modules the engine and the companion's recording code use while a program is recorded,
// imported before it records: imported later, on whichever thread needs one first, a fork() in
// the middle of that import would leave the child waiting for ever on the module's lock. A module
// that cannot be imported now is left to fail where it is used.
constexpr const char* kUsedWhileRecording[] = {"logging", "vesk.db", "vesk.git", "vesk.serialize",
                                               "vesk.version"};

bool import_used_modules() {
    for (const char* name : kUsedWhileRecording) {
        PyRef text = PyRef::steal(PyUnicode_InternFromString(name));
        if (!text) return false;
        if (!import_module(text.get()) && !discard_ordinary_error()) return false;
    }
    return true;
}

// The thread's profile function becomes the recording's, and, when it records threads, the
// threading hook gives it to every thread started from now on.
PyObject* install_profile_function(PyObject* profiler, PyObject* host) {
    // The thread keeps its own reference to the profiler.
    PyEval_SetProfile(profile_callback, profiler);
    PyRef config = PyRef::steal(PyObject_GetAttr(host, interned.config));
    if (!config) return nullptr;
    auto threading = threading_requested(config.get());
    if (!threading.ok()) return nullptr;
    if (*threading) {
        PyRef threading = import_module(interned.mod_threading);
        if (!threading) return nullptr;
        PyRef hook = PyRef::steal(PyObject_GetAttr(profiler, interned.register_threading_profiler));
        if (!hook) return nullptr;
        PyRef result = PyRef::steal(
            PyObject_CallMethodOneArg(threading.get(), interned.setprofile, hook.get()));
        if (!result) return nullptr;
    }
    Py_RETURN_NONE;
}

enum class Hook { profile, nested_profile, monitoring };

// register_profiler, register_nested_profiler and register_monitored_profiler. Nested: a
// recording that receives the thread's events now goes on receiving them (with the threads this
// one hooks, when it records new threads too). Through the profile function, the thread's
// profile function is remembered, to be given back when this one stops. Through sys.monitoring
// (when it can), returns True; False when it took the profile function instead.
PyObject* register_on_this_thread(PyObject* host, Hook hook) {
    return guarded_entry([&]() -> PyObject* {
        if (!PyCallable_Check(host)) {
            PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
            return nullptr;
        }
        if (!import_used_modules()) return nullptr;
        // A recording inside one that takes the thread's profile function takes it too: the
        // outer one goes on getting the events from it.
        bool monitor = hook == Hook::monitoring && recording_of_this_thread() == nullptr;
        if (monitor) {
            monitor = can_monitor();
            if (!monitor && !discard_ordinary_error()) return nullptr;
        }
        auto state = build_profiler_state(host);
        if (!state) return nullptr;
        if (hook != Hook::profile) {
            state->outer = PyRef::borrow(monitor ? monitored_recording_of_this_thread()
                                                 : recording_of_this_thread());
        }
        state->home_thread_state_id = current_thread_state_id();
        if (!monitor) remember_previous_profile(*state);
        PyRef profiler = new_profiler_object(std::move(state));
        if (!profiler) return nullptr;
        ProfilerState* registered = profiler_state_of(profiler.get());
        follow_exceptions(*registered);
        if (registered->handoff_interval > 0) {
            cut_periodically(registered, registered->handoff_interval);
        }
        if (PyObject_SetAttr(host, interned.rust_profiler, profiler.get()) < 0) return nullptr;

        if (monitor && start_monitored(profiler.get())) Py_RETURN_TRUE;
        if (monitor) {
            // The tool could not give the events after all: the profile function takes them,
            // and the recording the thread had through the tool goes on getting them beside it.
            registered->outer = PyRef();
            remember_previous_profile(*registered);
        }
        PyRef installed = PyRef::steal(install_profile_function(profiler.get(), host));
        if (!installed) return nullptr;
        if (hook == Hook::monitoring) Py_RETURN_FALSE;
        Py_RETURN_NONE;
    });
}

// The one argument `profiler`, bound as `format` names the function.
PyObject* register_with(PyObject* args, PyObject* kwargs, const char* format, Hook hook) {
    static const char* keywords[] = {"profiler", nullptr};
    PyObject* host;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &host)) {
        return nullptr;
    }
    return register_on_this_thread(host, hook);
}

PyObject* register_profiler(PyObject*, PyObject* args, PyObject* kwargs) {
    return register_with(args, kwargs, "O:register_profiler", Hook::profile);
}

PyObject* register_nested_profiler(PyObject*, PyObject* args, PyObject* kwargs) {
    return register_with(args, kwargs, "O:register_nested_profiler", Hook::nested_profile);
}

PyObject* register_monitored_profiler(PyObject*, PyObject* args, PyObject* kwargs) {
    return register_with(args, kwargs, "O:register_monitored_profiler", Hook::monitoring);
}

PyObject* register_noop_profiler(PyObject*, PyObject*) {
    PyEval_SetProfile(noop_profile_callback, nullptr);
    Py_RETURN_NONE;
}

PyObject* text_or_none(const std::optional<std::string_view>& text) {
    if (!text) Py_RETURN_NONE;
    // Not UTF-8 after all: as absent, like any other field the summary cannot read.
    PyObject* object =
        PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict");
    if (object == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return object;
}

// (source, records, test node id, outcome, phase, start time) of a stored trace part, read
// without decoding its records; each None where the part does not say.
PyObject* summarise_trace(PyObject*, PyObject* part) {
    return guarded_entry([&]() -> PyObject* {
        Py_buffer view;
        if (PyObject_GetBuffer(part, &view, PyBUF_SIMPLE) < 0) return nullptr;
        // The walk over a part takes tens of milliseconds, on the saver thread while the program
        // runs: the buffer is held, so the program's threads need not wait for it.
        TraceSummary summary;
        Py_BEGIN_ALLOW_THREADS summary = vesk::summarise_trace(
            {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)});
        Py_END_ALLOW_THREADS PyRef records =
            summary.records ? PyRef::steal(PyLong_FromUnsignedLongLong(*summary.records))
                            : PyRef::borrow(Py_None);
        PyRef started = summary.started ? PyRef::steal(PyFloat_FromDouble(*summary.started))
                                        : PyRef::borrow(Py_None);
        PyRef fields[] = {PyRef::steal(text_or_none(summary.source)),
                          records,
                          PyRef::steal(text_or_none(summary.test_nodeid)),
                          PyRef::steal(text_or_none(summary.test_outcome)),
                          PyRef::steal(text_or_none(summary.test_when)),
                          started};
        PyBuffer_Release(&view);
        for (const PyRef& field : fields) {
            if (!field) return nullptr;
        }
        return PyTuple_Pack(6, fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(),
                            fields[4].get(), fields[5].get());
    });
}

// Run by atexit, before the interpreter finalises: from here on, daemon threads may be ended in
// the middle of our code.
PyObject* at_exit(PyObject*, PyObject*) {
    return guarded_entry([]() -> PyObject* {
        // Every part handed off gets its last try, while the interpreter is whole.
        finish_saving();
        interpreter_exiting.store(true, std::memory_order_relaxed);
        Py_RETURN_NONE;
    });
}

PyMethodDef at_exit_def = {"_vesk_at_exit", at_exit, METH_NOARGS, nullptr};

bool register_at_exit(PyObject* module) {
    PyRef atexit = import_module(interned.mod_atexit);
    if (!atexit) return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(&at_exit_def, module, nullptr));
    if (!function) return false;
    PyRef result = PyRef::steal(
        PyObject_CallMethodOneArg(atexit.get(), interned.register_text, function.get()));
    return static_cast<bool>(result);
}

PyMethodDef register_noop_profiler_def = {"register_noop_profiler", register_noop_profiler,
                                          METH_NOARGS, "register_noop_profiler()\n--\n\n"};
PyMethodDef register_profiler_def = {"register_profiler", as_method(register_profiler),
                                     METH_VARARGS | METH_KEYWORDS,
                                     "register_profiler(profiler)\n--\n\n"};
PyMethodDef register_monitored_profiler_def = {
    "register_monitored_profiler", as_method(register_monitored_profiler),
    METH_VARARGS | METH_KEYWORDS,
    "register_monitored_profiler(profiler)\n--\n\nAs register_nested_profiler, but the recording "
    "takes the calls and returns of Python code through a sys.monitoring tool id, where the "
    "interpreter has one free (3.12 and later): code it does not record costs one event, and "
    "the thread's profile function is left alone. Returns True then; False when it took the "
    "thread's profile function instead, as register_nested_profiler does."};
PyMethodDef register_nested_profiler_def = {
    "register_nested_profiler", as_method(register_nested_profiler), METH_VARARGS | METH_KEYWORDS,
    "register_nested_profiler(profiler)\n--\n\nAs register_profiler, but a recording that "
    "receives this thread's events goes on receiving them, this one's beside it (with the threads "
    "this one hooks, when that one records new threads too)."};
PyMethodDef dump_msgpack_def = {
    "dump_msgpack", as_method(native_dump_msgpack), METH_FASTCALL | METH_KEYWORDS,
    "dump_msgpack(value, *, call_repr=False, value_scale=1)\n--\n\nOne MessagePack value "
    "describing value, read from what it holds, within the full form's bounds (scaled); with "
    "call_repr, objects as their reprs (see vesk.serialize)."};
PyMethodDef dump_msgpack_lightweight_repr_def = {
    "dump_msgpack_lightweight_repr", as_method(native_dump_msgpack_lightweight_repr),
    METH_FASTCALL | METH_KEYWORDS,
    "dump_msgpack_lightweight_repr(value, *, call_repr=False, value_scale=1)\n--\n\nThe same "
    "within the lightweight form's bounds (see vesk.serialize)."};

PyMethodDef set_redaction_def = {
    "set_redaction", set_redaction, METH_O,
    "set_redaction(patterns)\n--\n\nThe patterns of the names whose values the serialisers "
    "redact, each a sequence of lower-case word parts (see vesk.filters.secrets)."};

PyObject* wait_for_all_saves(PyObject*, PyObject*) {
    return guarded_entry([]() -> PyObject* {
        PyRef failure;
        if (!wait_for_parts(0, nullptr, failure)) return nullptr;
        if (failure) {
            PyErr_SetRaisedException(failure.release());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* discard_kept(PyObject*, PyObject*) {
    return guarded_entry([]() -> PyObject* { return PyLong_FromSize_t(discard_kept_parts()); });
}

PyMethodDef discard_kept_def = {
    "_discard_kept_parts", discard_kept, METH_NOARGS,
    "_discard_kept_parts()\n--\n\nDrops the parts kept after failed tries; returns how many. "
    "For test suites, whose tests must not leave them to the next."};

PyMethodDef wait_for_saves_def = {
    "wait_for_saves", wait_for_all_saves, METH_NOARGS,
    "wait_for_saves()\n--\n\nWaits until every part of a trace handed to the saver thread was "
    "written, or tried: raises the failure of one that could not be, which is kept for the next "
    "save."};

PyMethodDef is_interruption_def = {
    "is_interruption", is_interruption_function, METH_O,
    "is_interruption(exception)\n--\n\nWhether the exception is the program's own interruption, "
    "to be raised on wherever recording code meets it: any BaseException that is not an Exception, "
    "or what a signal handler raised."};

PyMethodDef summarise_trace_def = {"summarise_trace", summarise_trace, METH_O,
                                   "summarise_trace(part)\n--\n\n(source, records, test node id, "
                                   "outcome, phase, start time) of a stored "
                                   "trace part, read without decoding its records."};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vesk",
    "",
    0,
    nullptr,  // the functions are added by the module body
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_function(PyObject* module, PyMethodDef* def) {
    PyRef name = PyRef::steal(PyModule_GetNameObject(module));
    if (!name) return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, name.get()));
    if (!function) return false;
    return PyModule_AddObjectRef(module, def->ml_name, function.get()) == 0;
}

PyObject* init_module() {
    std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter_id.compare_exchange_strong(expected, interpreter_id) &&
        expected != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "vesk._vesk does not support subinterpreters: it is already loaded in "
                        "another interpreter of this process");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);
    if (!arm_finalize_reset()) return nullptr;
    forget_at_finalize([] {
        owner_interpreter_id = -1;
        forget_thread_homes();
        reset_saver_after_finalize();
        interpreter_exiting.store(false, std::memory_order_relaxed);
    });
    if (!intern_names()) return nullptr;
    if (!watch_working_directory()) return nullptr;
    reserve_code_cache();
    if (!watch_serializer()) return nullptr;

    PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
    if (!module) return nullptr;
    if (!add_function(module.get(), &register_noop_profiler_def)) return nullptr;
    if (!add_function(module.get(), &register_profiler_def)) return nullptr;
    if (!add_function(module.get(), &register_nested_profiler_def)) return nullptr;
    if (!add_function(module.get(), &register_monitored_profiler_def)) return nullptr;
    if (!add_function(module.get(), &dump_msgpack_def)) return nullptr;
    if (!add_function(module.get(), &dump_msgpack_lightweight_repr_def)) return nullptr;
    if (!add_function(module.get(), &summarise_trace_def)) return nullptr;
    if (!add_function(module.get(), &set_redaction_def)) return nullptr;
    if (!add_function(module.get(), &is_interruption_def)) return nullptr;
    if (!add_function(module.get(), &wait_for_saves_def)) return nullptr;
    if (!add_function(module.get(), &discard_kept_def)) return nullptr;
    PyTypeObject* skim = skim_type();
    if (skim == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Skim", reinterpret_cast<PyObject*>(skim)) < 0) {
        return nullptr;
    }
    if (!register_at_exit(module.get())) return nullptr;
    module_object = module.release();
    forget_at_finalize(&module_object);
    return Py_NewRef(module_object);
}

}  // namespace

}  // namespace vesk

PyMODINIT_FUNC PyInit__vesk() {
    return vesk::guarded_entry(vesk::init_module);
}
