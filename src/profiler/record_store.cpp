#include "profiler/record_store.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <span>
#include <string>
#include <string_view>

#include "companion/companion.h"
#include "profiler/saver.h"
#include "profiler/trace_writer.h"
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

// The most bytes of records that may wait to be written (unless a part is larger), and how long
// the saver thread may go without finishing a part before recording pauses.
constexpr std::uint64_t kWaiting = std::uint64_t{64} << 20;
constexpr std::chrono::milliseconds kStall{1000};

// A record that says recording paused because the saver thread could not write what waited
// ("recording_paused"), or that it goes on, and how many records it did not keep
// ("recording_resumed").
void keep_stall_record(ProfilerState& state, const ThreadIdentity& identity, bool paused) {
    MsgpackBuffer out(128);
    write_record_head(out, 1, new_frame_id().view(), current_timestamp(), identity, nullptr,
                      paused ? "recording_paused" : "recording_resumed");
    write_str(out, paused ? "waiting_bytes" : "not_recorded");
    write_uint(out, paused ? bytes_waiting() : state.stalled_records);
    with_list(state, identity, [&out](RecordChunks& list) { list.append(out.bytes()); });
    state.held_bytes += out.size();
}

// Whether records of `size` bytes may still be kept for the current trace; past its limit, the
// trace's last record says so and the rest of it is not recorded. While saving is stalled, none.
bool within_limit(ProfilerState& state, const ThreadIdentity& identity, std::size_t size,
                  const FrameRecordFields* where) {
    if (state.saving_stalled) {
        ++state.stalled_records;
        return false;
    }
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

// A test's start or end: kept past the trace's limit and while recording pauses, as the trace is
// found by its test, and its outcome is what a list of tests shows.
void keep_marker(ProfilerState& state, const ThreadIdentity& identity,
                 const SerializedValue& record) {
    with_list(state, identity, [&record](RecordChunks& list) { list.append(record.view()); });
    state.held_bytes += record.size();
    state.trace_bytes += record.size();
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

// Tells, on the pending failure, that the part that could not be saved is kept.
void note_kept(const std::string& trace_id) {
    std::string note = "vesk: the trace " + trace_id +
                       " was not saved (or not all of it); what was not is kept and saved first "
                       "by the next save";
    PyRef failure = take_pending_exception();
    if (!failure) return;
    PyRef result = PyRef::steal(PyObject_CallMethod(failure.get(), "add_note", "s", note.c_str()));
    if (!result) PyErr_Clear();  // the failure itself matters more than the note
    PyErr_SetRaisedException(failure.release());
}

// What the trace says besides its records, read from the companion and sys; false with the error
// indicator set when one is missing or of the wrong type.
bool read_header(const ProfilerState& state, TraceHeader& header) {
    PyRef version = module_attribute(interned.mod_vesk_version, interned.dunder_version);
    if (!version) return false;
    auto version_text = text_view(version.get());
    if (!version_text.ok()) return false;
    header.version = *version_text;

    PyRef commit = module_attribute(interned.mod_vesk_git, interned.commit_sha);
    if (!commit) return false;
    if (commit.get() != Py_None) {
        auto commit_text = text_view(commit.get());
        if (!commit_text.ok()) return false;
        header.commit_sha = std::string(*commit_text);
    }

    PyRef argv = module_attribute(interned.mod_sys, interned.argv);
    if (!argv) return false;
    auto argv_texts = to_text_list(argv.get());
    if (!argv_texts.ok()) return false;
    // A command line may hold a password ("--password X", a database URL): stored redacted.
    PyRef redact = module_attribute(interned.mod_vesk_secrets, interned.redacted_arguments);
    PyRef redacted = redact ? PyRef::steal(PyObject_CallOneArg(redact.get(), argv.get())) : PyRef();
    auto redacted_texts =
        redacted ? to_text_list(redacted.get()) : Fallible<std::vector<std::string>>(failed);
    if (redacted_texts.ok()) {
        header.argv = std::move(*redacted_texts);
    } else {
        if (!discard_ordinary_error()) return false;
        header.argv = std::vector<std::string>(argv_texts->size(), "[redacted]");
    }
    header.main_thread_id = state.main_thread_id;
    header.source = state.source;
    header.timestamp = state.timestamp;
    return true;
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
            start_new_trace(state, **identity);
            keep_marker(state, **identity, records[i]);
            first_unkept = i + 1;
        } else if (types[i] == kEndTest) {
            keep(state, **identity, std::span(records).subspan(first_unkept, i - first_unkept),
                 batch.frame);
            keep_marker(state, **identity, records[i]);
            first_unkept = i + 1;
            if (!hand_off_part(state)) return false;
        }
    }
    keep(state, **identity, std::span(records).subspan(first_unkept), batch.frame);
    return true;
}

