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

// The constant parts of a record, each with its MessagePack header, so that each is one copy:
// the map header with the first key, and every key (with what always follows it).
constexpr std::string_view kHeadAndPath = "\x8c\xa4path";
constexpr std::string_view kCoName =
    "\xa7"
    "co_name";
constexpr std::string_view kQualname = "\xa8qualname";
constexpr std::string_view kEvent =
    "\xa5"
    "event";
constexpr std::string_view kFrameId =
    "\xa8"
    "frame_id";
constexpr std::string_view kArg =
    "\xa3"
    "arg";
constexpr std::string_view kLocals = "\xa6locals";
constexpr std::string_view kThread = "\xa6thread";
constexpr std::string_view kThreadNativeId = "\xb0thread_native_id";
constexpr std::string_view kTimestamp = "\xa9timestamp";
constexpr std::string_view kTypeFrameCallSite =
    "\xa4type\xa5"
    "frame\xb3user_code_call_site";
constexpr std::string_view kCallFrameId =
    "\x82\xad"
    "call_frame_id";
constexpr std::string_view kLineNumber = "\xabline_number";

constexpr std::size_t kFixedSize = kHeadAndPath.size() + kCoName.size() + kQualname.size() +
                                   kEvent.size() + kFrameId.size() + kArg.size() + kLocals.size() +
                                   kThread.size() + kThreadNativeId.size() + kTimestamp.size() + 9 +
                                   kTypeFrameCallSite.size();

}  // namespace

SerializedValue write_frame_record(const FrameRecordFields& fields) {
    Digits line = decimal(fields.line);
    std::string_view module = fields.qualname ? fields.qualname->module.value_or("") : "";
    std::string_view dot = fields.qualname && fields.qualname->module ? "." : "";
    std::size_t qualname_length =
        fields.qualname ? module.size() + dot.size() + fields.qualname->qualname.size() : 0;

    std::size_t size = kFixedSize;
    size += str_size(fields.filename.size() + 1 + line.length);
    size += str_size(fields.co_name.size());
    size += fields.qualname ? str_size(qualname_length) : 1;
    size += str_size(fields.event.size());
    size += fields.frame_id ? str_size(kIdLength) : 1;
    size += fields.arg.size() + fields.locals.size();
    size += str_size(fields.thread_name.size());
    size += fields.thread_native_id ? uint_size(*fields.thread_native_id) : 1;
    if (fields.call_site) {
        size += kCallFrameId.size() + str_size(kIdLength) + kLineNumber.size() +
                int_size(fields.call_site->line_number);
    } else {
        size += 1;
    }

    SerializedValue record = SerializedValue::uninitialized(size);
    SpanStream out(record.data(), size);
    auto put = [&out](std::string_view bytes) { out.write(bytes.data(), bytes.size()); };
    put(kHeadAndPath);
    write_str_parts(out, fields.filename, ":", line.view());
    put(kCoName);
    write_str(out, fields.co_name);
    put(kQualname);
    if (fields.qualname) {
        write_str_parts(out, module, dot, fields.qualname->qualname);
    } else {
        write_nil(out);
    }
    put(kEvent);
    write_str(out, fields.event);
    put(kFrameId);
    write_optional_str(out,
                       fields.frame_id ? std::optional(fields.frame_id->view()) : std::nullopt);
    put(kArg);
    put(fields.arg);
    put(kLocals);
    put(fields.locals);
    put(kThread);
    write_str(out, fields.thread_name);
    put(kThreadNativeId);
    write_optional_uint(out, fields.thread_native_id);
    put(kTimestamp);
    write_f64(out, fields.timestamp);
    put(kTypeFrameCallSite);
    if (fields.call_site) {
        put(kCallFrameId);
        write_str(out, fields.call_site->call_frame_id.view());
        put(kLineNumber);
        write_int(out, fields.call_site->line_number);
    } else {
        write_nil(out);
    }
    if (out.remaining() != 0) internal_fault("Writing to memory, not I/O: the record is short");
    return record;
}

}  // namespace vesk
