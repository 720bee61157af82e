#pragma once
// Reading MessagePack without building it: a cursor that reads headers, strings and numbers and
// skips whole values, checked against the end of the bytes. Pure C++: no interpreter headers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace vesk {

// What a value is, by its first byte.
enum class MsgpackKind : std::uint8_t {
    nil,
    boolean,
    integer,
    real,
    str,
    bin,
    array,
    map,
    ext,
    bad
};

namespace detail {

constexpr MsgpackKind kind_of_marker(unsigned marker) noexcept {
    if (marker <= 0x7f || marker >= 0xe0) return MsgpackKind::integer;
    if (marker <= 0x8f) return MsgpackKind::map;
    if (marker <= 0x9f) return MsgpackKind::array;
    if (marker <= 0xbf) return MsgpackKind::str;
    if (marker == 0xc0) return MsgpackKind::nil;
    if (marker == 0xc2 || marker == 0xc3) return MsgpackKind::boolean;
    if (marker >= 0xc4 && marker <= 0xc6) return MsgpackKind::bin;
    if ((marker >= 0xc7 && marker <= 0xc9) || (marker >= 0xd4 && marker <= 0xd8)) {
        return MsgpackKind::ext;
    }
    if (marker == 0xca || marker == 0xcb) return MsgpackKind::real;
    if (marker >= 0xcc && marker <= 0xd3) return MsgpackKind::integer;
    if (marker >= 0xd9 && marker <= 0xdb) return MsgpackKind::str;
    if (marker == 0xdc || marker == 0xdd) return MsgpackKind::array;
    if (marker == 0xde || marker == 0xdf) return MsgpackKind::map;
    return MsgpackKind::bad;
}

constexpr std::array<MsgpackKind, 256> marker_kinds = [] {
    std::array<MsgpackKind, 256> kinds{};
    for (unsigned marker = 0; marker < 256; ++marker) kinds[marker] = kind_of_marker(marker);
    return kinds;
}();

bool is_utf8_beyond_ascii(std::string_view text) noexcept;

}  // namespace detail

inline MsgpackKind msgpack_kind(unsigned char marker) noexcept {
    return detail::marker_kinds[marker];
}

// An integer as MessagePack holds it: a negative one fits an int64, any other a uint64.
struct MsgpackInt {
    bool negative = false;
    std::uint64_t bits = 0;  // the uint64, or the int64's two's complement

    std::int64_t as_signed() const noexcept { return static_cast<std::int64_t>(bits); }
    friend bool operator==(const MsgpackInt&, const MsgpackInt&) = default;
};

// Whether text is UTF-8 as a strict decoder takes it: no overlong forms, no surrogates, nothing
// above U+10FFFF.
inline bool is_utf8(std::string_view text) noexcept {
    // Most recorded text is ASCII, and short: one pass over it says so.
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        seen |= word;
    }
    for (; i < text.size(); ++i) seen |= static_cast<unsigned char>(text[i]);
    return (seen & 0x8080808080808080u) == 0 || detail::is_utf8_beyond_ascii(text);
}

class MsgpackReader {
  public:
    explicit MsgpackReader(std::string_view bytes, std::size_t position = 0) noexcept
        : bytes_(bytes), position_(position) {}

    bool at_end() const noexcept { return position_ >= bytes_.size(); }
    std::size_t position() const noexcept { return position_; }
    std::string_view bytes() const noexcept { return bytes_; }
    // The kind of the next value, without reading it (bad at the end or after a failure).
    MsgpackKind next_kind() const noexcept {
        if (!ok_ || position_ >= bytes_.size()) return MsgpackKind::bad;
        return msgpack_kind(static_cast<unsigned char>(bytes_[position_]));
    }
    // Whether everything read so far was well formed; once false, every read fails.
    bool ok() const noexcept { return ok_; }

