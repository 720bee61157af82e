#pragma once
// Reading MessagePack without building it: a cursor that reads headers, strings and integers and
// skips whole values, checked against the end of the bytes. Pure C++: no interpreter headers.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vesk {

class MsgpackReader {
  public:
    explicit MsgpackReader(std::string_view bytes) noexcept : bytes_(bytes) {}

    bool at_end() const noexcept { return position_ >= bytes_.size(); }
    // Whether everything read so far was well formed; once false, every read fails.
    bool ok() const noexcept { return ok_; }

    std::optional<std::uint32_t> map_header() noexcept;
    std::optional<std::uint32_t> array_header() noexcept;
    // A str (not a bin); its bytes are borrowed from the input.
    std::optional<std::string_view> str() noexcept;
    // Skips one whole value, however nested.
    bool skip() noexcept;

    // Whether the next value is nil, without reading it.
    bool next_is_nil() const noexcept {
        return ok_ && position_ < bytes_.size() &&
               static_cast<unsigned char>(bytes_[position_]) == 0xc0;
    }

  private:
    bool take(std::size_t count, const char*& at) noexcept;
    std::optional<std::uint64_t> big_endian(int size) noexcept;
    bool fail() noexcept {
        ok_ = false;
        return false;
    }

    std::string_view bytes_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

// What the trace list shows of one stored part, read without decoding its records: its source,
// the records of every thread, and the test that its threads' first or last records open or end.
struct TraceSummary {
    std::optional<std::string_view> source;
    std::optional<std::uint64_t> records;  // absent when the part is not a well-formed trace
    std::optional<std::string_view> test_nodeid;
    std::optional<std::string_view> test_outcome;
    std::optional<std::string_view> test_when;
};

// All absent when the bytes are not a trace map; texts are borrowed from the bytes.
TraceSummary summarise_trace(std::string_view bytes) noexcept;

}  // namespace vesk
