#pragma once
// The part of a thread's call tree that a view of so many levels and lines shows, built one
// record at a time exactly as the companion package's Outline (python/vesk/view/outline.py)
// builds it, whose docstrings tell why it keeps what it keeps. Pure C++: the nodes hold their
// records as the reader handed them over.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "reader/call_tree.h"

namespace vesk {

struct OutlineNode {
    std::int64_t depth = 0;  // the calls enclosing it when it was recorded
    std::int64_t wraps = 0;  // top-level returns without calls before it
    bool has_next = false;   // a later sibling
    std::int64_t size = 1;   // nodes in its subtree
    // A plugin record is its node's call; a return without its call has none.
    std::shared_ptr<const HeldRecord> call, ret;
    // The latest of its records of how it ended, of each kind: all that a line shows of them.
    std::shared_ptr<const HeldRecord> exception, generator;
    Number start;
    bool plugin = false;
};

struct OutlineOpen {
    std::shared_ptr<OutlineNode> kept;
    std::int64_t begin = 0;  // nodes before its first child
    std::shared_ptr<OutlineNode> last_kept;
};

class Outline final : public CallTreeWalk<Outline, OutlineOpen> {
  public:
    // depth: levels (none: all); limit: lines (none: all).
    Outline(std::optional<std::int64_t> depth, std::optional<std::int64_t> limit);

    bool feed(const TreeFields& fields, RecordAccess& record) override;

    struct Line {
        const OutlineNode* node;
        std::int64_t level;
        bool is_last;
        std::int64_t hidden;  // nodes under a node at the last level shown
    };
    std::vector<Line> lines() const;
    // (calls, events) within the depth, of which the lines show some; none without a line limit.
    std::optional<std::pair<std::int64_t, std::int64_t>> totals() const;
    // Every "path" of the records.
    const std::unordered_set<std::string>& paths() const noexcept { return paths_; }
    std::size_t kept_count() const noexcept { return kept_.size(); }

    bool called(OutlineOpen& open, const TreeFields& fields, RecordAccess& record,
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
    std::shared_ptr<OutlineNode> place(std::int64_t depth, bool plugin);
    bool shown(std::int64_t depth);
    void prune();

    std::optional<std::int64_t> depth_limit_, line_limit_;
    std::unordered_set<std::string> paths_;
    std::string last_path_;
    std::int64_t count_ = 0;
    std::int64_t wraps_ = 0;
    std::vector<std::shared_ptr<OutlineNode>> kept_;
    std::deque<std::shared_ptr<OutlineNode>> wrappers_;
    std::optional<std::size_t> wrappers_bound_;
    std::shared_ptr<OutlineNode> last_top_;
    std::vector<std::int64_t> seen_;
    bool full_ = false;
    std::int64_t calls_ = 0, events_ = 0;
    // Per depth, the calls and plugin records since each of the last top-level returns without
    // calls.
    std::deque<std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>>> since_;
};

}  // namespace vesk