    std::optional<std::uint32_t> map_header() noexcept { return header(0x80, 0xde, 0xdf); }
    std::optional<std::uint32_t> array_header() noexcept { return header(0x90, 0xdc, 0xdd); }
    // A str (not a bin); its bytes are borrowed from the input.
    std::optional<std::string_view> str() noexcept {
        const char* at = nullptr;
        if (!take(1, at)) return std::nullopt;
        auto marker = static_cast<unsigned char>(*at);
        std::optional<std::uint64_t> length;
        if ((marker & 0xe0) == 0xa0) length = marker & 0x1f;
        if (marker == 0xd9) length = big_endian(1);
        if (marker == 0xda) length = big_endian(2);
        if (marker == 0xdb) length = big_endian(4);
        if (!length) return fail(), std::nullopt;
        const char* text = nullptr;
        if (!take(*length, text)) return std::nullopt;
        return std::string_view(text, *length);
    }
    std::optional<MsgpackInt> integer() noexcept;
    // A float32 or float64, as the double it decodes to.
    std::optional<double> real() noexcept;
    std::optional<bool> boolean() noexcept;
    // Skips one whole value, however nested.
    bool skip() noexcept;
    // Skips one whole value as skip() does, failing also where a decoder into interpreter objects
    // fails or may fail: text that is not UTF-8, a map key that is an array or a map (which would
    // not be hashable), a timestamp extension (whose payload the decoder checks), nesting deeper
    // than max_nesting. When the value is a map, on_entry(key, where its value starts) is told of
    // each of its keys that is a str.
    template <class OnEntry>
    bool skip_checked(OnEntry&& on_entry) noexcept;
    bool skip_checked() noexcept {
        return skip_checked([](std::string_view, std::size_t) {});
    }
    static constexpr std::size_t max_nesting = 256;

    // Whether the next value is nil, without reading it.
    bool next_is_nil() const noexcept {
        return ok_ && position_ < bytes_.size() &&
               static_cast<unsigned char>(bytes_[position_]) == 0xc0;
    }

