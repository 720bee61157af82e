#include "profiler/state.h"

#include <atomic>

#include "companion/companion.h"
#include "profiler/record_store.h"
#include "utils/clock.h"
#include "utils/convert.h"
#include "utils/errors.h"
#include "utils/interned.h"

namespace vesk {

namespace {

// A configuration key looked up in the dictionary itself: a subclass's __getitem__ or
// __missing__ is not consulted. Null when absent. The value is held: converting it may run code
// that removes it from the dictionary.
PyRef config_entry(PyObject* config, PyObject* key, const char* fault_message) {
    PyObject* value = PyDict_GetItemWithError(config, key);
    if (value == nullptr && PyErr_Occurred()) internal_fault_from_pending(fault_message);
    return PyRef::borrow(value);
}

// One fragment list of "filters": a filters value that cannot be subscripted with the key
// counts as no fragments; a value that is there must be a sequence of str.
Fallible<std::vector<PathFragment>> fragment_list(PyObject* filters, PyObject* key) {
    PyRef value = PyRef::steal(PyObject_GetItem(filters, key));
    if (!value) {
        if (!discard_ordinary_error()) return failed;
        return std::vector<PathFragment>{};
    }
    auto texts = to_text_list(value.get());
    if (!texts.ok()) return failed;
    return compile_fragments(*texts);
}

// The native id of a thread object: absent when it has no such attribute or it is None.
Fallible<std::optional<std::uint64_t>> native_id_of(PyObject* thread) {
    PyRef value = PyRef::steal(PyObject_GetAttr(thread, interned.native_id));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return failed;
        PyErr_Clear();
        return std::optional<std::uint64_t>{};
    }
    if (value.get() == Py_None) return std::optional<std::uint64_t>{};
    auto id = to_u64(value.get());
    if (!id.ok()) return failed;
    return std::optional<std::uint64_t>{*id};
}

// "threading" and "lightweight_repr": anything but a boolean value counts as false.
Fallible<bool> switch_entry(PyObject* config, PyObject* key, const char* fault_message) {
    PyRef value = config_entry(config, key, fault_message);
    if (!value) return false;
    auto flag = to_bool_value(value.get());
    if (!flag.ok()) {
        if (!discard_ordinary_error()) return failed;
        return false;
    }
    return *flag;
}

// "part_size" and "trace_limit": a byte count, 0 for no bound; absent or None for the default.
Fallible<std::uint64_t> size_entry(PyObject* config, PyObject* key, std::uint64_t fallback,
                                   const char* fault_message) {
    PyRef value = config_entry(config, key, fault_message);
    if (!value || value.get() == Py_None) return fallback;
    return to_u64(value.get());
}

template <class T, class Convert>
Fallible<T> host_attribute(PyObject* host, PyObject* name, Convert convert) {
    PyRef value = PyRef::steal(PyObject_GetAttr(host, name));
    if (!value) return failed;
    return convert(value.get());
}

}  // namespace

int ProfilerState::traverse(visitproc visit, void* arg) const {
    Py_VISIT(outer.get());
    Py_VISIT(previous_context.get());
    for (const auto& [code_name, list] : plugins) {
        for (const Plugin& plugin : list) {
            Py_VISIT(plugin.call.get());
            Py_VISIT(plugin.process.get());
            Py_VISIT(plugin.context.get());
        }
    }
    return per_thread.traverse(visit, arg);
}

