#pragma once
// A thread's nodes as `vesk export` lays them out, built one record at a time exactly as the
// companion package's _Track (python/vesk/export.py) builds them: per node its start, end,
// depth, flags and name in columns, and the JSON of its args in a spill. Pure C++.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "utils/call_tree.h"

namespace vesk {

// JSON texts written once each, handed on in batches and read back by where they went.
class JsonSpill {
  public:
    // Where text went: (offset, length).
    std::pair<std::int64_t, std::int64_t> add(std::string_view text) {
        auto where = static_cast<std::int64_t>(size_);
        pending_.append(text);
        size_ += text.size();
        return {where, static_cast<std::int64_t>(text.size())};
    }
    std::size_t pending_size() const noexcept { return pending_.size(); }
    std::string take() { return std::exchange(pending_, {}); }

  private:
    std::string pending_;
    std::uint64_t size_ = 0;
};

struct TrackOpen {
    std::int64_t index = 0;
    std::string args;  // the JSON of its args so far: what its call record gives
};

class ExportTrack final : public CallTreeWalk<ExportTrack, TrackOpen> {
  public:
    // A node's flags.
    static constexpr std::uint8_t plugin_flag = 1, call_flag = 2, return_flag = 4;

    explicit ExportTrack(JsonSpill& spill) : spill_(spill) {}

    bool feed(const TreeFields& fields, RecordAccess& record) override;

    // Per node, numbered in the order its records make it.
    std::vector<double> starts, ends;  // NaN: no end
    std::vector<std::int64_t> depths;
    std::vector<std::uint8_t> flags;
    std::vector<std::int64_t> names, offsets, lengths;
    std::deque<std::string> name_texts;  // by number
    std::vector<std::int64_t> wrappers;  // the top-level returns without calls
    std::optional<Number> low, high;     // the earliest and latest finite timestamps

    bool called(TrackOpen& open, const TreeFields& fields, RecordAccess& record,
                const Number& start, std::size_t depth);
    bool returned(Open& call, const TreeFields& fields, RecordAccess& record);
    bool left(Open& call);
    bool event(const TreeFields& fields, RecordAccess& record, const Number& start,
               std::size_t depth);
    bool leaf(const TreeFields& fields, RecordAccess& record, const Number& start,
              std::size_t depth);
    bool wrapped(const TreeFields& fields, RecordAccess& record, const Number& start);

  private:
    std::int64_t node(const Number& start, std::size_t depth, std::uint8_t flags,
                      std::string_view name);
    // A node of a return: its end, and its args closed with the return value and note.
    bool ended(std::int64_t index, std::string& args, const TreeFields& fields,
               RecordAccess& record, const Number& start, std::string_view note);
    void spill(std::int64_t index, std::string& args);

    JsonSpill& spill_;
    std::unordered_map<std::string_view, std::int64_t> numbers_;  // keys borrow name_texts
};

}  // namespace vesk
