#pragma once
// Keeping the records of each event, assembling everything kept into a trace, and handing the
// trace to the companion package's database saver.

#include <memory>
#include <string>
#include <vector>

#include "plugins/matching.h"
#include "profiler/bookkeeping.h"
#include "profiler/saver.h"
#include "profiler/state.h"
#include "utils/msgpack_writer.h"
#include "utils/pyref.h"

namespace vesk {

// The records of one event: plugin records in plugin order, then the frame record if any,
// written where it is kept.
struct EventBatch {
    std::vector<PluginRecord> plugin_records;
    const FrameRecordFields* frame = nullptr;
};

// Keeps the batch (reversed for a return, so a call reads plugins then frame and its return
// frame then plugins), routed by thread; in one-trace-per-test mode a "start_test" record opens
// a new trace and an "end_test" record saves the current one. False with the error indicator
// set when the thread's identity cannot be read or the save fails.
bool deliver_records(ProfilerState& state, ThreadValues& values, Event event, EventBatch& batch);

// The keys every record but a frame's begins with ("frame_id", "timestamp", "thread",
// "thread_native_id", "user_code_call_site", "type"), after the header of a map that has
// `more_keys` keys besides: the engine's own records are written with it.
template <class Stream>
void write_record_head(Stream& out, std::uint32_t more_keys, std::string_view frame_id,
                       double timestamp, const ThreadIdentity& thread, const CallSite* call_site,
                       std::string_view type) {
    write_map_len(out, 6 + more_keys);
    write_str(out, "frame_id");
    write_str(out, frame_id);
    write_timestamp(out, timestamp);
    write_str(out, "thread");
    write_str(out, thread.name);
    write_key_optional_uint(out, "thread_native_id", thread.native_id);
    write_str(out, "user_code_call_site");
    if (call_site != nullptr) {
        write_map_len(out, 2);
        write_str(out, "call_frame_id");
        write_str(out, call_site->call_frame_id.view());
        write_str(out, "line_number");
        write_int(out, call_site->line_number);
    } else {
        write_nil(out);
    }
    write_str(out, "type");
    write_str(out, type);
}

// Keeps one record of the engine's own, written whole, as the thread's next record. False with
// the error indicator set when the thread's identity cannot be read.
bool deliver_record(ProfilerState& state, ThreadValues& values, std::string_view record);

// Moves every kept record into a part of the trace (its header read from the companion first: a
// failure there leaves the records in place). Null with the error indicator set on failure.
std::unique_ptr<Part> cut_part(ProfilerState& state);

// Moves every kept record into a new trace, returned as bytes.
PyRef build_trace(ProfilerState& state);

// Cuts a part and hands it to the saver thread, then waits until it and every earlier part of this
// recording was tried (see profiler/saver.h). False with the error indicator set when one of them
// failed (it is kept for the next save, and a note on the failure says so), or when a signal
// handler raised while it waited.
bool save_request_in_db(ProfilerState& state);

// Cuts a part and hands it to the saver thread, without waiting. False with the error indicator
// set when the part cannot be cut (the records stay).
bool hand_off_part(ProfilerState& state);

// Hands the held records off as the trace's next part once they reach the profiler's part size:
// called where an event of the thread of `values` is done, with no lock of ours held. At most
// 64 MiB of records (or one part, when larger) wait to be written: past that, the thread waits for
// the saver thread; when that writes nothing for a second, recording pauses instead (a
// "recording_paused" record says so) until there is room again (a "recording_resumed" record
// says how many records were not kept).
bool save_part_if_due(ProfilerState& state, ThreadValues& values);

// Waits until every part this recording handed off was tried; fails as save_request_in_db does.
bool wait_for_saves(ProfilerState& state);

// In a child process made by fork(): what the parent held is the parent's to save, and the child
// records on under the trace id `trace_id` from a clean store, its calling thread being its main
// thread (the only thread a forked child has).
void restart_in_forked_child(ProfilerState& state, ThreadValues* values, std::string trace_id);

// The thread whose values these are ended: its list of records is complete.
void thread_ended(ProfilerState& state, const ThreadValues& values);

// How many traces (or parts of one) wait for the next save after a failed one.
std::size_t unsaved_traces(ProfilerState& state);

}  // namespace vesk
