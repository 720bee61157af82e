#include "reader/stats_track.h"

#include <algorithm>
#include <charconv>

namespace vesk {

std::pair<std::string_view, std::optional<std::int64_t>> file_and_line(
    const std::optional<std::string_view>& path) noexcept {
    if (!path) return {"?", std::nullopt};
    std::size_t colon = path->rfind(':');
    if (colon == std::string_view::npos || colon == 0) return {*path, std::nullopt};
    std::string_view digits = path->substr(colon + 1);
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return {*path, std::nullopt};
    }
    std::int64_t line = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), line);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return {*path, std::nullopt};  // beyond 64 bits: no line anyone wrote
    }
    return {path->substr(0, colon), line};
}

bool StatsTrack::feed(const TreeFields& fields, RecordAccess& record) {
    return walk(fields, record);
}

bool StatsTrack::called(StatsOpen& open, const TreeFields& fields, RecordAccess&, const Number&,
                        std::size_t) {
    auto [file, line] = file_and_line(fields.path);
    key_.assign(fields.name);
    key_.push_back('\0');
    key_.append(file);
    auto [found, added] = index_.try_emplace(key_, functions.size());
    if (added) {
        FunctionTotals& function = functions.emplace_back();
        function.name.assign(fields.name);
        function.file.assign(file);
        function.line = line;
        running_.push_back(0);
    }
    std::size_t at = found->second;
    FunctionTotals& function = functions[at];
    // A generator's resumptions start at the line it stopped at.
    if (!added && line && (!function.line || *line < *function.line)) function.line = line;
    ++function.calls;
    open.function = at;
    open.outer = running_[at]++ == 0;
    if (open.outer) ++function.outer;
    return true;
}

bool StatsTrack::left(Open& call) {
    --running_[call.payload.function];
    return true;
}

bool StatsTrack::fact(Open& call, const TreeFields& fields, RecordAccess&) {
    // Known only at the stretch's end: the interpreter resumed it rather than called it.
    StatsOpen& open = call.payload;
    if (fields.fact == TreeFields::Fact::generator && fields.resumed && !open.resumed) {
        open.resumed = true;
        FunctionTotals& function = functions[open.function];
        --function.calls;
        if (open.outer) --function.outer;
    }
    return true;
}

bool StatsTrack::returned(Open& call, const TreeFields&, RecordAccess&) {
    left(call);
    const StatsOpen& open = call.payload;
    double duration = std::max(call.end->as_double() - call.start.as_double(), 0.0);
    FunctionTotals& function = functions[open.function];
    function.own += std::max(duration - open.inner, 0.0);
    if (!open.resumed) ++function.returned;
    if (open.outer) {
        function.total += duration;
        if (!open.resumed) ++function.timed;
    }
    if (StatsOpen* caller = innermost()) caller->inner += duration;
    return true;
}

bool StatsTrack::event(const TreeFields&, RecordAccess& record, const Number&, std::size_t) {
    events.push_back(record.hold());
    return true;
}

}  // namespace vesk
