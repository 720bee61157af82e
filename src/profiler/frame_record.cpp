#include "profiler/frame_record.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>

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

namespace {

// A record is measured first and then written into exactly that room, so the writer needs no
// checks of its own: it stores bytes at a cursor, in MessagePack's shortest forms.
class Cursor {
  public:
    explicit Cursor(char* at) noexcept : at_(at) {}
    char* position() const noexcept { return at_; }

    // Most pieces are short (names, digits, small values): copied in place, a call into the C
    // library only for the longer ones.
    void put(std::string_view bytes) noexcept {
        const std::size_t n = bytes.size();
        const char* from = bytes.data();
        if (n >= 8 && n <= 16) {
            std::uint64_t head, tail;
            std::memcpy(&head, from, 8);
            std::memcpy(&tail, from + n - 8, 8);
            std::memcpy(at_, &head, 8);
            std::memcpy(at_ + n - 8, &tail, 8);
        } else if (n >= 4 && n < 8) {
            std::uint32_t head, tail;
            std::memcpy(&head, from, 4);
            std::memcpy(&tail, from + n - 4, 4);
            std::memcpy(at_, &head, 4);
            std::memcpy(at_ + n - 4, &tail, 4);
        } else if (n < 4) {
            for (std::size_t i = 0; i < n; ++i) at_[i] = from[i];
        } else {
            std::memcpy(at_, from, n);
        }
        at_ += n;
    }
    void byte(unsigned value) noexcept { *at_++ = static_cast<char>(value); }
    void big_endian(std::uint64_t value, int bytes) noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            const std::uint64_t swapped = __builtin_bswap64(value << (64 - 8 * bytes));
            std::memcpy(at_, &swapped, static_cast<std::size_t>(bytes));
            at_ += bytes;
        } else {
            for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) byte((value >> shift) & 0xff);
        }
    }
    void str_header(std::size_t length) noexcept {
        if (length < 32) {
            byte(0xa0 | static_cast<unsigned>(length));
        } else if (length < 256) {
            byte(0xd9);
            byte(static_cast<unsigned>(length));
        } else if (length < 65536) {
            byte(0xda);
            big_endian(length, 2);
        } else {
            byte(0xdb);
            big_endian(length, 4);
        }
    }
    void str(std::string_view text) noexcept {
        str_header(text.size());
        put(text);
    }
    void uint(std::uint64_t value) noexcept {
        if (value < 128) {
            byte(static_cast<unsigned>(value));
        } else if (value < 256) {
            byte(0xcc);
            byte(static_cast<unsigned>(value));
        } else if (value < 65536) {
            byte(0xcd);
            big_endian(value, 2);
        } else if (value <= 0xffffffffULL) {
            byte(0xce);
            big_endian(value, 4);
        } else {
            byte(0xcf);
            big_endian(value, 8);
        }
    }
    void int32(std::int32_t value) noexcept {
        if (value >= 0) {
            uint(static_cast<std::uint64_t>(value));
        } else if (value >= -32) {
            byte(static_cast<unsigned>(value) & 0xff);
        } else if (value >= -128) {
            byte(0xd0);
            byte(static_cast<unsigned>(value) & 0xff);
        } else if (value >= -32768) {
            byte(0xd1);
            big_endian(static_cast<std::uint32_t>(value), 2);
        } else {
            byte(0xd2);
            big_endian(static_cast<std::uint32_t>(value), 4);
        }
    }
    void f64(double value) noexcept {
        byte(0xcb);
        big_endian(std::bit_cast<std::uint64_t>(value), 8);
    }

  private:
    char* at_;
};

}  // namespace

std::size_t frame_record_size(const FrameRecordFields& fields) {
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
    // Strings are written with 32-bit lengths: refused here, before anything is written.
    checked_length(std::max({fields.filename.size() + 1 + line.length, qualname_length,
                             fields.co_name.size(), fields.thread_name.size()}));
    return size;
}

void write_frame_record(const FrameRecordFields& fields, char* into, std::size_t size) {
    constexpr unsigned kNil = 0xc0;
    Digits line = decimal(fields.line);
    Cursor out(into);
    out.put(kHeadAndPath);
    out.str_header(fields.filename.size() + 1 + line.length);
    out.put(fields.filename);
    out.byte(':');
    out.put(line.view());
    out.put(kCoName);
    out.str(fields.co_name);
    out.put(kQualname);
    if (fields.qualname) {
        const QualName& name = *fields.qualname;
        std::size_t module = name.module ? name.module->size() + 1 : 0;
        out.str_header(module + name.qualname.size());
        if (name.module) {
            out.put(*name.module);
            out.byte('.');
        }
        out.put(name.qualname);
    } else {
        out.byte(kNil);
    }
    out.put(kEvent);
    out.str(fields.event);
    out.put(kFrameId);
    if (fields.frame_id) {
        out.str(fields.frame_id->view());
    } else {
        out.byte(kNil);
    }
    out.put(kArg);
    out.put(fields.arg);
    out.put(kLocals);
    out.put(fields.locals);
    out.put(kThread);
    out.str(fields.thread_name);
    out.put(kThreadNativeId);
    if (fields.thread_native_id) {
        out.uint(*fields.thread_native_id);
    } else {
        out.byte(kNil);
    }
    out.put(kTimestamp);
    out.f64(fields.timestamp);
    out.put(kTypeFrameCallSite);
    if (fields.call_site) {
        out.put(kCallFrameId);
        out.str(fields.call_site->call_frame_id.view());
        out.put(kLineNumber);
        out.int32(fields.call_site->line_number);
    } else {
        out.byte(kNil);
    }
    if (out.position() != into + size) {
        internal_fault("Writing to memory, not I/O: the record's size was measured wrong");
    }
}

SerializedValue write_frame_record(const FrameRecordFields& fields) {
    std::size_t size = frame_record_size(fields);
    SerializedValue record = SerializedValue::uninitialized(size);
    write_frame_record(fields, record.data(), size);
    return record;
}

}  // namespace vesk