std::unique_ptr<ProfilerState> build_profiler_state(PyObject* host) {
    PyRef config = PyRef::steal(PyObject_GetAttr(host, interned.config));
    if (!config) return nullptr;
    if (!PyDict_Check(config.get())) {
        set_type_mismatch(config.get(), "PyDict");
        return nullptr;
    }

    std::vector<PathFragment> include_frames;
    std::vector<PathFragment> ignore_frames;
    if (PyRef filters = config_entry(config.get(), interned.filters,
                                     "config.get(\"filters\" should not raise.")) {
        auto include = fragment_list(filters.get(), interned.include_frames);
        if (!include.ok()) return nullptr;
        auto ignore = fragment_list(filters.get(), interned.ignore_frames);
        if (!ignore.ok()) return nullptr;
        include_frames = std::move(*include);
        ignore_frames = std::move(*ignore);
    }

    PyRef main_thread;
    {
        PyRef threading = import_module(interned.mod_threading);
        if (!threading) return nullptr;
        main_thread =
            PyRef::steal(PyObject_CallMethodNoArgs(threading.get(), interned.main_thread));
        if (!main_thread) return nullptr;
    }
    auto main_thread_id = native_id_of(main_thread.get());
    if (!main_thread_id.ok()) return nullptr;

    std::uint64_t sqlite_busy_timeout = 60;
    if (PyRef value = config_entry(config.get(), interned.sqlite_busy_timeout,
                                   "config.get(\"sqlite_busy_timeout\" should not raise.")) {
        auto timeout = to_u64(value.get());
        if (!timeout.ok()) return nullptr;
        sqlite_busy_timeout = *timeout;
    }
    auto threading = switch_entry(config.get(), interned.threading,
                                  "config.get(\"threading\" should not raise.");
    if (!threading.ok()) return nullptr;
    auto lightweight_repr = switch_entry(config.get(), interned.lightweight_repr,
                                         "config.get(\"lightweight_repr\" should not raise.");
    if (!lightweight_repr.ok()) return nullptr;
    auto call_repr = switch_entry(config.get(), interned.call_repr_key,
                                  "config.get(\"call_repr\" should not raise.");
    if (!call_repr.ok()) return nullptr;
    int value_scale = 1;
    if (PyRef value = config_entry(config.get(), interned.value_scale_key,
                                   "config.get(\"value_scale\" should not raise.")) {
        if (value.get() != Py_None) {
            long scale = PyLong_AsLong(value.get());
            if (scale == -1 && PyErr_Occurred()) return nullptr;
            if (scale < 1 || scale > 1024) {
                PyErr_SetString(PyExc_ValueError, "value_scale must be from 1 to 1024");
                return nullptr;
            }
            value_scale = static_cast<int>(scale);
        }
    }
    auto part_size = size_entry(config.get(), interned.part_size, kDefaultPartSize,
                                "config.get(\"part_size\" should not raise.");
    if (!part_size.ok()) return nullptr;
    auto trace_limit = size_entry(config.get(), interned.trace_limit, kDefaultTraceLimit,
                                  "config.get(\"trace_limit\" should not raise.");
    if (!trace_limit.ok()) return nullptr;

    double handoff_interval = 0.0;
    if (PyRef value = config_entry(config.get(), interned.handoff_interval,
                                   "config.get(\"handoff_interval\" should not raise.")) {
        if (value.get() != Py_None) {
            handoff_interval = PyFloat_AsDouble(value.get());
            if (handoff_interval == -1.0 && PyErr_Occurred()) return nullptr;
            if (!(handoff_interval >= 0.0)) {
                PyErr_SetString(PyExc_ValueError, "handoff_interval must be 0 or more seconds");
                return nullptr;
            }
        }
    }

    auto plugins = load_plugins(config.get());
    if (!plugins.ok()) return nullptr;

    auto db_path = host_attribute<std::string>(host, interned.db_path, [](PyObject* value) {
        PyRef text = PyRef::steal(PyObject_Str(value));
        if (!text) return Fallible<std::string>(failed);
        return to_text(text.get());
    });
    if (!db_path.ok()) return nullptr;
    auto one_trace_per_test =
        host_attribute<bool>(host, interned.one_trace_per_test, to_bool_value);
    if (!one_trace_per_test.ok()) return nullptr;
    auto trace_id = host_attribute<std::string>(host, interned.trace_id, to_text);
    if (!trace_id.ok()) return nullptr;
    auto source = host_attribute<std::string>(host, interned.source, to_text);
    if (!source.ok()) return nullptr;

    std::unordered_set<std::string, StringHash, std::equal_to<>> plugin_code_names;
    std::size_t plugin_count = 0;
    for (const auto& [code_name, list] : *plugins) {
        plugin_code_names.insert(code_name);
        plugin_count += list.size();
    }
    auto state = std::make_unique<ProfilerState>(std::move(*trace_id), std::move(*plugins));
    state->plugin_count = plugin_count;
    static std::atomic<std::uint64_t> next_serial{1};
    state->serial = next_serial.fetch_add(1);
    state->plugin_code_names = std::move(plugin_code_names);
    state->main_thread_id = *main_thread_id;
    state->db_path = std::move(*db_path);
    state->include_frames = std::move(include_frames);
    state->ignore_frames = std::move(ignore_frames);
    state->source = std::move(*source);
    state->sqlite_busy_timeout = sqlite_busy_timeout;
    state->one_trace_per_test = *one_trace_per_test;
    state->threading = *threading;
    state->lightweight_repr = *lightweight_repr;
    state->call_repr = *call_repr;
    state->value_scale = value_scale;
    state->part_size = *part_size;
    state->trace_limit = *trace_limit;
    state->handoff_interval = handoff_interval;
    state->timestamp = current_timestamp();
    ProfilerState* owner = state.get();
    state->per_thread.on_thread_end = [owner](ThreadValues& values) {
        thread_ended(*owner, values);
    };
    return state;
}

}  // namespace vesk
