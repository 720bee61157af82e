#pragma once
// A thread's nodes as `vesk export` lays them out, built one record at a time exactly as the
// companion package's _Track (python/vesk/export.py) builds them: per node its start, end,
// depth, flags and name in columns, and the JSON of its args in a spill. Pure C++.

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "reader/call_tree.h"

namespace vesk {

// JSON texts written once each, handed on in batches and read back by where they went.
class JsonSpill {
  public:
    using Where = std::pair<std::int64_t, std::int64_t>;  // (offset, length)

    // Where text went.
    Where add(std::string_view text) {
        auto where = static_cast<std::int64_t>(size_);
        pending_.append(text);
        size_ += text.size();
        return {where, static_cast<std::int64_t>(text.size())};
    }
    // add(), but bytes equal to bytes that add_once added since the last take() mostly go where
    // those went: a program hands the same object to many calls (self, a configuration).
    Where add_once(std::string_view bytes);
    std::size_t pending_size() const noexcept { return pending_.size(); }
    std::string take() {
        remembered_.fill({});
        return std::exchange(pending_, {});
    }

  private:
    struct Remembered {
        std::size_t at = 0, length = 0;  // in pending_; none when length is 0
    };

    std::string pending_;
    std::uint64_t size_ = 0;
    // By the hash of their bytes, one per slot: the latest.
    std::array<Remembered, 1024> remembered_{};
};

// The args that a returned call's records of how it ended (tree.py's is_fact) make, in the order
// export.py's _call_args makes them, kept as the records come, before the return value is known:
// the entries after those of its call record, the return value's among them until an exception
// drops it or a yield takes it.
class EndingArgs {
  public:
    EndingArgs() { entries_.push_back({Key::return_value, {}, true}); }

    // An exception record: the JSON of its text, and where it came from.
    void exception(std::string raised, TreeFields::Origin origin);
    // A generator record.
    void generator(bool resumed, bool yielded);
    // Appends the entries, the return value taken from the return record.
    bool write(std::string& args, RecordAccess& ret) const;

  private:
    enum class Key : std::uint8_t { return_value, raised, raised_in, resumed, yielded };
    struct Entry {
        Key key;
        std::string json;
        bool is_return_value;  // json is the return value's, to come
    };
    Entry* find(Key key);
    void set(Entry entry);

    std::vector<Entry> entries_;  // at most one per key
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
    bool fact(Open& call, const TreeFields& fields, RecordAccess& record);
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
    // returned() of a call with facts: out of line, as most have none.
    [[gnu::noinline]] bool returned_after_facts(Open& call, const TreeFields& fields,
                                                RecordAccess& record);
    // Its end, and its args closed.
    bool closed(std::int64_t index, std::string& args, const TreeFields& fields,
                const Number& start);
    void spill(std::int64_t index, std::string& args);
    // The EndingArgs of the open call of node index, if it has any.
    EndingArgs* ending_of(std::int64_t index) noexcept;

    JsonSpill& spill_;
    // Of the open calls that have any, innermost last: apart from the stack, whose calls stay
    // small (few calls have any).
    std::vector<std::pair<std::int64_t, EndingArgs>> endings_;
    std::unordered_map<std::string_view, std::int64_t> numbers_;  // keys borrow name_texts
};

// The nodes' sizes (node i holds nodes i+1 .. i+size-1) and parents (-1 at the top level), from
// the depths of nodes numbered depth first.
void tree_shape(const std::vector<std::int64_t>& depths, std::vector<std::int64_t>& sizes,
                std::vector<std::int64_t>& parents);

}  // namespace vesk
