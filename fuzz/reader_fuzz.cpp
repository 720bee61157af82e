// A stored part (its MessagePack, decompressed) read by everything in src/reader that a reader of
// stored traces reaches: the summary of the trace list, the checked and plain skips, the records
// skimmed where they lie and paired into calls by the outline, stats and export walkers, and the
// JSON that export writes of them. Bytes from elsewhere must never crash a reader, and the two
// skips and the texts written must agree with what they promise: a broken promise aborts.

#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/call_tree.h"
#include "reader/export_track.h"
#include "reader/json_text.h"
#include "reader/msgpack_reader.h"
#include "reader/outline.h"
#include "reader/stats_track.h"
#include "reader/stored_record.h"

namespace {

using namespace vesk;

#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)

// UTF-8 as a strict decoder takes it, the slow and obvious way: the reference for is_utf8.
bool reference_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80         ? 1
                             : (lead >> 5) == 6  ? 2
                             : (lead >> 4) == 14 ? 3
                             : (lead >> 3) == 30 ? 4
                                                 : 0;
        if (length == 0 || i + length > text.size()) return false;
        char32_t c = length == 1 ? lead : lead & (0xff >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            c = (c << 6) | (next & 0x3f);
        }
        static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < smallest[length] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return false;
        i += length;
    }
    return true;
}

// A JSON text as a strict parser takes it, no more: export's output must open in the viewers.
class JsonCheck {
  public:
    explicit JsonCheck(std::string_view text) : text_(text) {}
    bool whole() {
        if (!value(0)) return false;
        space();
        return at_ == text_.size();
    }

