#include "profiler/frame_record.h"

#include <charconv>

namespace vesk {

namespace {

struct Digits {
    char text[24];
    std::size_t length;
    std::string_view view() const noexcept { return {text, length}; }
};

Digits decimal(std::uint64_t value) noexcept {
    Digits digits;
    auto result = std::to_chars(digits.text, digits.text + sizeof digits.text, value);
    digits.length = static_cast<std::size_t>(result.ptr - digits.text);
    return digits;
}

constexpr std::string_view kPath = "path";
constexpr std::string_view kCoName = "co_name";
constexpr std::string_view kQualname = "qualname";
constexpr std::string_view kEvent = "event";
constexpr std::string_view kFrameId = "frame_id";
constexpr std::string_view kArg = "arg";
constexpr std::string_view kLocals = "locals";
constexpr std::string_view kThread = "thread";
constexpr std::string_view kThreadNativeId = "thread_native_id";
constexpr std::string_view kType = "type";
constexpr std::string_view kFrame = "frame";
constexpr std::string_view kUserCodeCallSite = "user_code_call_site";
constexpr std::string_view kCallFrameId = "call_frame_id";
constexpr std::string_view kLineNumber = "line_number";

// Everything but the variable parts: 12 keys, the map header, the timestamp, "frame".
constexpr std::size_t kFixedSize =
    1 + (1 + kPath.size()) + (1 + kCoName.size()) + (1 + kQualname.size()) + (1 + kEvent.size()) +
    (1 + kFrameId.size()) + (1 + kArg.size()) + (1 + kLocals.size()) + (1 + kThread.size()) +
    (1 + kThreadNativeId.size()) + (1 + 9 + 9) + (1 + kType.size()) + (1 + kFrame.size()) +
    (1 + kUserCodeCallSite.size());

}  // namespace

SerializedValue write_frame_record(FrameRecordFields& fields) {
    Digits line = decimal(fields.line);
    std::size_t qualname_length =
        fields.qualname ? fields.qualname->module.size() + 1 + fields.qualname->qualname.size() : 0;

    std::size_t size = kFixedSize;
    size += str_size(fields.filename.size() + 1 + line.length);
    size += str_size(fields.co_name.size());
    size += fields.qualname ? str_size(qualname_length) : 1;
    size += str_size(fields.event.size());
    size += fields.frame_id ? str_size(kIdLength) : 1;
    size += fields.arg->size() + fields.locals->size();
    size += str_size(fields.thread_name.size());
    size += fields.thread_native_id ? uint_size(*fields.thread_native_id) : 1;
    if (fields.call_site) {
        size += 1 + (1 + kCallFrameId.size()) + str_size(kIdLength) + (1 + kLineNumber.size()) +
                int_size(fields.call_site->line_number);
    } else {
        size += 1;
    }

    MsgpackBuffer buffer(size);
    write_map_len(buffer, 12);
    write_str(buffer, kPath);
    write_str_parts(buffer, fields.filename, ":", line.view());
    write_str(buffer, kCoName);
    write_str(buffer, fields.co_name);
    write_str(buffer, kQualname);
    if (fields.qualname) {
        write_str_parts(buffer, fields.qualname->module, ".", fields.qualname->qualname);
    } else {
        write_nil(buffer);
    }
    write_str(buffer, kEvent);
    write_str(buffer, fields.event);
    write_key_optional_str(buffer, kFrameId,
                           fields.frame_id ? std::optional(fields.frame_id->view()) : std::nullopt);
    write_key_raw(buffer, kArg, *fields.arg);
    write_key_raw(buffer, kLocals, *fields.locals);
    write_str(buffer, kThread);
    write_str(buffer, fields.thread_name);
    write_key_optional_uint(buffer, kThreadNativeId, fields.thread_native_id);
    write_timestamp(buffer, fields.timestamp);
    write_str(buffer, kType);
    write_str(buffer, kFrame);
    write_str(buffer, kUserCodeCallSite);
    if (fields.call_site) {
        write_map_len(buffer, 2);
        write_str(buffer, kCallFrameId);
        write_str(buffer, fields.call_site->call_frame_id.view());
        write_str(buffer, kLineNumber);
        write_int(buffer, fields.call_site->line_number);
    } else {
        write_nil(buffer);
    }
    return buffer.take();
}

}  // namespace vesk
