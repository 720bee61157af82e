#pragma once
// A thread's calls added up per function, one record at a time, as `vesk stats` adds them up
// (StatsWalker in python/vesk/view/stats.py, which is the reference): per function (its name and
// file) how often it was called, and the time of its outermost calls and its own. Pure C++.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "reader/call_tree.h"

namespace vesk {

struct FunctionTotals {
    std::string name;
    std::string file;
    std::optional<std::int64_t> line;  // the first line any of its calls started at
    std::uint64_t calls = 0;
    std::uint64_t outer = 0;     // calls not made inside another call of it
    std::uint64_t returned = 0;  // calls that returned
    std::uint64_t timed = 0;     // outermost calls that returned
    double total = 0.0;
    double own = 0.0;
};

struct StatsOpen {
    std::size_t function = 0;
    bool outer = false;
    bool resumed = false;  // a generator's stretch after the first: its time, but no call
    double inner = 0.0;    // time of the calls it made that returned
};

class StatsTrack final : public CallTreeWalk<StatsTrack, StatsOpen> {
  public:
    bool feed(const TreeFields& fields, RecordAccess& record) override;

    // In the order their first calls came.
    std::vector<FunctionTotals> functions;
    // The plugin records that stand for nodes of their own (framework events among them), for
    // the companion package to count.
    std::vector<std::shared_ptr<const HeldRecord>> events;

    bool called(StatsOpen& open, const TreeFields& fields, RecordAccess& record,
                const Number& start, std::size_t depth);
    bool returned(Open& call, const TreeFields& fields, RecordAccess& record);
    bool left(Open& call);
    bool fact(Open& call, const TreeFields& fields, RecordAccess& record);
    bool event(const TreeFields& fields, RecordAccess& record, const Number& start,
               std::size_t depth);
    bool leaf(const TreeFields&, RecordAccess&, const Number&, std::size_t) { return true; }
    bool wrapped(const TreeFields&, RecordAccess&, const Number&) { return true; }

  private:
    std::unordered_map<std::string, std::size_t> index_;  // name, NUL, file -> function
    std::vector<std::uint32_t> running_;                  // per function: its calls open
    std::string key_;
};

// (file, line) of a record's "path" as stats.py reads it: "file:line" when the part after the
// last colon is digits and the part before is not empty, else the path whole and no line;
// ("?", none) without a path.
std::pair<std::string_view, std::optional<std::int64_t>> file_and_line(
    const std::optional<std::string_view>& path) noexcept;

}  // namespace vesk
