#include "reader/call_tree.h"

#include <cstring>

namespace vesk {

namespace {

// The native id and name as one text, for the index of groups.
std::string group_key(const std::optional<Number>& native_id, std::string_view name) {
    std::string key = "n";
    if (native_id) {
        // An integer of 64 bits, signed when negative.
        bool negative = native_id->value < 0;
        auto bits = negative
                        ? static_cast<std::uint64_t>(static_cast<std::int64_t>(native_id->value))
                        : static_cast<std::uint64_t>(native_id->value);
        key.assign(negative ? "-" : "+");
        key.append(reinterpret_cast<const char*>(&bits), sizeof bits);
    }
    key.append(name);
    return key;
}

}  // namespace

ThreadGroup& ThreadGroups::group_of(const std::optional<Number>& native_id, std::string_view name) {
    // Records of a thread mostly come in runs.
    if (last_ != nullptr && last_->native_id == native_id && last_->name == name) return *last_;
    auto [found, added] = index_.try_emplace(group_key(native_id, name), groups_.size());
    if (added) {
        auto group = std::make_unique<ThreadGroup>();
        group->native_id = native_id;
        group->name = name;
        group->walker = make_();
        groups_.push_back(std::move(group));
    }
    last_ = groups_[found->second].get();
    return *last_;
}

bool ThreadGroups::feed(const TreeFields& fields, const std::optional<Number>& fallback,
                        RecordAccess& record) {
    ThreadGroup& group =
        group_of(fields.native_id ? fields.native_id : fallback, fields.thread.value_or("?"));
    ++group.count;
    if (!group.first_ts && fields.timestamp && fields.timestamp->finite()) {
        group.first_ts = fields.timestamp;
    }
    return group.walker->feed(fields, record);
}

bool ThreadGroups::finish() {
    for (auto& group : groups_) {
        if (!group->walker->finish()) return false;
    }
    return true;
}

}  // namespace vesk