  private:
    bool take(std::size_t count, const char*& at) noexcept {
        if (!ok_ || bytes_.size() - position_ < count) return fail();
        at = bytes_.data() + position_;
        position_ += count;
        return true;
    }
    std::optional<std::uint64_t> big_endian(int size) noexcept {
        const char* at = nullptr;
        if (!take(static_cast<std::size_t>(size), at)) return std::nullopt;
        std::uint64_t value = 0;
        for (int i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(at[i]);
        return value;
    }
    std::optional<std::uint32_t> header(unsigned char fixed, unsigned char two,
                                        unsigned char four) noexcept {
        const char* at = nullptr;
        if (!take(1, at)) return std::nullopt;
        auto marker = static_cast<unsigned char>(*at);
        if ((marker & 0xf0) == fixed) return marker & 0x0f;
        std::optional<std::uint64_t> count;
        if (marker == two) count = big_endian(2);
        if (marker == four) count = big_endian(4);
        if (!count) return fail(), std::nullopt;
        return static_cast<std::uint32_t>(*count);
    }
    bool fail() noexcept {
        ok_ = false;
        return false;
    }

    std::string_view bytes_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

namespace detail {

// How skip_checked takes a value, by its first byte: what follows it, and how long the length
// or count that follows it is (or, for fixed sizes, the payload).
enum class Take : std::uint8_t {
    payload,
    fixstr,
    str,
    bin,
    ext,
    fixext,
    fixarray,
    array,
    fixmap,
    map,
    bad
};
struct Step {
    Take take;
    std::uint8_t size;
};

constexpr Step step_of_marker(unsigned marker) noexcept {
    if (marker <= 0x7f || marker >= 0xe0) return {Take::payload, 0};
    if (marker <= 0x8f) return {Take::fixmap, 0};
    if (marker <= 0x9f) return {Take::fixarray, 0};
    if (marker <= 0xbf) return {Take::fixstr, 0};
    switch (marker) {
        case 0xc0:
        case 0xc2:
        case 0xc3:
            return {Take::payload, 0};
        case 0xc4:
            return {Take::bin, 1};
        case 0xc5:
            return {Take::bin, 2};
        case 0xc6:
            return {Take::bin, 4};
        case 0xc7:
            return {Take::ext, 1};
        case 0xc8:
            return {Take::ext, 2};
        case 0xc9:
            return {Take::ext, 4};
        case 0xca:
        case 0xce:
        case 0xd2:
            return {Take::payload, 4};
        case 0xcb:
        case 0xcf:
        case 0xd3:
            return {Take::payload, 8};
        case 0xcc:
        case 0xd0:
            return {Take::payload, 1};
        case 0xcd:
        case 0xd1:
            return {Take::payload, 2};
        case 0xd4:
            return {Take::fixext, 1};
        case 0xd5:
            return {Take::fixext, 2};
        case 0xd6:
            return {Take::fixext, 4};
        case 0xd7:
            return {Take::fixext, 8};
        case 0xd8:
            return {Take::fixext, 16};
        case 0xd9:
            return {Take::str, 1};
        case 0xda:
            return {Take::str, 2};
        case 0xdb:
            return {Take::str, 4};
        case 0xdc:
            return {Take::array, 2};
        case 0xdd:
            return {Take::array, 4};
        case 0xde:
            return {Take::map, 2};
        case 0xdf:
            return {Take::map, 4};
        default:
            return {Take::bad, 0};  // 0xc1, never used
    }
}

constexpr std::array<Step, 256> marker_steps = [] {
    std::array<Step, 256> steps{};
    for (unsigned marker = 0; marker < 256; ++marker) steps[marker] = step_of_marker(marker);
    return steps;
}();

}  // namespace detail

template <class OnEntry>
bool MsgpackReader::skip_checked(OnEntry&& on_entry) noexcept {
    using detail::Take;
    // Per open container, the values still to read in it; in a map, an even count left means
    // that a key comes next.
    struct Level {
        std::uint64_t left;
        bool map;
    };
    std::array<Level, max_nesting> levels;
    std::size_t depth = 0;
    const char* data = bytes_.data();
    const std::size_t size = bytes_.size();
    std::size_t at = position_;
    if (!ok_) return false;
    auto length = [&](unsigned width, std::uint64_t& value) {
        if (size - at < width) return false;
        value = 0;
        for (unsigned i = 0; i < width; ++i) {
            value = (value << 8) | static_cast<unsigned char>(data[at++]);
        }
        return true;
    };
    do {
        bool key = false;
        if (depth > 0) {
            Level& level = levels[depth - 1];
            key = level.map && level.left % 2 == 0;
            --level.left;
        }
        if (at >= size) return fail();
        auto marker = static_cast<unsigned char>(data[at++]);
        detail::Step step = detail::marker_steps[marker];
        std::uint64_t count = 0;
        bool map = false;
        switch (step.take) {
            case Take::payload:
                if (size - at < step.size) return fail();
                at += step.size;
                break;
            case Take::fixstr:
            case Take::str: {
                std::uint64_t bytes = marker & 0x1f;
                if (step.take == Take::str && !length(step.size, bytes)) return fail();
                if (size - at < bytes) return fail();
                std::string_view text(data + at, bytes);
                if (!is_utf8(text)) return fail();
                at += bytes;
                if (key && depth == 1) on_entry(text, at);
                break;
            }
            case Take::bin: {
                std::uint64_t bytes = 0;
                if (!length(step.size, bytes) || size - at < bytes) return fail();
                at += bytes;
                break;
            }
            case Take::ext:
            case Take::fixext: {
                std::uint64_t bytes = step.size;
                if (step.take == Take::ext && !length(step.size, bytes)) return fail();
                // Then its type byte: -1 is a timestamp, whose payload the decoder checks.
                if (size - at <= bytes || static_cast<unsigned char>(data[at]) == 0xff) {
                    return fail();
                }
                at += bytes + 1;
                break;
            }
            case Take::fixmap:
            case Take::map:
                map = true;
                [[fallthrough]];
            case Take::fixarray:
            case Take::array:
                count = marker & 0x0f;
                if ((step.take == Take::map || step.take == Take::array) &&
                    !length(step.size, count)) {
                    return fail();
                }
                // A list or dict as a key would not be hashable.
                if (key || depth == max_nesting) return fail();
                if (count > 0) levels[depth++] = {map ? 2 * count : count, map};
                break;
            case Take::bad:
                return fail();
        }
        while (depth > 0 && levels[depth - 1].left == 0) --depth;
    } while (depth > 0);
    position_ = at;
    return true;
}

// What the trace list shows of one stored part, read without decoding its records: its source,
// the records of every thread, and the test that its threads' first or last records open or end.
struct TraceSummary {
    std::optional<std::string_view> source;
    std::optional<std::uint64_t> records;  // absent when the part is not a well-formed trace
    std::optional<std::string_view> test_nodeid;
    std::optional<std::string_view> test_outcome;
    std::optional<std::string_view> test_when;
    std::optional<double> started;  // when the recording of the trace began (unix time)
};

// All absent when the bytes are not a trace map; texts are borrowed from the bytes.
TraceSummary summarise_trace(std::string_view bytes) noexcept;

}  // namespace vesk
