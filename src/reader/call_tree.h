#pragma once
// A thread's records paired into calls one record at a time, as the companion package's
// TreeWalker (python/vesk/view/tree.py) pairs them, for readers of stored traces that keep less
// than the whole tree; and the records of a trace grouped into threads, as its trace.py groups
// them. Pure C++: what a walker needs of a record beyond its TreeFields it asks of a
// RecordAccess, which the reader implements over the stored bytes or over a decoded record.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "reader/stored_record.h"

namespace vesk {

// A record kept past the feed that handed it over, in whatever form the reader keeps it.
class HeldRecord {
  public:
    virtual ~HeldRecord() = default;
};

// The record being fed. A false result is a failure the reader knows the cause of; the walk
// stops there.
class RecordAccess {
  public:
    virtual ~RecordAccess() = default;
    virtual std::shared_ptr<const HeldRecord> hold() = 0;
    // Appends what an exported call shows of the record, as JSON object entries without the
    // braces: "path", "called_from_line" and, with_arguments, "arguments".
    virtual bool site_entries(bool with_arguments, std::string& json) = 0;
    // Appends the JSON of its return value ("arg").
    virtual bool return_value(std::string& json) = 0;
    // An exported plugin record: its event's name and the JSON of its args.
    virtual bool plugin(std::string& name, std::string& json) = 0;
    // Appends the JSON of an exception record's text, as an exported call that it left shows it.
    virtual bool exception_text(std::string& json) = 0;
};

class ThreadWalker {
  public:
    virtual ~ThreadWalker() = default;
    // The thread's next record.
    virtual bool feed(const TreeFields& fields, RecordAccess& record) = 0;
    // The records are over.
    virtual bool finish() = 0;
};

// The pairing of TreeWalker; Derived is told of each node through the hooks TreeWalker's
// subclasses have, each returning false on failure:
//   called(Payload&, fields, record, start, depth), returned(Open&, fields, record),
//   left(Open&), event(fields, record, start, depth), fact(Open&, fields, record),
//   leaf(fields, record, start, depth), wrapped(fields, record, start)
template <class Derived, class Payload>
class CallTreeWalk : public ThreadWalker {
  public:
    bool finish() override {
        open_ids_.clear();
        while (!stack_.empty()) {
            Open top = std::move(stack_.back());
            stack_.pop_back();
            if (!self().left(top)) return false;
        }
        return true;
    }

  protected:
    // The latest node inside a call: where a return without its call that comes next starts.
    struct Last {
        Number start;
        std::optional<Number> end;
    };
    struct Open {
        Number start;
        std::optional<Number> end;  // once returned
        std::optional<Last> last;
        std::optional<std::string> frame_id;
        Payload payload{};
    };

    bool walk(const TreeFields& fields, RecordAccess& record) {
        Number ts = Number::of(0.0);
        if (fields.timestamp && within_bounds(*fields.timestamp)) {
            ts = *fields.timestamp;
            last_ts_ = ts;
            if (!first_ts_) first_ts_ = ts;
        } else if (last_ts_) {
            ts = *last_ts_;
        }
        if (fields.plugin) return plugin(fields, record, ts);
        if (fields.event == TreeFields::Event::call) return call(fields, record, ts);
        if (fields.event == TreeFields::Event::ret) return ret(fields, record, ts);
        return true;
    }

    std::size_t depth() const noexcept { return stack_.size(); }
    // The innermost open call, if any.
    Payload* innermost() noexcept { return stack_.empty() ? nullptr : &stack_.back().payload; }

  private:
    Derived& self() noexcept { return static_cast<Derived&>(*this); }

    // Out of line, as most records are calls and returns: their way stays short.
    [[gnu::noinline]] bool plugin(const TreeFields& fields, RecordAccess& record,
                                  const Number& ts) {
        if (fields.fact != TreeFields::Fact::none && !stack_.empty()) {
            // Of the innermost call only, and named by its id: the engine writes it before that
            // call's return, and an id that is not a text names no call.
            Open& top = stack_.back();
            if (top.frame_id && fields.frame_id == *top.frame_id) {
                return self().fact(top, fields, record);
            }
        }
        if (!stack_.empty()) stack_.back().last = Last{ts, std::nullopt};
        return self().event(fields, record, ts, stack_.size());
    }

