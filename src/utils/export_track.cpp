#include "utils/export_track.h"

#include <cmath>
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

}  // namespace

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
    auto at = static_cast<std::size_t>(index);
    flags[at] |= return_flag;
    const auto& end = fields.timestamp;
    ends[at] = (end && end->finite() ? *end : start).as_double();
    add_entry(args, R"("return_value":)");
    if (!record.return_value(args)) return false;
    if (!note.empty()) add_entry(args, note);
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

bool ExportTrack::returned(Open& call, const TreeFields& fields, RecordAccess& record) {
    return ended(call.payload.index, call.payload.args, fields, record, call.start, {});
}

bool ExportTrack::left(Open& call) {
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

}  // namespace vesk
