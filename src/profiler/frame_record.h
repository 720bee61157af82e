#pragma once
// The frame record: one MessagePack map of 12 entries for one call or return of a frame of
// interest, written in one buffer allocated once.

#include <cstdint>
#include <optional>
#include <string_view>

#include "utils/ids.h"
#include "utils/msgpack_writer.h"

namespace vesk {

// A qualified name, "<module>.<qualname>", kept as its two parts; code run in globals without
// a "__name__" has no module part.
struct QualName {
    std::optional<std::string_view> module;
    std::string_view qualname;
};

struct FrameRecordFields {
    std::string_view filename;  // relative to the working directory when inside it
    std::uint64_t line = 0;     // "path" is filename:line
    std::string_view co_name;
    std::optional<QualName> qualname;
    std::string_view event;
    const Id* frame_id = nullptr;  // null when a return's call was not seen
    std::string_view arg;          // one serialised value each, embedded as they are
    std::string_view locals;
    std::string_view thread_name;
    std::optional<std::uint64_t> thread_native_id;
    double timestamp = 0.0;
    const CallSite* call_site = nullptr;  // null when there is none
};

// The record's size, and the record written into exactly that many bytes at `into`.
std::size_t frame_record_size(const FrameRecordFields& fields);
void write_frame_record(const FrameRecordFields& fields, char* into, std::size_t size);

// The record's bytes, in one allocation of exactly their size.
SerializedValue write_frame_record(const FrameRecordFields& fields);

}  // namespace vesk
