#include "profiler/record_store.h"

#include <algorithm>
#include <deque>
#include <span>
#include <string>
#include <string_view>

#include "companion/companion.h"
#include "utils/clock.h"
#include "utils/convert.h"
#include "utils/errors.h"
#include "utils/interned.h"
#include "utils/msgpack_writer.h"

namespace vesk {

namespace {

constexpr std::string_view kFrameType = "frame";
constexpr std::string_view kStartTest = "start_test";
constexpr std::string_view kEndTest = "end_test";

// Records of threads other than the main one go to their own list when threading is on.
bool kept_per_thread(const ProfilerState& state, const ThreadIdentity& identity) {
    return identity.native_id && state.threading &&
           (!state.main_thread_id || *identity.native_id != *state.main_thread_id);
}

// Runs `keep_into` with the list the thread's records go to, under its lock.
template <class Keep>
void with_list(ProfilerState& state, const ThreadIdentity& identity, Keep&& keep_into) {
    if (kept_per_thread(state, identity)) {
        auto frames = state.frames.lock();
        keep_into((*frames)[*identity.native_id]);
    } else {
        auto stored = state.frames_of_interest.lock();
        keep_into(*stored);
    }
}

// The record that ends a trace at its limit: where and why it stopped recording.
void keep_limit_record(ProfilerState& state, const ThreadIdentity& identity,
                       const FrameRecordFields* where) {
    MsgpackBuffer out(256);
    write_record_head(out, 3, new_frame_id().view(), current_timestamp(), identity, nullptr,
                      "trace_limit");
    write_str(out, "limit");
    write_uint(out, state.trace_limit);
    write_str(out, "recorded");
    write_uint(out, state.trace_bytes);
    write_str(out, "path");
    if (where != nullptr) {
        write_str(out, std::string(where->filename) + ":" + std::to_string(where->line));
    } else {
        write_nil(out);
    }
    with_list(state, identity, [&out](RecordChunks& list) { list.append(out.bytes()); });
    state.held_bytes += out.size();
    state.trace_capped = true;
}

// Whether records of `size` bytes may still be kept for the current trace; past its limit, the
// trace's last record says so and the rest of it is not recorded.
bool within_limit(ProfilerState& state, const ThreadIdentity& identity, std::size_t size,
                  const FrameRecordFields* where) {
    if (state.trace_capped) return false;
    if (state.trace_limit == 0 || state.trace_bytes + size <= state.trace_limit) return true;
    keep_limit_record(state, identity, where);
    return false;
}

void keep(ProfilerState& state, const ThreadIdentity& identity, std::span<SerializedValue> records,
          const FrameRecordFields* where) {
    std::size_t size = 0;
    for (const SerializedValue& record : records) size += record.size();
    if (records.empty() || !within_limit(state, identity, size, where)) return;
    with_list(state, identity, [records](RecordChunks& list) {
        for (const SerializedValue& record : records) list.append(record.view());
    });
    state.held_bytes += size;
    state.trace_bytes += size;
}

// The frame record alone is written straight into its list.
void keep_frame(ProfilerState& state, const ThreadIdentity& identity,
                const FrameRecordFields& fields) {
    std::size_t size = frame_record_size(fields);
    if (!within_limit(state, identity, size, &fields)) return;
    with_list(state, identity, [&fields, size](RecordChunks& list) {
        write_frame_record(fields, list.reserve(size), size);
        list.commit(size);
    });
    state.held_bytes += size;
    state.trace_bytes += size;
}

// What the starting thread recorded before the test belongs to no trace; other threads' records
// are not this thread's to drop, and go on into the new trace.
void start_new_trace(ProfilerState& state, const ThreadIdentity& identity) {
    std::string fresh = new_trace_id().str();
    auto trace_id = state.trace_id.lock();
    auto stored = state.frames_of_interest.lock();
    auto frames = state.frames.lock();
    *trace_id = std::move(fresh);
    if (kept_per_thread(state, identity)) {
        if (auto found = frames->find(*identity.native_id); found != frames->end()) {
            state.held_bytes -= found->second.bytes();
            frames->erase(found);
        }
    } else {
        state.held_bytes -= stored->bytes();
        stored->clear();
    }
    // The records carried over from other threads are the new trace's first.
    state.trace_bytes = state.held_bytes;
    state.trace_capped = false;
}

struct TraceParts {
    std::vector<std::string> argv;
    std::string_view version;
    std::optional<std::string_view> commit_sha;
    std::string_view trace_id;
    RecordChunks* stored;
    std::map<std::uint64_t, RecordChunks>* frames;
};

void write_records(auto& out, RecordChunks& records, bool release) {
    write_array_len(out, checked_length(records.count()));
    records.write_to(out, release);
}

void write_trace(auto& out, const ProfilerState& state, TraceParts& parts, bool release) {
    write_map_len(out, 8);
    write_str(out, "command_line_args");
    write_array_len(out, checked_length(parts.argv.size()));
    for (const auto& arg : parts.argv) write_str(out, arg);
    write_key_optional_str(out, "current_commit_sha", parts.commit_sha);
    write_str(out, "frames");
    write_map_len(out, checked_length(parts.frames->size()));
    for (auto& [native_id, records] : *parts.frames) {
        write_uint(out, native_id);
        write_records(out, records, release);
    }
    write_str(out, "frames_of_interest");
    write_records(out, *parts.stored, release);
    write_key_optional_uint(out, "main_thread_id", state.main_thread_id);
    write_str(out, "meta");
    write_map_len(out, 3);
    write_str(out, "version");
    write_str(out, parts.version);
    write_str(out, "source");
    write_str(out, state.source);
    write_str(out, "use_frame_boundaries");
    write_bool(out, true);
    write_timestamp(out, state.timestamp);
    write_str(out, "trace_id");
    write_str(out, parts.trace_id);
}

// Puts traces that could not be saved back in front of any that other saves left meanwhile.
void keep_unsaved(ProfilerState& state, std::deque<UnsavedTrace>& traces) {
    auto unsaved = state.unsaved.lock();
    while (!traces.empty()) {
        unsaved->push_front(std::move(traces.back()));
        traces.pop_back();
    }
}

// Tells, on the pending failure, what became of the traces that could not be saved.
void note_kept(const std::deque<UnsavedTrace>& kept) {
    std::string note = kept.size() == 1 ? "vesk: the trace " + kept.front().trace_id +
                                              " was not saved; it is kept and saved first by the "
                                              "next save"
                                        : "vesk: " + std::to_string(kept.size()) +
                                              " trace parts were not saved; they are kept and "
                                              "saved first by the next save";
    PyRef failure = take_pending_exception();
    if (!failure) return;
    PyRef result = PyRef::steal(PyObject_CallMethod(failure.get(), "add_note", "s", note.c_str()));
    if (!result) PyErr_Clear();  // the failure itself matters more than the note
    PyErr_SetRaisedException(failure.release());
}

bool save_one(ProfilerState& state, PyObject* saver, const UnsavedTrace& part) {
    PyRef keywords = PyRef::steal(PyDict_New());
    if (!keywords) return false;
    PyRef timeout = PyRef::steal(PyLong_FromUnsignedLongLong(state.sqlite_busy_timeout));
    if (!timeout || PyDict_SetItem(keywords.get(), interned.timeout, timeout.get()) < 0 ||
        PyDict_SetItem(keywords.get(), interned.msgpack, part.trace.get()) < 0) {
        return false;
    }
    PyRef arguments = PyRef::steal(
        Py_BuildValue("(s#s#)", state.db_path.data(), static_cast<Py_ssize_t>(state.db_path.size()),
                      part.trace_id.data(), static_cast<Py_ssize_t>(part.trace_id.size())));
    if (!arguments) return false;
    PyRef result = PyRef::steal(PyObject_Call(saver, arguments.get(), keywords.get()));
    return static_cast<bool>(result);
}

}  // namespace

bool deliver_record(ProfilerState& state, ThreadValues& values, std::string_view record) {
    if (state.stopped) return true;
    auto identity = thread_identity(values);
    if (!identity.ok()) return false;
    if (!within_limit(state, **identity, record.size(), nullptr)) return true;
    with_list(state, **identity, [record](RecordChunks& list) { list.append(record); });
    state.held_bytes += record.size();
    state.trace_bytes += record.size();
    return true;
}

bool deliver_records(ProfilerState& state, ThreadValues& values, Event event, EventBatch& batch) {
    std::size_t count = batch.plugin_records.size() + (batch.frame != nullptr ? 1 : 0);
    // An event that was under way on another thread when the recording stopped is not kept.
    if (count == 0 || state.stopped) return true;
    auto identity = thread_identity(values);
    if (!identity.ok()) return false;
    if (batch.plugin_records.empty()) {
        // A frame record is never a test's start or end.
        keep_frame(state, **identity, *batch.frame);
        return true;
    }

    // The batch in delivery order: a return's records come in reverse.
    std::vector<SerializedValue> records;
    std::vector<std::string_view> types;
    records.reserve(count);
    types.reserve(count);
    if (event == Event::ret && batch.frame != nullptr) {
        records.push_back(write_frame_record(*batch.frame));
        types.push_back(kFrameType);
    }
    if (event == Event::ret) {
        for (auto it = batch.plugin_records.rbegin(); it != batch.plugin_records.rend(); ++it) {
            records.push_back(std::move(it->bytes));
            types.push_back(it->type);
        }
    } else {
        for (auto& record : batch.plugin_records) {
            records.push_back(std::move(record.bytes));
            types.push_back(record.type);
        }
        if (batch.frame != nullptr) {
            records.push_back(write_frame_record(*batch.frame));
            types.push_back(kFrameType);
        }
    }

    if (!state.one_trace_per_test) {
        keep(state, **identity, records, batch.frame);
        return true;
    }
    // Markers split the batch: what comes before a test start belongs to no trace, what comes
    // up to a test end is saved with it.
    std::size_t first_unkept = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (types[i] == kStartTest) {
            first_unkept = i;
            start_new_trace(state, **identity);
        } else if (types[i] == kEndTest) {
            keep(state, **identity, std::span(records).subspan(first_unkept, i + 1 - first_unkept),
                 batch.frame);
            first_unkept = i + 1;
            if (!save_request_in_db(state)) return false;
        }
    }
    keep(state, **identity, std::span(records).subspan(first_unkept), batch.frame);
    return true;
}

