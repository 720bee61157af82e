#pragma once
// The MessagePack writers of the engine: records and traces are written straight into memory, in
// the shortest forms, with floats always in their full width, and with values that are already
// serialised appended verbatim. Pure C++: no interpreter headers.
//
// Every writer works on any stream with write(const char*, size_t): a growable MsgpackBuffer, a
// SpanStream over memory sized in advance, or a SizeCounter that only adds up what would be
// written, so that a trace can be measured first and then written once into its final place.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <msgpack.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "utils/bytes.h"
#include "utils/fault.h"

namespace vesk {

// A growable byte buffer; its bytes move out without a copy.
class MsgpackBuffer {
  public:
    MsgpackBuffer() = default;
    explicit MsgpackBuffer(std::size_t capacity) { bytes_.reserve(capacity); }

    void write(const char* data, std::size_t size) { bytes_.append(data, size); }

    std::size_t size() const noexcept { return bytes_.size(); }
    const std::string& bytes() const noexcept { return bytes_; }
    std::string take() noexcept { return std::move(bytes_); }

  private:
    std::string bytes_;
};

// Writes into memory whose size was computed beforehand.
class SpanStream {
  public:
    SpanStream(char* begin, std::size_t size) : cursor_(begin), end_(begin + size) {}

    void write(const char* data, std::size_t size) {
        if (size > static_cast<std::size_t>(end_ - cursor_)) {
            internal_fault("Writing to memory, not I/O: the buffer is smaller than measured");
        }
        std::memcpy(cursor_, data, size);
        cursor_ += size;
    }
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - cursor_); }

  private:
    char* cursor_;
    char* end_;
};

class SizeCounter {
  public:
    void write(const char*, std::size_t size) noexcept { size_ += size; }
    std::size_t size() const noexcept { return size_; }

  private:
    std::size_t size_ = 0;
};

[[noreturn]] void refuse_length(std::size_t length);

// A length or count in the 32 bits that MessagePack gives it.
inline std::uint32_t checked_length(std::size_t length) {
    if (length > 0xffffffffU) [[unlikely]]
        refuse_length(length);
    return static_cast<std::uint32_t>(length);
}

// Encoded sizes, for reserving a buffer once before writing.
inline std::size_t str_size(std::size_t length) noexcept {
    if (length < 32) return 1 + length;
    if (length < 256) return 2 + length;
    if (length < 65536) return 3 + length;
    return 5 + length;
}
inline std::size_t uint_size(std::uint64_t value) noexcept {
    if (value < 128) return 1;
    if (value < 256) return 2;
    if (value < 65536) return 3;
    if (value <= 0xFFFFFFFFull) return 5;
    return 9;
}
inline std::size_t int_size(std::int64_t value) noexcept {
    if (value >= 0) return uint_size(static_cast<std::uint64_t>(value));
    if (value >= -32) return 1;
    if (value >= -128) return 2;
    if (value >= -32768) return 3;
    if (value >= INT32_MIN) return 5;
    return 9;
}

template <class Stream>
[[gnu::always_inline]] inline void write_str(Stream& out, std::string_view text) {
    msgpack::packer<Stream> packer(out);
    packer.pack_str(checked_length(text.size()));
    out.write(text.data(), text.size());
}

// A str whose text is the concatenation of the parts, without joining them first.
template <class Stream>
[[gnu::always_inline]] inline void write_str_parts(Stream& out, std::string_view first,
                                                   std::string_view second,
                                                   std::string_view third) {
    msgpack::packer<Stream>(out).pack_str(
        checked_length(first.size() + second.size() + third.size()));
    out.write(first.data(), first.size());
    out.write(second.data(), second.size());
    out.write(third.data(), third.size());
}

template <class Stream>
void write_uint(Stream& out, std::uint64_t value) {
    msgpack::packer<Stream>(out).pack_uint64(value);
}

// Non-negative values in the unsigned forms, negative ones in the shortest signed form.
template <class Stream>
void write_int(Stream& out, std::int64_t value) {
    if (value >= 0) {
        msgpack::packer<Stream>(out).pack_uint64(static_cast<std::uint64_t>(value));
    } else {
        msgpack::packer<Stream>(out).pack_int64(value);
    }
}

template <class Stream>
void write_nil(Stream& out) {
    msgpack::packer<Stream>(out).pack_nil();
}

template <class Stream>
void write_bool(Stream& out, bool value) {
    char byte = value ? static_cast<char>(0xc3) : static_cast<char>(0xc2);
    out.write(&byte, 1);
}

