#include "reader/stored_record.h"

namespace vesk {

namespace {

std::optional<RecordKey> known_key(std::string_view key) noexcept {
    // By length first: most keys are told apart by it alone.
    switch (key.size()) {
        case 3:
            if (key == "arg") return RecordKey::arg;
            break;
        case 4:
            if (key == "type") return RecordKey::type;
            if (key == "path") return RecordKey::path;
            break;
        case 5:
            if (key == "event") return RecordKey::event;
            break;
        case 6:
            if (key == "thread") return RecordKey::thread;
            if (key == "locals") return RecordKey::locals;
            break;
        case 7:
            if (key == "co_name") return RecordKey::co_name;
            break;
        case 8:
            if (key == "frame_id") return RecordKey::frame_id;
            if (key == "qualname") return RecordKey::qualname;
            break;
        case 9:
            if (key == "timestamp") return RecordKey::timestamp;
            break;
        case 16:
            if (key == "thread_native_id") return RecordKey::thread_native_id;
            break;
        case 19:
            if (key == "user_code_call_site") return RecordKey::user_code_call_site;
            break;
        default:
            break;
    }
    return std::nullopt;
}

std::optional<Number> number_at(std::string_view part, std::size_t at) noexcept {
    if (at == StoredRecord::absent) return std::nullopt;
    MsgpackReader reader(part, at);
    switch (reader.next_kind()) {
        case MsgpackKind::integer:
            if (auto number = reader.integer()) return Number::of(*number);
            return std::nullopt;
        case MsgpackKind::real:
            if (auto number = reader.real()) return Number::of(*number);
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

// A true bool (not merely a truthy value: the walkers ask `is True`).
bool true_at(std::string_view part, std::size_t at) noexcept {
    if (at == StoredRecord::absent) return false;
    MsgpackReader reader(part, at);
    return reader.next_kind() == MsgpackKind::boolean && reader.boolean() == true;
}

// The keys that only exception and generator records have are looked for in those alone, once
// they are found to be one: the records that most traces are made of are read no slower.
void fact_fields(std::string_view part, const StoredRecord& record, std::string_view type,
                 TreeFields& fields) noexcept {
    bool generator = type == "generator";
    if (!generator && type != "exception") return;
    std::size_t caught = StoredRecord::absent, resumed = caught, yielded = caught, origin = caught;
    MsgpackReader reader(part, record.start);
    auto entries = reader.map_header();  // the record was checked whole
    for (std::uint32_t i = 0; entries && i < *entries; ++i) {
        std::size_t* at = nullptr;
        if (reader.next_kind() == MsgpackKind::str) {
            auto key = reader.str();
            if (key == "caught") at = &caught;
            if (key == "resumed") at = &resumed;
            if (key == "yielded") at = &yielded;
            if (key == "origin") at = &origin;
        } else {
            reader.skip();
        }
        if (at != nullptr) *at = reader.position();  // the last one, as in the decoded map
        reader.skip();
    }
    if (!generator && true_at(part, caught)) return;
    fields.fact = generator ? TreeFields::Fact::generator : TreeFields::Fact::exception;
    fields.resumed = true_at(part, resumed);
    fields.yielded = true_at(part, yielded);
    auto origin_text = text_at(part, origin);
    if (origin_text == "raised") fields.origin = TreeFields::Origin::raised;
    if (origin_text == "callee") fields.origin = TreeFields::Origin::callee;
}

}  // namespace

std::optional<std::string_view> text_at(std::string_view part, std::size_t at) noexcept {
    if (at == StoredRecord::absent) return std::nullopt;
    MsgpackReader reader(part, at);
    if (reader.next_kind() != MsgpackKind::str) return std::nullopt;
    return reader.str();
}

Skimmed skim_record(MsgpackReader& reader, StoredRecord& record) noexcept {
    record.start = reader.position();
    record.at.fill(StoredRecord::absent);
    bool map = reader.next_kind() == MsgpackKind::map;
    bool readable = reader.skip_checked([&](std::string_view key, std::size_t value) {
        if (auto known = known_key(key)) record.at[static_cast<std::size_t>(*known)] = value;
    });
    if (!readable) return Skimmed::unreadable;
    record.end = reader.position();
    return map ? Skimmed::record : Skimmed::not_a_map;
}

TreeFields tree_fields(std::string_view part, const StoredRecord& record) noexcept {
    TreeFields fields;
    if (record.value_at(RecordKey::type) != StoredRecord::absent) {
        auto type = text_at(part, record.value_at(RecordKey::type));
        fields.plugin = type != "frame";
        if (fields.plugin && type) fact_fields(part, record, *type, fields);
    }
    if (auto event = text_at(part, record.value_at(RecordKey::event))) {
        if (*event == "call") fields.event = TreeFields::Event::call;
        if (*event == "return") fields.event = TreeFields::Event::ret;
    }
    fields.frame_id = text_at(part, record.value_at(RecordKey::frame_id));
    fields.timestamp = number_at(part, record.value_at(RecordKey::timestamp));
    fields.thread = text_at(part, record.value_at(RecordKey::thread));
    if (auto id = number_at(part, record.value_at(RecordKey::thread_native_id));
        id && id->integer) {
        fields.native_id = id;
    }
    fields.path = text_at(part, record.value_at(RecordKey::path));
    auto co_name = text_at(part, record.value_at(RecordKey::co_name));
    auto qualname = text_at(part, record.value_at(RecordKey::qualname));
    if (qualname && !qualname->empty()) {
        fields.name = *qualname;
    } else if (co_name && !co_name->empty()) {
        fields.name = *co_name;
    }
    fields.module = co_name == "<module>";
    return fields;
}

}  // namespace vesk