PyRef build_trace(ProfilerState& state) {
    TraceParts parts;
    PyRef version = module_attribute(interned.mod_vesk_version, interned.dunder_version);
    if (!version) return {};
    auto version_text = text_view(version.get());
    if (!version_text.ok()) return {};
    parts.version = *version_text;

    PyRef commit = module_attribute(interned.mod_vesk_git, interned.commit_sha);
    if (!commit) return {};
    if (commit.get() != Py_None) {
        auto commit_text = text_view(commit.get());
        if (!commit_text.ok()) return {};
        parts.commit_sha = *commit_text;
    }

    PyRef argv = module_attribute(interned.mod_sys, interned.argv);
    if (!argv) return {};
    auto argv_texts = to_text_list(argv.get());
    if (!argv_texts.ok()) return {};
    parts.argv = std::move(*argv_texts);

    // The trace id is copied first so that no two of the three locks are ever taken in two
    // orders. The trace is measured in place, which refuses what the format cannot hold before
    // anything is taken; then the records move out and each goes as soon as it is copied, so
    // that the trace never exists twice in memory.
    std::string trace_id = *state.trace_id.lock();
    auto stored = state.frames_of_interest.lock();
    auto frames = state.frames.lock();
    parts.trace_id = trace_id;
    parts.stored = &*stored;
    parts.frames = &*frames;
    SizeCounter counter;
    write_trace(counter, state, parts, false);
    PyRef trace =
        PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(counter.size())));
    if (!trace) return {};

    RecordChunks stored_records = std::move(*stored);
    stored->clear();
    state.held_bytes = 0;
    std::map<std::uint64_t, RecordChunks> thread_records;
    thread_records.swap(*frames);
    parts.stored = &stored_records;
    parts.frames = &thread_records;
    SpanStream out(PyBytes_AS_STRING(trace.get()), counter.size());
    write_trace(out, state, parts, true);
    if (out.remaining() != 0) internal_fault("Writing to memory, not I/O: the trace is short");
    return trace;
}

