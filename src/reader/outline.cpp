#include "reader/outline.h"

#include <algorithm>

namespace vesk {

Outline::Outline(std::optional<std::int64_t> depth, std::optional<std::int64_t> limit) {
    // Top-level nodes show whatever the depth.
    if (depth) depth = std::max<std::int64_t>(*depth, 1);
    if (limit) limit = std::max<std::int64_t>(*limit, 0);
    depth_limit_ = depth;
    line_limit_ = limit;
    if (depth && limit) {
        wrappers_bound_ = static_cast<std::size_t>(std::min(*depth, *limit));
    } else if (depth || limit) {
        wrappers_bound_ = static_cast<std::size_t>(depth ? *depth : *limit);
    }
    seen_.assign(static_cast<std::size_t>(depth.value_or(1)), 0);
    if (depth) since_.emplace_back();
}

bool Outline::feed(const TreeFields& fields, RecordAccess& record) {
    if (fields.path && *fields.path != last_path_) {
        last_path_.assign(*fields.path);
        paths_.insert(last_path_);
    }
    return walk(fields, record);
}

std::shared_ptr<OutlineNode> Outline::place(std::int64_t depth, bool plugin) {
    ++count_;
    if (!depth_limit_) {
        ++(plugin ? events_ : calls_);
    } else if (depth < *depth_limit_) {
        auto& counts = plugin ? since_.back().second : since_.back().first;
        auto at = static_cast<std::size_t>(depth);
        if (at >= counts.size()) counts.resize(at + 1, 0);
        ++counts[at];
    }
    OutlineOpen* parent = innermost();
    std::shared_ptr<OutlineNode>& previous = parent != nullptr ? parent->last_kept : last_top_;
    if (previous) previous->has_next = true;
    std::shared_ptr<OutlineNode> kept;
    if (!full_ && shown(depth)) {
        kept = std::make_shared<OutlineNode>();
        kept->depth = depth;
        kept->wraps = wraps_;
        kept_.push_back(kept);
    }
    previous = kept;
    return kept;
}

bool Outline::shown(std::int64_t depth) {
    if (!depth_limit_) {
        if (!line_limit_) return true;
        if (seen_[0] < *line_limit_ - wraps_) {
            ++seen_[0];
            return true;
        }
        full_ = true;
        return false;
    }
    std::int64_t limit = *depth_limit_;
    if (depth >= limit) return false;
    if (!line_limit_) return true;
    // Scenario a (a more top-level returns without calls to come) shows the node if it is
    // within the depth and lines are left: those returns take one each, down to the depth.
    bool any = false;
    for (std::int64_t a = 0; a < limit - depth; ++a) {
        auto& seen = seen_[static_cast<std::size_t>(a)];
        if (seen < *line_limit_ - std::min(wraps_ + a, limit)) any = true;
        ++seen;
    }
    if (!any && depth == 0) full_ = true;  // a top-level node is within every scenario's depth
    return any;
}

bool Outline::called(OutlineOpen& open, const TreeFields&, RecordAccess& record,
                     const Number& start, std::size_t depth) {
    open.kept = place(static_cast<std::int64_t>(depth), false);
    if (open.kept) {
        open.kept->call = record.hold();
        open.kept->start = start;
    }
    open.begin = count_;
    return true;
}

bool Outline::returned(Open& call, const TreeFields&, RecordAccess& record) {
    if (call.payload.kept) {
        call.payload.kept->ret = record.hold();
        call.payload.kept->size = 1 + count_ - call.payload.begin;
    }
    return true;
}

bool Outline::left(Open& call) {
    if (call.payload.kept) call.payload.kept->size = 1 + count_ - call.payload.begin;
    return true;
}

bool Outline::fact(Open& call, const TreeFields& fields, RecordAccess& record) {
    if (const auto& kept = call.payload.kept) {
        auto& latest =
            fields.fact == TreeFields::Fact::exception ? kept->exception : kept->generator;
        latest = record.hold();
    }
    return true;
}

bool Outline::event(const TreeFields&, RecordAccess& record, const Number& start,
                    std::size_t depth) {
    if (auto kept = place(static_cast<std::int64_t>(depth), true)) {
        kept->call = record.hold();
        kept->start = start;
        kept->plugin = true;
    }
    return true;
}

bool Outline::leaf(const TreeFields&, RecordAccess& record, const Number& start,
                   std::size_t depth) {
    if (auto kept = place(static_cast<std::int64_t>(depth), false)) {
        kept->ret = record.hold();
        kept->start = start;
    }
    return true;
}

bool Outline::wrapped(const TreeFields&, RecordAccess& record, const Number& start) {
    // The previous top-level node gets no sibling: it becomes this one's last child.
    auto wrapper = std::make_shared<OutlineNode>();
    wrapper->wraps = wraps_;
    wrapper->ret = record.hold();
    wrapper->start = start;
    wrapper->size = 1 + count_;
    ++count_;
    ++wraps_;
    wrappers_.push_back(wrapper);
    if (wrappers_bound_ && wrappers_.size() > *wrappers_bound_) wrappers_.pop_front();
    last_top_ = wrapper;
    if (!depth_limit_) {
        ++calls_;
        return true;
    }
    // What scenario a + 1 was is now scenario a.
    seen_.erase(seen_.begin());
    seen_.push_back(0);
    full_ = false;
    since_.emplace_back();
    if (since_.size() > static_cast<std::size_t>(*depth_limit_)) since_.pop_front();
    if (line_limit_ && static_cast<std::int64_t>(kept_.size()) > 2 * *line_limit_ * *depth_limit_) {
        prune();
    }
    return true;
}

void Outline::prune() {
    // Drops the kept nodes that no scenario left shows any more.
    std::int64_t limit = *depth_limit_, lines = *line_limit_;
    std::vector<std::int64_t> seen(static_cast<std::size_t>(limit), 0);
    std::vector<std::shared_ptr<OutlineNode>> kept;
    for (auto& node : kept_) {
        std::int64_t level = node->depth + wraps_ - node->wraps;
        bool any = false;
        for (std::int64_t a = 0; a < std::max<std::int64_t>(limit - level, 0); ++a) {
            if (seen[static_cast<std::size_t>(a)] < lines - std::min(wraps_ + a, limit)) {
                any = true;
            }
            ++seen[static_cast<std::size_t>(a)];
        }
        if (any) kept.push_back(std::move(node));
    }
    kept_ = std::move(kept);
}

std::vector<Outline::Line> Outline::lines() const {
    std::vector<Line> result;
    auto room_left = [&] {
        return !line_limit_ || static_cast<std::int64_t>(result.size()) < *line_limit_;
    };
    auto add = [&](const OutlineNode& node, std::int64_t level) {
        bool cut = depth_limit_ && level + 1 >= *depth_limit_;
        result.push_back({&node, level, !node.has_next, cut ? node.size - 1 : 0});
    };
    std::int64_t level = 0;
    for (auto wrapper = wrappers_.rbegin(); wrapper != wrappers_.rend(); ++wrapper, ++level) {
        if ((depth_limit_ && level >= *depth_limit_) || !room_left()) return result;
        add(**wrapper, level);
    }
    for (const auto& node : kept_) {
        if (!room_left()) break;
        std::int64_t at = node->depth + wraps_ - node->wraps;
        if (!depth_limit_ || at < *depth_limit_) add(*node, at);
    }
    return result;
}

std::optional<std::pair<std::int64_t, std::int64_t>> Outline::totals() const {
    if (!line_limit_) return std::nullopt;
    if (!depth_limit_) return std::pair{calls_, events_};
    std::int64_t limit = *depth_limit_;
    std::int64_t calls = std::min(wraps_, limit), events = 0;
    std::int64_t shift = 0;
    for (auto counts = since_.rbegin(); counts != since_.rend(); ++counts, ++shift) {
        auto upto = [&](const std::vector<std::int64_t>& per_depth) {
            std::int64_t sum = 0;
            std::size_t end = std::min(per_depth.size(), static_cast<std::size_t>(limit - shift));
            for (std::size_t i = 0; i < end; ++i) sum += per_depth[i];
            return sum;
        };
        calls += upto(counts->first);
        events += upto(counts->second);
    }
    return std::pair{calls, events};
}

}  // namespace vesk