    static bool within_bounds(const Number& number) noexcept {
        constexpr long double huge = 1e300;  // tree.py's HUGE, a double
        return number.integer || (-huge < number.value && number.value < huge);
    }

    bool call(const TreeFields& fields, RecordAccess& record, const Number& ts) {
        Open open;
        open.start = ts;
        if (!self().called(open.payload, fields, record, ts, stack_.size())) return false;
        if (!stack_.empty()) stack_.back().last = Last{ts, std::nullopt};
        Open& pushed = stack_.emplace_back(std::move(open));
        if (fields.frame_id) {
            // The key borrows the text of the call that set it: that call stays on the stack at
            // least as long as the entry (an entry goes when the call it names leaves, and a
            // later call of the same id that takes it over is above it).
            pushed.frame_id.emplace(*fields.frame_id);
            open_ids_.insert_or_assign(std::string_view(*pushed.frame_id), stack_.size() - 1);
        }
        return true;
    }

    // Drops the id entry of the call at index of the stack, if it names that call.
    void forget(std::size_t index) {
        const Open& open = stack_[index];
        if (!open.frame_id) return;
        auto found = open_ids_.find(*open.frame_id);
        if (found != open_ids_.end() && found->second == index) open_ids_.erase(found);
    }

    bool ret(const TreeFields& fields, RecordAccess& record, const Number& ts) {
        std::optional<std::size_t> target;
        if (fields.frame_id) {
            auto found = open_ids_.find(*fields.frame_id);
            if (found != open_ids_.end()) target = found->second;
        }
        if (target) {
            while (true) {
                std::size_t index = stack_.size() - 1;
                forget(index);
                Open top = std::move(stack_.back());
                stack_.pop_back();
                if (index != *target) {
                    if (!self().left(top)) return false;
                    continue;
                }
                top.end =
                    fields.timestamp && fields.timestamp->finite() ? *fields.timestamp : top.start;
                // The call is its caller's latest node still: nothing reached the caller since.
                if (!stack_.empty()) stack_.back().last = Last{top.start, top.end};
                return self().returned(top, fields, record);
            }
        }
        if (!stack_.empty()) {
            // Inside a recorded call: nothing tells what it enclosed.
            Open& top = stack_.back();
            Number start = top.start;
            if (top.last) start = top.last->end ? *top.last->end : top.last->start;
            if (ts < start) start = ts;
            Number end = fields.timestamp && fields.timestamp->finite() ? *fields.timestamp : start;
            top.last = Last{start, end};
            return self().leaf(fields, record, start, stack_.size());
        }
        return self().wrapped(fields, record, first_ts_ ? *first_ts_ : ts);
    }

    std::deque<Open> stack_;  // a deque: an open call's frame id text never moves
    std::unordered_map<std::string_view, std::size_t> open_ids_;
    std::optional<Number> first_ts_, last_ts_;
};

// The records of one thread, as trace.py groups them: by native id (the record's, else its
// array's) and name.
struct ThreadGroup {
    std::optional<Number> native_id;
    std::string name;
    std::uint64_t count = 0;
    std::optional<Number> first_ts;  // the first finite timestamp
    std::unique_ptr<ThreadWalker> walker;
};

class ThreadGroups {
  public:
    using WalkerFactory = std::function<std::unique_ptr<ThreadWalker>()>;
    explicit ThreadGroups(WalkerFactory make) : make_(std::move(make)) {}

    // Hands a record to the walker of its thread; fallback is the native id of its array.
    bool feed(const TreeFields& fields, const std::optional<Number>& fallback,
              RecordAccess& record);
    // The walkers finish; false when one failed.
    bool finish();
    // In the order the threads first appeared.
    std::vector<std::unique_ptr<ThreadGroup>>& groups() noexcept { return groups_; }

  private:
    ThreadGroup& group_of(const std::optional<Number>& native_id, std::string_view name);

    WalkerFactory make_;
    std::vector<std::unique_ptr<ThreadGroup>> groups_;
    std::unordered_map<std::string, std::size_t> index_;
    ThreadGroup* last_ = nullptr;
};

}  // namespace vesk
