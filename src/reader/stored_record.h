#pragma once
// A stored record read where it lies in its part, without decoding it into interpreter objects:
// first where each of the keys a reader of the call tree needs has its value (skim_record, which
// also checks that the whole record would decode), then those values as the tree takes them
// (tree_fields). Pure C++: no interpreter headers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "reader/msgpack_reader.h"

namespace vesk {

// A number as the companion package decodes it, an int or a float, compared exactly as the
// interpreter compares them (long double holds every 64-bit integer and every double).
static_assert(std::numeric_limits<long double>::digits >= 64);
struct Number {
    long double value = 0;
    bool integer = false;

    static Number of(const MsgpackInt& number) noexcept {
        return {number.negative ? static_cast<long double>(number.as_signed())
                                : static_cast<long double>(number.bits),
                true};
    }
    static Number of(double number) noexcept { return {number, false}; }

    // As the interpreter's float(): the nearest double.
    double as_double() const noexcept { return static_cast<double>(value); }
    // An int, or a float that is neither infinite nor NaN.
    bool finite() const noexcept {
        return integer || (value - value == 0);  // NaN and infinities fail
    }
    friend bool operator<(const Number& a, const Number& b) noexcept { return a.value < b.value; }
    friend bool operator==(const Number& a, const Number& b) noexcept { return a.value == b.value; }
};

// The keys of a record that readers look at.
enum class RecordKey : std::uint8_t {
    type,
    event,
    frame_id,
    timestamp,
    thread,
    thread_native_id,
    path,
    co_name,
    qualname,
    arg,
    locals,
    user_code_call_site,
    count
};

// Where a record and the values of its keys are in its part. A key given twice counts once, with
// its last value, as in the decoded map.
struct StoredRecord {
    static constexpr std::size_t absent = std::numeric_limits<std::size_t>::max();

    std::size_t start = 0;
    std::size_t end = 0;
    std::array<std::size_t, static_cast<std::size_t>(RecordKey::count)> at;

    std::size_t value_at(RecordKey key) const noexcept { return at[static_cast<std::size_t>(key)]; }
};

enum class Skimmed : std::uint8_t {
    record,     // a map: the record is found
    not_a_map,  // some other value, which readers pass over
    unreadable  // would not decode, or might not (see MsgpackReader::skip_checked)
};

// Reads the value at the reader's position, noting where the record's keys are; the reader ends
// after it, unless it is unreadable.
Skimmed skim_record(MsgpackReader& reader, StoredRecord& record) noexcept;

// What the call tree takes of a record, as the walkers of the companion package read a decoded
// one: each field absent unless it has the type they check for. Texts are borrowed.
struct TreeFields {
    enum class Event : std::uint8_t { other, call, ret };
    // A record that tells how the call around it ended rather than standing for a node of its own
    // (tree.py's is_fact): a generator's stretch, or an exception whose "caught" is not true.
    enum class Fact : std::uint8_t { none, exception, generator };
    enum class Origin : std::uint8_t { other, raised, callee };

    bool plugin = false;  // "type" given and other than "frame"
    Event event = Event::other;
    Fact fact = Fact::none;
    // Of a fact only: "resumed" and "yielded" true, "origin" one of the two the engine writes.
    bool resumed = false;
    bool yielded = false;
    Origin origin = Origin::other;
    std::optional<std::string_view> frame_id;
    std::optional<Number> timestamp;  // an int or a float, whatever its value
    std::optional<std::string_view> thread;
    std::optional<Number> native_id;  // an int
    std::optional<std::string_view> path;
    std::string_view name = "?";  // the first non-empty text of "qualname" and "co_name"
    bool module = false;          // "co_name" is "<module>"
};

TreeFields tree_fields(std::string_view part, const StoredRecord& record) noexcept;

// The text at `at` in part, if a str is there.
std::optional<std::string_view> text_at(std::string_view part, std::size_t at) noexcept;

}  // namespace vesk
