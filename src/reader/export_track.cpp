#include "reader/export_track.h"

#include <cmath>
#include <functional>
#include <limits>

namespace vesk {

namespace {

constexpr std::string_view no_call_note =
    R"("note":"call not recorded: it started before the time shown")";
constexpr std::string_view no_return_note =
    R"("note":"no return recorded: shown up to the thread's last record")";

void add_entry(std::string& args, std::string_view entry) {
    if (args.size() > 1) args += ',';
    args += entry;
}

constexpr std::string_view ending_keys[] = {R"("return_value":)", R"("raised":)", R"("raised_in":)",
                                            R"("resumed":)", R"("yielded":)"};

}  // namespace

JsonSpill::Where JsonSpill::add_once(std::string_view bytes) {
    Remembered& slot = remembered_[std::hash<std::string_view>()(bytes) % remembered_.size()];
    if (!bytes.empty() && slot.length == bytes.size() &&
        pending_.compare(slot.at, slot.length, bytes) == 0) {
        return {static_cast<std::int64_t>(size_ - pending_.size() + slot.at),
                static_cast<std::int64_t>(slot.length)};
    }
    slot = {pending_.size(), bytes.size()};
    return add(bytes);
}

EndingArgs::Entry* EndingArgs::find(Key key) {
    for (auto& entry : entries_) {
        if (entry.key == key) return &entry;
    }
    return nullptr;
}

// As a dict item set: in its place when the key is there, else last.
void EndingArgs::set(Entry entry) {
    if (Entry* found = find(entry.key)) {
        *found = std::move(entry);
    } else {
        entries_.push_back(std::move(entry));
    }
}

void EndingArgs::exception(std::string raised, TreeFields::Origin origin) {
    std::erase_if(entries_, [](const Entry& entry) { return entry.key == Key::return_value; });
    set({Key::raised, std::move(raised), false});
    if (origin == TreeFields::Origin::raised) set({Key::raised_in, R"("this frame")", false});
    if (origin == TreeFields::Origin::callee) set({Key::raised_in, R"("a callee")", false});
}

void EndingArgs::generator(bool resumed, bool yielded) {
    if (resumed) set({Key::resumed, "true", false});
    if (!yielded) return;
    if (Entry* value = find(Key::return_value)) {
        Entry moved = std::move(*value);
        entries_.erase(entries_.begin() + (value - entries_.data()));
        moved.key = Key::yielded;
        set(std::move(moved));
    }
}

bool EndingArgs::write(std::string& args, RecordAccess& ret) const {
    for (const auto& entry : entries_) {
        add_entry(args, ending_keys[static_cast<std::size_t>(entry.key)]);
        if (!entry.is_return_value) {
            args += entry.json;
        } else if (!ret.return_value(args)) {
            return false;
        }
    }
    return true;
}

bool ExportTrack::feed(const TreeFields& fields, RecordAccess& record) {
    if (fields.timestamp && fields.timestamp->finite()) {
        const Number& ts = *fields.timestamp;
        if (!low) {
            low = high = ts;
        } else if (ts < *low) {
            low = ts;
        } else if (*high < ts) {
            high = ts;
        }
    }
    return walk(fields, record);
}

std::int64_t ExportTrack::node(const Number& start, std::size_t depth, std::uint8_t flag,
                               std::string_view name) {
    auto found = numbers_.find(name);
    if (found == numbers_.end()) {
        const std::string& text = name_texts.emplace_back(name);
        found = numbers_.emplace(text, static_cast<std::int64_t>(name_texts.size()) - 1).first;
    }
    starts.push_back(start.as_double());
    ends.push_back(std::numeric_limits<double>::quiet_NaN());
    depths.push_back(static_cast<std::int64_t>(depth));
    flags.push_back(flag);
    names.push_back(found->second);
    offsets.push_back(0);
    lengths.push_back(0);
    return static_cast<std::int64_t>(flags.size()) - 1;
}

void ExportTrack::spill(std::int64_t index, std::string& args) {
    auto [offset, length] = spill_.add(args);
    offsets[static_cast<std::size_t>(index)] = offset;
    lengths[static_cast<std::size_t>(index)] = length;
}

bool ExportTrack::ended(std::int64_t index, std::string& args, const TreeFields& fields,
                        RecordAccess& record, const Number& start, std::string_view note) {
    add_entry(args, R"("return_value":)");
    if (!record.return_value(args)) return false;
    if (!note.empty()) add_entry(args, note);
    return closed(index, args, fields, start);
}

bool ExportTrack::closed(std::int64_t index, std::string& args, const TreeFields& fields,
                         const Number& start) {
    auto at = static_cast<std::size_t>(index);
    flags[at] |= return_flag;
    const auto& end = fields.timestamp;
    ends[at] = (end && end->finite() ? *end : start).as_double();
    args += '}';
    spill(index, args);
    return true;
}

bool ExportTrack::called(TrackOpen& open, const TreeFields& fields, RecordAccess& record,
                         const Number& start, std::size_t depth) {
    open.index = node(start, depth, call_flag, fields.name);
    open.args.assign(1, '{');
    return record.site_entries(!fields.module, open.args);
}

EndingArgs* ExportTrack::ending_of(std::int64_t index) noexcept {
    // Calls end innermost first, and only the innermost gets facts.
    if (endings_.empty() || endings_.back().first != index) return nullptr;
    return &endings_.back().second;
}

bool ExportTrack::returned(Open& call, const TreeFields& fields, RecordAccess& record) {
    if (ending_of(call.payload.index) == nullptr) [[likely]] {
        return ended(call.payload.index, call.payload.args, fields, record, call.start, {});
    }
    return returned_after_facts(call, fields, record);
}

bool ExportTrack::returned_after_facts(Open& call, const TreeFields& fields, RecordAccess& record) {
    bool written = endings_.back().second.write(call.payload.args, record);
    endings_.pop_back();
    return written && closed(call.payload.index, call.payload.args, fields, call.start);
}

bool ExportTrack::fact(Open& call, const TreeFields& fields, RecordAccess& record) {
    EndingArgs* ending = ending_of(call.payload.index);
    if (ending == nullptr) ending = &endings_.emplace_back(call.payload.index, EndingArgs()).second;
    if (fields.fact == TreeFields::Fact::generator) {
        ending->generator(fields.resumed, fields.yielded);
        return true;
    }
    std::string raised;
    if (!record.exception_text(raised)) return false;
    ending->exception(std::move(raised), fields.origin);
    return true;
}

bool ExportTrack::left(Open& call) {
    // Without its return, export.py shows none of its facts.
    if (ending_of(call.payload.index) != nullptr) endings_.pop_back();
    std::string& args = call.payload.args;
    add_entry(args, no_return_note);
    args += '}';
    spill(call.payload.index, args);
    return true;
}

bool ExportTrack::event(const TreeFields&, RecordAccess& record, const Number& start,
                        std::size_t depth) {
    std::string name, args;
    if (!record.plugin(name, args)) return false;
    spill(node(start, depth, plugin_flag, name), args);
    return true;
}

bool ExportTrack::leaf(const TreeFields& fields, RecordAccess& record, const Number& start,
                       std::size_t depth) {
    std::int64_t index = node(start, depth, 0, fields.name);
    std::string args = "{";
    if (!record.site_entries(false, args)) return false;
    return ended(index, args, fields, record, start, no_call_note);
}

bool ExportTrack::wrapped(const TreeFields& fields, RecordAccess& record, const Number& start) {
    std::int64_t index = node(start, 0, 0, fields.name);
    wrappers.push_back(index);
    std::string args = "{";
    if (!record.site_entries(false, args)) return false;
    return ended(index, args, fields, record, start, no_call_note);
}

void tree_shape(const std::vector<std::int64_t>& depths, std::vector<std::int64_t>& sizes,
                std::vector<std::int64_t>& parents) {
    auto count = static_cast<std::int64_t>(depths.size());
    sizes.assign(depths.size(), 1);
    parents.assign(depths.size(), -1);
    std::vector<std::int64_t> open;  // the open nodes, outermost first
    for (std::int64_t node = 0; node < count; ++node) {
        auto depth = depths[static_cast<std::size_t>(node)];
        // A node deeper than the open ones goes inside the innermost, as a shallower one closes
        // the nodes down to its own depth.
        while (!open.empty() && static_cast<std::int64_t>(open.size()) > depth) {
            sizes[static_cast<std::size_t>(open.back())] = node - open.back();
            open.pop_back();
        }
        if (!open.empty()) parents[static_cast<std::size_t>(node)] = open.back();
        open.push_back(node);
    }
    for (auto node : open) sizes[static_cast<std::size_t>(node)] = count - node;
}

}  // namespace vesk
