#pragma once
// The profiler state: the configuration every profile event consults, fixed at construction,
// and the containers the engine records into.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "filters/path_fragment.h"
#include "plugins/registry.h"
#include "profiler/record_chunks.h"
#include "profiler/thread_slots.h"
#include "utils/bytes.h"
#include "utils/guarded.h"
#include "utils/pyref.h"

namespace vesk {

inline constexpr std::uint64_t kDefaultPartSize = 64ull << 20;
inline constexpr std::uint64_t kDefaultTraceLimit = 1ull << 30;

struct ProfilerState {
    // Configuration: written during construction only, read without locks afterwards.
    std::optional<std::uint64_t> main_thread_id;
    std::string db_path;
    std::vector<PathFragment> include_frames;
    std::vector<PathFragment> ignore_frames;
    std::string source;
    double timestamp = 0.0;
    std::uint64_t sqlite_busy_timeout = 60;
    bool one_trace_per_test = false;
    bool threading = false;
    bool lightweight_repr = false;
    bool call_repr = false;  // objects recorded as their reprs, when the recording asks
    int value_scale = 1;     // of the full form's bounds
    // Past `part_size` bytes of held records, they are saved as the trace's next part, so that
    // recording holds a bounded amount; past `trace_limit` bytes recorded for one trace, that
    // trace stops recording. 0 is no bound.
    std::uint64_t part_size = kDefaultPartSize;
    std::uint64_t trace_limit = kDefaultTraceLimit;
    // Seconds after which held records are handed off as a part even when they are few (0: only
    // as they fill): a process that may be ended by a signal loses at most that much.
    double handoff_interval = 0.0;
    // Unique among the profilers of the process: keys what is remembered on code objects.
    std::uint64_t serial = 0;
    // The plugin table never changes after loading, so every thread reads it without a lock;
    // what plugins remember between events is kept per thread. Its code names let events of other
    // code pass with one set lookup (remembered on the code object).
    PluginTable plugins;
    std::size_t plugin_count = 0;
    std::unordered_set<std::string, StringHash, std::equal_to<>> plugin_code_names;

    // The recording this one was started inside of on the registering thread (a VeskProfiler,
    // null if none): it goes on receiving that thread's events, and, when it records threads,
    // those of threads this one hooks.
    PyRef outer;
    std::uint64_t home_thread_state_id = 0;
    // Taking events through sys.monitoring (see profiler/monitored.h) rather than as threads'
    // profile function; threads whose state id is above threads_before started after it began.
    bool monitored = false;
    std::uint64_t threads_before = 0;
    // The registering thread's profile function before this one (another recording's, another
    // profiler's or tracer's own, a Python-level one), given back to that thread when this one
    // stops and no live recording it was started inside of takes the thread.
    Py_tracefunc previous_profile = nullptr;
    PyRef previous_context;

    // Set once by stop(); a stopped profiler records nothing more and takes itself off every
    // thread it meets. Read and written with the interpreter lock held.
    bool stopped = false;
    // While live, it is one of the recordings that the exception events are followed for (see
    // profiler/exceptions.h).
    bool follows_exceptions = false;
    // Bytes of records held now, and recorded for the current trace so far (held or saved); the
    // trace stopped recording at its limit. Read and written with the interpreter lock held.
    std::uint64_t held_bytes = 0;
    std::uint64_t trace_bytes = 0;
    bool trace_capped = false;
    // Recording paused while the saver thread could not write what waited (see
    // save_part_if_due), and the records not kept meanwhile.
    bool saving_stalled = false;
    std::uint64_t stalled_records = 0;
    // Events lost at the interpreter's recursion limit: dropped without a report, which could
    // only fail there too.
    std::uint64_t dropped_events = 0;

    // Record store. When taken together, the locks are taken in the order declared here. No lock
    // of ours is held while interpreter code runs.
    Guarded<std::string> trace_id;
    Guarded<RecordChunks> frames_of_interest;
    Guarded<std::map<std::uint64_t, RecordChunks>> frames;

    // Per-thread bookkeeping: each thread touches only its own values.
    PerThreadValues per_thread;

    ProfilerState(std::string initial_trace_id, PluginTable plugin_table)
        : plugins(std::move(plugin_table)), trace_id(std::move(initial_trace_id)) {}

    // The interpreter objects the state holds, for the cycle collector: plugin callables and
    // contexts (fixed once loaded), the outer recording, and the frames on the threads' stacks of
    // recorded calls.
    int traverse(visitproc visit, void* arg) const;
};

// Reads the host profiler's attributes and its config dictionary. Null with the error
// indicator set when the host or its configuration is refused; internal faults are thrown.
std::unique_ptr<ProfilerState> build_profiler_state(PyObject* host);

}  // namespace vesk