std::unique_ptr<Part> cut_part(ProfilerState& state) {
    auto part = std::make_unique<Part>();
    // Read before anything is moved: a failure leaves the records where they are.
    if (!read_header(state, part->header)) return nullptr;
    part->recording = state.serial;
    part->db_path = state.db_path;
    part->timeout = state.sqlite_busy_timeout;
    // The trace id is copied first so that no two of the three locks are ever taken in two
    // orders.
    part->header.trace_id = *state.trace_id.lock();
    auto stored = state.frames_of_interest.lock();
    auto frames = state.frames.lock();
    // Measured in place: what the format cannot hold is refused before anything is taken.
    SizeCounter counter;
    write_trace(counter, part->header, *stored, *frames, false);
    part->bytes = counter.size();
    part->stored = std::move(*stored);
    stored->clear();
    part->frames.swap(*frames);
    state.held_bytes = 0;
    return part;
}

PyRef build_trace(ProfilerState& state) {
    std::unique_ptr<Part> part = cut_part(state);
    if (!part) return {};
    return trace_bytes(*part);
}

bool save_request_in_db(ProfilerState& state) {
    std::unique_ptr<Part> part = cut_part(state);
    if (!part) return false;
    std::string trace_id = part->header.trace_id;
    hand_off(std::move(part));
    PyRef failure;
    if (!wait_for_parts(state.serial, &state.db_path, failure)) return false;
    if (!failure) return true;
    PyErr_SetRaisedException(failure.release());
    note_kept(trace_id);
    return false;
}

bool hand_off_part(ProfilerState& state) {
    std::unique_ptr<Part> part = cut_part(state);
    if (!part) return false;
    hand_off(std::move(part));
    return true;
}

bool save_part_if_due(ProfilerState& state, ThreadValues& values) {
    resume_saver_after_fork();
    // What waits to be written is bounded (kWaiting, or the part size when larger: one part is
    // written while the next fills): the memory held, and the time the process's exit takes to
    // write it. Past it, the recording thread waits for the saver thread; when that writes nothing
    // for a second (the database waits for another writer, or the program holds a lock it needs),
    // recording pauses instead, until there is room again.
    const std::uint64_t waiting = std::max(state.part_size, kWaiting);
    auto room = [&] { return waiting > state.held_bytes ? waiting - state.held_bytes : 0; };
    // Asked at every event while paused, before anything else: what is held may have been handed
    // off meanwhile (a test's end cuts a part), and nothing is kept until recording goes on.
    if (state.saving_stalled) {
        if (bytes_waiting() > room())
            return true;  // asked again at the next event, without waiting
        auto identity = thread_identity(values);
        if (!identity.ok()) return false;
        state.saving_stalled = false;
        keep_stall_record(state, **identity, false);
    }
    if (state.part_size == 0 || state.held_bytes < state.part_size || state.stopped) return true;
    if (bytes_waiting() > room() && !wait_for_room(room(), kStall)) {
        auto identity = thread_identity(values);
        if (!identity.ok()) return false;
        keep_stall_record(state, **identity, true);
        state.saving_stalled = true;
        state.stalled_records = 0;
        return true;
    }
    return hand_off_part(state);
}

bool wait_for_saves(ProfilerState& state) {
    PyRef failure;
    if (!wait_for_parts(state.serial, &state.db_path, failure)) return false;
    if (!failure) return true;
    PyErr_SetRaisedException(failure.release());
    note_kept(*state.trace_id.lock());
    return false;
}

void restart_in_forked_child(ProfilerState& state, ThreadValues* values, std::string trace_id) {
    {
        auto id = state.trace_id.lock();
        auto stored = state.frames_of_interest.lock();
        auto frames = state.frames.lock();
        *id = std::move(trace_id);
        stored->clear();
        frames->clear();
    }
    forget_parents_parts();
    state.held_bytes = 0;
    state.trace_bytes = 0;
    state.trace_capped = false;
    state.saving_stalled = false;
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
    return kept_parts(state.serial);
}

}  // namespace vesk
