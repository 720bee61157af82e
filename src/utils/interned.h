#pragma once
// Interpreter strings used again and again as attribute names, dictionary keys and module
// names, interned once per process when the module is first imported.

#include "utils/pyref.h"

namespace vesk {

#define VESK_INTERNED_NAMES(X)                                        \
    X(config, "config")                                               \
    X(register_threading_profiler, "register_threading_profiler")     \
    X(rust_profiler, "rust_profiler")                                 \
    X(main_thread, "main_thread")                                     \
    X(current_thread, "current_thread")                               \
    X(native_id, "native_id")                                         \
    X(name, "name")                                                   \
    X(setprofile, "setprofile")                                       \
    X(db_path, "db_path")                                             \
    X(one_trace_per_test, "one_trace_per_test")                       \
    X(trace_id, "trace_id")                                           \
    X(source, "source")                                               \
    X(filters, "filters")                                             \
    X(include_frames, "include_frames")                               \
    X(ignore_frames, "ignore_frames")                                 \
    X(sqlite_busy_timeout, "sqlite_busy_timeout")                     \
    X(threading, "threading")                                         \
    X(lightweight_repr, "lightweight_repr")                           \
    X(part_size, "part_size")                                         \
    X(trace_limit, "trace_limit")                                     \
    X(dunder_name, "__name__")                                        \
    X(dunder_builtins, "__builtins__")                                \
    X(load_plugin_data, "load_plugin_data")                           \
    X(dump_msgpack, "dump_msgpack")                                   \
    X(dump_msgpack_lightweight_repr, "dump_msgpack_lightweight_repr") \
    X(save_trace_in_sqlite, "save_trace_in_sqlite")                   \
    X(dunder_version, "__version__")                                  \
    X(commit_sha, "COMMIT_SHA")                                       \
    X(argv, "argv")                                                   \
    X(timeout, "timeout")                                             \
    X(msgpack, "msgpack")                                             \
    X(co_names, "co_names")                                           \
    X(path_fragment, "path_fragment")                                 \
    X(call_type, "call_type")                                         \
    X(return_type, "return_type")                                     \
    X(subtype, "subtype")                                             \
    X(call, "call")                                                   \
    X(process, "process")                                             \
    X(events, "events")                                               \
    X(build_context, "build_context")                                 \
    X(type_key, "type")                                               \
    X(return_text, "return")                                          \
    X(thread_home_key, "vesk._vesk.thread_home")                      \
    X(mod_threading, "threading")                                     \
    X(mod_sys, "sys")                                                 \
    X(mod_atexit, "atexit")                                           \
    X(mod_c_signal, "_signal")                                        \
    X(threading_active, "_active")                                    \
    X(handoff_interval, "handoff_interval")                           \
    X(getsignal, "getsignal")                                         \
    X(dunder_call, "__call__")                                        \
    X(register_text, "register")                                      \
    X(mod_logging, "logging")                                         \
    X(mod_vesk_plugins, "vesk.plugins")                               \
    X(mod_vesk_serialize, "vesk.serialize")                           \
    X(mod_vesk_db, "vesk.db")                                         \
    X(mod_vesk_version, "vesk.version")                               \
    X(mod_vesk_git, "vesk.git")                                       \
    X(mod_vesk_secrets, "vesk.filters.secrets")                       \
    X(redacted_arguments, "redacted_arguments")                       \
    X(dunder_module, "__module__")                                    \
    X(dunder_class, "__class__")                                      \
    X(key_event, "event")                                             \
    X(key_frame_id, "frame_id")                                       \
    X(key_timestamp, "timestamp")                                     \
    X(key_thread, "thread")                                           \
    X(key_thread_native_id, "thread_native_id")                       \
    X(key_path, "path")                                               \
    X(key_co_name, "co_name")                                         \
    X(key_qualname, "qualname")                                       \
    X(key_arg, "arg")                                                 \
    X(key_caught, "caught")                                           \
    X(key_resumed, "resumed")                                         \
    X(key_yielded, "yielded")                                         \
    X(key_origin, "origin")                                           \
    X(text_frame, "frame")                                            \
    X(text_generator, "generator")                                    \
    X(text_exception, "exception")                                    \
    X(text_raised, "raised")                                          \
    X(text_callee, "callee")                                          \
    X(text_module, "<module>")                                        \
    X(monitoring, "monitoring")                                       \
    X(get_tool, "get_tool")                                           \
    X(use_tool_id, "use_tool_id")                                     \
    X(free_tool_id, "free_tool_id")                                   \
    X(register_callback, "register_callback")                         \
    X(set_events, "set_events")                                       \
    X(RAISE, "RAISE")                                                 \
    X(RERAISE, "RERAISE")                                             \
    X(EXCEPTION_HANDLED, "EXCEPTION_HANDLED")                         \
    X(PY_UNWIND, "PY_UNWIND")                                         \
    X(PY_START, "PY_START")                                           \
    X(PY_RESUME, "PY_RESUME")                                         \
    X(PY_THROW, "PY_THROW")                                           \
    X(PY_RETURN, "PY_RETURN")                                         \
    X(PY_YIELD, "PY_YIELD")                                           \
    X(DISABLE, "DISABLE")                                             \
    X(restart_events, "restart_events")                               \
    X(dunder_repr, "__repr__")                                        \
    X(dunder_str, "__str__")                                          \
    X(fields_attr, "_fields")                                         \
    X(enum_name, "_name_")                                            \
    X(enum_value, "_value_")                                          \
    X(int_attr, "int")                                                \
    X(numerator_attr, "_numerator")                                   \
    X(denominator_attr, "_denominator")                               \
    X(str_attr, "_str")                                               \
    X(raw_paths_attr, "_raw_paths")                                   \
    X(drv_attr, "_drv")                                               \
    X(root_attr, "_root")                                             \
    X(parts_attr, "_parts")                                           \
    X(tzinfo_attr, "tzinfo")                                          \
    X(pattern_attr, "pattern")                                        \
    X(year_attr, "year")                                              \
    X(month_attr, "month")                                            \
    X(day_attr, "day")                                                \
    X(hour_attr, "hour")                                              \
    X(minute_attr, "minute")                                          \
    X(second_attr, "second")                                          \
    X(microsecond_attr, "microsecond")                                \
    X(fold_attr, "fold")                                              \
    X(call_repr_key, "call_repr")                                     \
    X(value_scale_key, "value_scale")

struct InternedNames {
#define VESK_DECLARE_NAME(field, text) PyObject* field = nullptr;
    VESK_INTERNED_NAMES(VESK_DECLARE_NAME)
#undef VESK_DECLARE_NAME
};

// Borrowed references, valid for the life of the interpreter once intern_names() succeeded.
extern InternedNames interned;

// Called during module initialisation; false with the error indicator set on failure.
bool intern_names();

}  // namespace vesk