bool save_request_in_db(ProfilerState& state) {
    PyRef trace = build_trace(state);
    if (!trace) return false;
    // Traces whose save failed go first, so that the parts of a trace stay in order.
    std::deque<UnsavedTrace> queue;
    queue.swap(*state.unsaved.lock());
    queue.push_back(UnsavedTrace{*state.trace_id.lock(), std::move(trace)});

    PyRef saver = module_attribute(interned.mod_vesk_db, interned.save_trace_in_sqlite);
    while (!queue.empty()) {
        if (!saver || !save_one(state, saver.get(), queue.front())) {
            note_kept(queue);
            keep_unsaved(state, queue);
            return false;
        }
        queue.pop_front();
    }
    return true;
}

bool save_part_if_due(ProfilerState& state) {
    if (state.part_size == 0 || state.held_bytes < state.part_size || state.saving_part ||
        state.stopped) {
        return true;
    }
    // One part at a time: the saver lets other threads run, whose events may reach the bound
    // meanwhile.
    state.saving_part = true;
    bool saved = save_request_in_db(state);
    state.saving_part = false;
    return saved;
}

void restart_in_forked_child(ProfilerState& state, ThreadValues* values, std::string trace_id) {
    {
        auto id = state.trace_id.lock();
        auto stored = state.frames_of_interest.lock();
        auto frames = state.frames.lock();
        auto unsaved = state.unsaved.lock();
        *id = std::move(trace_id);
        stored->clear();
        frames->clear();
        unsaved->clear();
    }
    state.held_bytes = 0;
    state.trace_bytes = 0;
    state.trace_capped = false;
    state.saving_part = false;
    state.dropped_events = 0;
    // Native thread ids are the child's own now; no other thread runs to read the configuration.
    state.main_thread_id = PyThread_get_thread_native_id();
    if (values != nullptr) values->thread_identity_cache.reset();
}

void thread_ended(ProfilerState& state, const ThreadValues& values) {
    const std::optional<ThreadIdentity>& identity = values.thread_identity_cache;
    if (!identity || !kept_per_thread(state, *identity)) return;
    auto frames = state.frames.lock();
    if (auto found = frames->find(*identity->native_id); found != frames->end()) {
        found->second.shrink_to_fit();
    }
}

std::size_t unsaved_traces(ProfilerState& state) {
    return state.unsaved.lock()->size();
}

}  // namespace vesk
