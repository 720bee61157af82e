#pragma once
// A trace as MessagePack: the map of 8 entries that docs/stored-layout.md describes, its records
// embedded as they were written, never decoded.

#include <map>

#include "profiler/record_chunks.h"
#include "profiler/saver.h"
#include "utils/msgpack_writer.h"

namespace vesk {

template <class Stream>
void write_records(Stream& out, RecordChunks& records, bool release) {
    write_array_len(out, checked_length(records.count()));
    records.write_to(out, release);
}

// With `release`, each block of records goes as soon as it is copied, so that a trace never
// exists twice in memory. Refuses (TooLarge) what the format cannot hold, before anything is
// written when measured first with a SizeCounter.
template <class Stream>
void write_trace(Stream& out, const TraceHeader& header, RecordChunks& stored,
                 std::map<std::uint64_t, RecordChunks>& frames, bool release) {
    write_map_len(out, 8);
    write_str(out, "command_line_args");
    write_array_len(out, checked_length(header.argv.size()));
    for (const auto& arg : header.argv) write_str(out, arg);
    write_key_optional_str(
        out, "current_commit_sha",
        header.commit_sha ? std::optional<std::string_view>(*header.commit_sha) : std::nullopt);
    write_str(out, "frames");
    write_map_len(out, checked_length(frames.size()));
    for (auto& [native_id, records] : frames) {
        write_uint(out, native_id);
        write_records(out, records, release);
    }
    write_str(out, "frames_of_interest");
    write_records(out, stored, release);
    write_key_optional_uint(out, "main_thread_id", header.main_thread_id);
    write_str(out, "meta");
    write_map_len(out, 3);
    write_str(out, "version");
    write_str(out, header.version);
    write_str(out, "source");
    write_str(out, header.source);
    write_str(out, "use_frame_boundaries");
    write_bool(out, true);
    write_timestamp(out, header.timestamp);
    write_str(out, "trace_id");
    write_str(out, header.trace_id);
}

}  // namespace vesk