  private:
    void space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n')) ++at_;
    }
    bool literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }
    bool string() {
        if (!literal("\"")) return false;
        std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] != '"') {
            auto byte = static_cast<unsigned char>(text_[at_]);
            if (byte < 0x20) return false;
            if (byte == '\\') {
                ++at_;
                if (at_ >= text_.size()) return false;
                char escape = text_[at_];
                if (escape == 'u') {
                    for (int k = 1; k <= 4; ++k) {
                        if (at_ + k >= text_.size() ||
                            !std::isxdigit(static_cast<unsigned char>(text_[at_ + k])))
                            return false;
                    }
                    at_ += 4;
                } else if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
                    return false;
                }
            }
            ++at_;
        }
        if (at_ >= text_.size()) return false;
        bool utf8 = reference_utf8(text_.substr(start, at_ - start));
        ++at_;
        return utf8;
    }
    bool number() {
        std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-') ++at_;
        std::size_t digits = at_;
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
        if (at_ == digits || (text_[digits] == '0' && at_ - digits > 1)) return false;
        if (at_ < text_.size() && text_[at_] == '.') {
            std::size_t fraction = ++at_;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])))
                ++at_;
            if (at_ == fraction) return false;
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            std::size_t exponent = at_;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])))
                ++at_;
            if (at_ == exponent) return false;
        }
        return at_ > start;
    }
    bool value(int depth) {
        if (depth > 64) return false;
        space();
        if (at_ >= text_.size()) return false;
        char first = text_[at_];
        if (first == '"') return string();
        if (first == 't') return literal("true");
        if (first == 'f') return literal("false");
        if (first == 'n') return literal("null");
        if (first == '{' || first == '[') {
            char close = first == '{' ? '}' : ']';
            ++at_;
            space();
            if (at_ < text_.size() && text_[at_] == close) return ++at_, true;
            while (true) {
                if (first == '{') {
                    space();
                    if (!string()) return false;
                    space();
                    if (!literal(":")) return false;
                }
                if (!value(depth + 1)) return false;
                space();
                if (literal(std::string_view(&close, 1))) return true;
                if (!literal(",")) return false;
            }
        }
        return number();
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

struct Held final : HeldRecord {
    std::string bytes;
};

// What the engine's skim does with a record of the part for export, with the values that it
// hands the interpreter's formatter left in the spill as their MessagePack (its deferred form).
class BytesRecord final : public RecordAccess {
  public:
    BytesRecord(JsonSpill& spill, std::string_view part, const StoredRecord& record,
                const TreeFields& fields)
        : spill_(spill), part_(part), record_(record), fields_(fields) {}

    std::shared_ptr<const HeldRecord> hold() override {
        auto held = std::make_shared<Held>();
        held->bytes.assign(part_.substr(record_.start, record_.end - record_.start));
        return held;
    }

    bool site_entries(bool with_arguments, std::string& json) override {
        if (fields_.path) {
            separate(json);
            json += R"("path":)";
            append_json_string(json, *fields_.path);
        }
        if (auto line = call_site_line()) {
            separate(json);
            json += R"("called_from_line":)";
            append_integer(json, *line);
        }
        if (!with_arguments) return true;
        separate(json);
        json += R"("arguments":)";
        arguments(json);
        return true;
    }

    bool return_value(std::string& json) override {
        std::size_t at = record_.value_at(RecordKey::arg);
        if (at == StoredRecord::absent) {
            json += "null";
            return true;
        }
        MsgpackReader reader(part_, at);
        value(reader, json);
        return true;
    }

    bool plugin(std::string& name, std::string& json) override {
        auto type = text_at(part_, record_.value_at(RecordKey::type));
        name.assign(type.value_or("?"));
        if (auto subtype = value_of(record_.start, "subtype")) {
            if (auto text = text_at(part_, *subtype)) {
                name += '/';
                append_clean_text(name, *text);
            }
        }
        json.clear();
        defer(record_.start, record_.end, json);
        return true;
    }

    bool exception_text(std::string& json) override {
        auto at = value_of(record_.start, "exception");
        auto text = at ? text_at(part_, *at) : std::nullopt;
        std::string shown;
        append_clean_text(shown, text.value_or("exception"));
        append_json_string(json, shown);
        return true;
    }

  private:
    static void separate(std::string& json) {
        if (json.back() != '{') json += ',';
    }

    void defer(std::size_t start, std::size_t end, std::string& json) {
        FUZZ_CHECK(start <= end && end <= part_.size());
        auto [offset, length] = spill_.add_once(part_.substr(start, end - start));
        json += R"({"m":[)";
        append_integer(json, MsgpackInt{false, static_cast<std::uint64_t>(offset)});
        json += ',';
        append_integer(json, MsgpackInt{false, static_cast<std::uint64_t>(length)});
        json += "]}";
    }

    std::optional<std::size_t> value_of(std::size_t at, std::string_view key) const {
        MsgpackReader reader(part_, at);
        if (reader.next_kind() != MsgpackKind::map) return std::nullopt;
        auto entries = reader.map_header();
        std::optional<std::size_t> found;
        for (std::uint32_t i = 0; entries && i < *entries; ++i) {
            bool wanted = false;
            if (reader.next_kind() == MsgpackKind::str) {
                wanted = reader.str() == key;
            } else {
                FUZZ_CHECK(reader.skip());  // the record was checked whole
            }
            if (wanted) found = reader.position();
            FUZZ_CHECK(reader.skip());
        }
        return found;
    }

    void value(MsgpackReader& reader, std::string& json) {
        std::size_t at = reader.position();
        if (append_json_scalar(json, reader, 200)) return;
        reader = MsgpackReader(part_, at);
        FUZZ_CHECK(reader.skip());  // the record was checked whole
        defer(at, reader.position(), json);
    }

    std::optional<MsgpackInt> call_site_line() const {
        std::size_t at = record_.value_at(RecordKey::user_code_call_site);
        if (at == StoredRecord::absent) return std::nullopt;
        auto line_at = value_of(at, "line_number");
        if (!line_at) return std::nullopt;
        MsgpackReader line(part_, *line_at);
        if (line.next_kind() != MsgpackKind::integer) return std::nullopt;
        return line.integer();
    }

    void arguments(std::string& json) {
        std::size_t at = record_.value_at(RecordKey::locals);
        MsgpackReader reader(part_, at == StoredRecord::absent ? 0 : at);
        if (at == StoredRecord::absent || reader.next_kind() != MsgpackKind::map) {
            json += "{}";
            return;
        }
        auto entries = reader.map_header();
        FUZZ_CHECK(entries);
        std::string object = "{";
        std::vector<std::string_view> names;
        for (std::uint32_t i = 0; i < *entries; ++i) {
            if (reader.next_kind() != MsgpackKind::str) {
                MsgpackReader whole(part_, at);
                FUZZ_CHECK(whole.skip());
                defer(at, whole.position(), json);
                return;
            }
            auto name = reader.str();
            FUZZ_CHECK(name);
            separate(object);
            append_json_string(object, *name);
            object += ':';
            value(reader, object);
        }
        json += object + '}';
    }

    JsonSpill& spill_;
    std::string_view part_;
    const StoredRecord& record_;
    const TreeFields& fields_;
};

// The readers of one part: the walkers that `vesk show` (outlines of four shapes), `vesk stats` and
// `vesk export` use, each grouping the records into threads of its own.
struct Readers {
    JsonSpill spill;
    std::size_t taken = 0;  // bytes of the spill handed on
    ThreadGroups full{[] { return std::make_unique<Outline>(std::nullopt, std::nullopt); }};
    ThreadGroups shown{[] { return std::make_unique<Outline>(2, 3); }};
    // A line limit alone; and one level of two lines, whose kept nodes are pruned soon.
    ThreadGroups limited{[] { return std::make_unique<Outline>(std::nullopt, 4); }};
    ThreadGroups narrow{[] { return std::make_unique<Outline>(1, 2); }};
    ThreadGroups stats{[] { return std::make_unique<StatsTrack>(); }};
    ThreadGroups track{[this] { return std::make_unique<ExportTrack>(spill); }};

    // false: a record that the engine's skim would leave to the companion package.
    bool feed_array(std::string_view part, MsgpackReader& reader,
                    const std::optional<Number>& fallback) {
        auto count = reader.array_header();
        if (!count) return false;
        StoredRecord record;
        for (std::uint32_t i = 0; i < *count; ++i) {
            std::size_t start = reader.position();
            Skimmed skimmed = skim_record(reader, record);
            if (skimmed == Skimmed::unreadable) return false;
            // What the checked skip passes, the plain one passes to the same place.
            MsgpackReader plain(part, start);
            FUZZ_CHECK(plain.skip() && plain.position() == reader.position());
            if (skimmed == Skimmed::not_a_map) continue;
            FUZZ_CHECK(record.start == start && record.end == reader.position());
            for (std::size_t at : record.at) {
                FUZZ_CHECK(at == StoredRecord::absent || (start < at && at < record.end));
            }
            TreeFields fields = tree_fields(part, record);
            for (ThreadGroups* groups : {&full, &shown, &limited, &narrow, &stats, &track}) {
                BytesRecord access(spill, part, record, fields);
                FUZZ_CHECK(groups->feed(fields, fallback, access));
            }
            if (spill.pending_size() > (1 << 20)) taken += spill.take().size();
        }
        return true;
    }

    void finish() {
        for (ThreadGroups* groups : {&full, &shown, &limited, &narrow, &stats, &track}) {
            FUZZ_CHECK(groups->finish());
        }
        for (ThreadGroups* groups : {&full, &shown, &limited, &narrow}) {
            for (auto& group : groups->groups()) {
                auto& outline = static_cast<Outline&>(*group->walker);
                for (const auto& line : outline.lines()) {
                    FUZZ_CHECK(line.level >= 0 && line.hidden >= 0 && line.node->size >= 1);
                }
                if (auto totals = outline.totals()) {
                    FUZZ_CHECK(totals->first >= 0 && totals->second >= 0);
                }
            }
        }
        for (auto& group : stats.groups()) {
            for (const auto& function : static_cast<StatsTrack&>(*group->walker).functions) {
                FUZZ_CHECK(function.outer <= function.calls && function.timed <= function.returned);
                FUZZ_CHECK(!std::isnan(function.total) && !std::isnan(function.own));
            }
        }
        std::string spilled = spill.take();
        for (auto& group : track.groups()) {
            auto& export_track = static_cast<ExportTrack&>(*group->walker);
            std::size_t nodes = export_track.flags.size();
            FUZZ_CHECK(export_track.starts.size() == nodes && export_track.ends.size() == nodes &&
                       export_track.depths.size() == nodes && export_track.names.size() == nodes);
            std::vector<std::int64_t> sizes, parents;
            tree_shape(export_track.depths, sizes, parents);
            for (std::size_t node = 0; node < nodes; ++node) {
                FUZZ_CHECK(sizes[node] >= 1 && node + sizes[node] <= nodes);
                FUZZ_CHECK(parents[node] < static_cast<std::int64_t>(node));
                FUZZ_CHECK(export_track.names[node] >= 0 &&
                           static_cast<std::size_t>(export_track.names[node]) <
                               export_track.name_texts.size());
            }
        }
        // Every node's args went to the spill as one JSON object each (the offsets count from
        // the first byte ever added).
        {
            for (auto& group : track.groups()) {
                auto& export_track = static_cast<ExportTrack&>(*group->walker);
                for (std::size_t node = 0; node < export_track.offsets.size(); ++node) {
                    auto offset = static_cast<std::size_t>(export_track.offsets[node]);
                    auto length = static_cast<std::size_t>(export_track.lengths[node]);
                    if (offset < taken) continue;  // handed on before
                    JsonCheck check(std::string_view(spilled).substr(offset - taken, length));
                    FUZZ_CHECK(check.whole());
                }
            }
        }
    }
};

// The part as the engine's skim reads it (Skim.feed_part): a map of distinct text keys with
// nothing after it, the records of "frames_of_interest", then those of each thread of "frames".
void read_part(std::string_view part) {
    MsgpackReader reader(part);
    if (reader.next_kind() != MsgpackKind::map) return;
    auto entries = reader.map_header();
    if (!entries) return;
    Readers readers;
    std::vector<std::string_view> keys;
    std::vector<std::pair<MsgpackInt, std::size_t>> threads;
    for (std::uint32_t i = 0; i < *entries; ++i) {
        if (reader.next_kind() != MsgpackKind::str) return;
        auto key = reader.str();
        if (!key || !is_utf8(*key)) return;
        for (auto seen : keys) {
            if (seen == *key) return;
        }
        keys.push_back(*key);
        if (*key == "frames_of_interest" && reader.next_kind() == MsgpackKind::array) {
            if (!readers.feed_array(part, reader, std::nullopt)) return;
            continue;
        }
        if (*key == "frames" && reader.next_kind() == MsgpackKind::map) {
            auto count = reader.map_header();
            for (std::uint32_t t = 0; count && t < *count; ++t) {
                if (reader.next_kind() != MsgpackKind::integer) return;
                auto id = reader.integer();
                if (!id) return;
                for (const auto& [seen, _] : threads) {
                    if (seen == *id) return;
                }
                threads.emplace_back(*id, reader.position());
                bool records = reader.next_kind() == MsgpackKind::array;
                if (!reader.skip()) return;
                if (!records) threads.pop_back();
            }
            if (!count) return;
            continue;
        }
        if (!reader.skip_checked()) return;
    }
    if (reader.position() != part.size()) return;
    for (const auto& [id, start] : threads) {
        MsgpackReader records(part, start);
        if (!readers.feed_array(part, records, Number::of(id))) return;
    }
    readers.finish();
}

// Every value of the bytes read with the typed reads, as far as they go, and the texts and
// numbers in them written as export and the terminal write them.
void read_values(MsgpackReader& reader, int depth) {
    if (depth > 64) {
        reader.skip();
        return;
    }
    std::size_t at = reader.position();
    std::string json;
    switch (reader.next_kind()) {
        case MsgpackKind::str: {
            MsgpackReader probe = reader;
            auto text = probe.str();
            if (text) {
                FUZZ_CHECK(is_utf8(*text) == reference_utf8(*text));
                if (is_utf8(*text)) {
                    std::string clean;
                    append_clean_text(clean, *text);
                    FUZZ_CHECK(reference_utf8(clean));
                    for (char c : clean) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
                    append_json_string(json, *text);
                    FUZZ_CHECK(JsonCheck(json).whole());
                    json.clear();
                    auto [file, line] = file_and_line(*text);
                    FUZZ_CHECK(file.size() <= text->size());
                    (void)line;
                }
            }
            [[fallthrough]];
        }
        case MsgpackKind::nil:
        case MsgpackKind::boolean:
        case MsgpackKind::integer:
        case MsgpackKind::real: {
            MsgpackReader scalar = reader;
            bool written = append_json_scalar(json, scalar, 200);
            MsgpackReader plain = reader;
            if (written) {
                FUZZ_CHECK(plain.skip() && plain.position() == scalar.position());
                // Text only when it is UTF-8: the checked reads pass no other.
                MsgpackReader checked = reader;
                if (checked.skip_checked()) FUZZ_CHECK(JsonCheck(json).whole());
            }
            if (reader.next_kind() == MsgpackKind::real) {
                MsgpackReader real = reader;
                if (auto number = real.real(); number && std::isfinite(*number)) {
                    std::string repr;
                    append_float_repr(repr, *number);
                    // repr's digits read back as the float.
                    FUZZ_CHECK(std::strtod(repr.c_str(), nullptr) == *number);
                }
            }
            reader.skip();
            return;
        }
        case MsgpackKind::array: {
            auto count = reader.array_header();
            for (std::uint32_t i = 0; count && i < *count && reader.ok(); ++i) {
                read_values(reader, depth + 1);
            }
            return;
        }
        case MsgpackKind::map: {
            auto count = reader.map_header();
            for (std::uint32_t i = 0; count && i < *count && reader.ok(); ++i) {
                read_values(reader, depth + 1);
                read_values(reader, depth + 1);
            }
            return;
        }
        default:
            if (!reader.skip()) return;
            FUZZ_CHECK(reader.position() > at);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    TraceSummary summary = summarise_trace(bytes);
    for (const auto& text :
         {summary.source, summary.test_nodeid, summary.test_outcome, summary.test_when}) {
        if (text) FUZZ_CHECK(text->data() >= bytes.data() && text->end() <= bytes.end());
    }

    // The checked skip refuses more than the plain one, never less, and both end at one place.
    MsgpackReader plain(bytes), checked(bytes);
    bool plain_ok = plain.skip();
    if (checked.skip_checked()) FUZZ_CHECK(plain_ok && plain.position() == checked.position());
    if (!plain_ok) FUZZ_CHECK(!plain.ok());

    MsgpackReader values(bytes);
    read_values(values, 0);

    read_part(bytes);
    return 0;
}