// msgpack-cxx writes a float with an integral value as an integer; ours keep their width.
template <class Stream>
void write_f32(Stream& out, float value) {
    auto bits = std::bit_cast<std::uint32_t>(value);
    char bytes[5] = {static_cast<char>(0xca)};
    for (int i = 0; i < 4; ++i) bytes[1 + i] = static_cast<char>(bits >> (24 - 8 * i));
    out.write(bytes, sizeof bytes);
}

template <class Stream>
void write_f64(Stream& out, double value) {
    auto bits = std::bit_cast<std::uint64_t>(value);
    char bytes[9] = {static_cast<char>(0xcb)};
    for (int i = 0; i < 8; ++i) bytes[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
    out.write(bytes, sizeof bytes);
}

template <class Stream>
void write_map_len(Stream& out, std::uint32_t count) {
    msgpack::packer<Stream>(out).pack_map(count);
}

template <class Stream>
void write_array_len(Stream& out, std::uint32_t count) {
    msgpack::packer<Stream>(out).pack_array(count);
}

// The value, or nil when it is absent.
template <class Stream>
void write_optional_str(Stream& out, std::optional<std::string_view> value) {
    if (value) {
        write_str(out, *value);
    } else {
        write_nil(out);
    }
}

template <class Stream>
void write_optional_uint(Stream& out, std::optional<std::uint64_t> value) {
    if (value) {
        write_uint(out, *value);
    } else {
        write_nil(out);
    }
}

template <class Stream>
void write_key_optional_str(Stream& out, std::string_view key,
                            std::optional<std::string_view> value) {
    write_str(out, key);
    write_optional_str(out, value);
}

template <class Stream>
void write_key_optional_uint(Stream& out, std::string_view key,
                             std::optional<std::uint64_t> value) {
    write_str(out, key);
    write_optional_uint(out, value);
}

// The key, then the serialised value's bytes as they are.
template <class Stream>
void write_key_raw(Stream& out, std::string_view key, std::string_view value) {
    write_str(out, key);
    out.write(value.data(), value.size());
}

// The key "timestamp", then the seconds as a float 64.
template <class Stream>
void write_timestamp(Stream& out, double seconds) {
    write_str(out, "timestamp");
    write_f64(out, seconds);
}

// An array of serialised values, their bytes concatenated as they are.
template <class Stream>
void write_raw_array(Stream& out, const std::vector<SerializedValue>& values) {
    write_array_len(out, checked_length(values.size()));
    for (const auto& value : values) out.write(value.data(), value.size());
}

// A value tree for what the engine builds in memory before writing.
struct Value;
struct Binary {
    std::string bytes;
};
struct Extension {
    std::int8_t type;
    std::string data;
};
using Array = std::vector<Value>;
using Map = std::vector<std::pair<Value, Value>>;

struct Value {
    std::variant<std::monostate, bool, std::uint64_t, std::int64_t, float, double, std::string,
                 Binary, Array, Map, Extension>
        data;
};

bool is_valid_utf8(std::string_view text) noexcept;

// Strings that are not valid UTF-8 are written as binary.
template <class Stream>
void write_value(Stream& out, const Value& value) {
    struct Writer {
        Stream& out;
        void operator()(std::monostate) const { write_nil(out); }
        void operator()(bool flag) const { write_bool(out, flag); }
        void operator()(std::uint64_t number) const { write_uint(out, number); }
        void operator()(std::int64_t number) const { write_int(out, number); }
        void operator()(float number) const { write_f32(out, number); }
        void operator()(double number) const { write_f64(out, number); }
        void operator()(const std::string& text) const {
            if (is_valid_utf8(text)) {
                write_str(out, text);
            } else {
                (*this)(Binary{text});
            }
        }
        void operator()(const Binary& binary) const {
            auto size = checked_length(binary.bytes.size());
            msgpack::packer<Stream>(out).pack_bin(size);
            out.write(binary.bytes.data(), size);
        }
        void operator()(const Array& array) const {
            write_array_len(out, checked_length(array.size()));
            for (const auto& element : array) write_value(out, element);
        }
        void operator()(const Map& map) const {
            write_map_len(out, checked_length(map.size()));
            for (const auto& [key, element] : map) {
                write_value(out, key);
                write_value(out, element);
            }
        }
        void operator()(const Extension& extension) const {
            auto size = checked_length(extension.data.size());
            msgpack::packer<Stream>(out).pack_ext(size, extension.type);
            out.write(extension.data.data(), size);
        }
    };
    std::visit(Writer{out}, value.data);
}

}  // namespace vesk
