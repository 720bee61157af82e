#include "utils/msgpack_reader.h"

namespace vesk {

bool MsgpackReader::take(std::size_t count, const char*& at) noexcept {
    if (!ok_ || bytes_.size() - position_ < count) return fail();
    at = bytes_.data() + position_;
    position_ += count;
    return true;
}

std::optional<std::uint64_t> MsgpackReader::big_endian(int size) noexcept {
    const char* at = nullptr;
    if (!take(static_cast<std::size_t>(size), at)) return std::nullopt;
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(at[i]);
    return value;
}

std::optional<std::uint32_t> MsgpackReader::map_header() noexcept {
    const char* at = nullptr;
    if (!take(1, at)) return std::nullopt;
    auto marker = static_cast<unsigned char>(*at);
    if ((marker & 0xf0) == 0x80) return marker & 0x0f;
    std::optional<std::uint64_t> count;
    if (marker == 0xde) count = big_endian(2);
    if (marker == 0xdf) count = big_endian(4);
    if (!count) return fail(), std::nullopt;
    return static_cast<std::uint32_t>(*count);
}

std::optional<std::uint32_t> MsgpackReader::array_header() noexcept {
    const char* at = nullptr;
    if (!take(1, at)) return std::nullopt;
    auto marker = static_cast<unsigned char>(*at);
    if ((marker & 0xf0) == 0x90) return marker & 0x0f;
    std::optional<std::uint64_t> count;
    if (marker == 0xdc) count = big_endian(2);
    if (marker == 0xdd) count = big_endian(4);
    if (!count) return fail(), std::nullopt;
    return static_cast<std::uint32_t>(*count);
}

std::optional<std::string_view> MsgpackReader::str() noexcept {
    const char* at = nullptr;
    if (!take(1, at)) return std::nullopt;
    auto marker = static_cast<unsigned char>(*at);
    std::optional<std::uint64_t> length;
    if ((marker & 0xe0) == 0xa0) length = marker & 0x1f;
    if (marker == 0xd9) length = big_endian(1);
    if (marker == 0xda) length = big_endian(2);
    if (marker == 0xdb) length = big_endian(4);
    if (!length) return fail(), std::nullopt;
    const char* text = nullptr;
    if (!take(*length, text)) return std::nullopt;
    return std::string_view(text, *length);
}

bool MsgpackReader::skip() noexcept {
    // Containers still to skip, as counts of values: iterative, so that no nesting is too deep.
    std::uint64_t pending = 1;
    while (pending > 0) {
        --pending;
        const char* at = nullptr;
        if (!take(1, at)) return false;
        auto marker = static_cast<unsigned char>(*at);
        std::uint64_t payload = 0;
        if (marker <= 0x7f || marker >= 0xe0 || (marker >= 0xc0 && marker <= 0xc3)) {
            continue;  // fixint, nil, never used, booleans
        } else if ((marker & 0xf0) == 0x80) {
            pending += 2u * (marker & 0x0f);
            continue;
        } else if ((marker & 0xf0) == 0x90) {
            pending += marker & 0x0f;
            continue;
        } else if ((marker & 0xe0) == 0xa0) {
            payload = marker & 0x1f;
        } else {
            switch (marker) {
                case 0xc4:
                case 0xd9:
                    payload = big_endian(1).value_or(0);
                    break;  // bin8 str8
                case 0xc5:
                case 0xda:
                    payload = big_endian(2).value_or(0);
                    break;  // bin16 str16
                case 0xc6:
                case 0xdb:
                    payload = big_endian(4).value_or(0);
                    break;  // bin32 str32
                case 0xc7:
                    payload = big_endian(1).value_or(0) + 1;
                    break;  // ext8
                case 0xc8:
                    payload = big_endian(2).value_or(0) + 1;
                    break;  // ext16
                case 0xc9:
                    payload = big_endian(4).value_or(0) + 1;
                    break;  // ext32
                case 0xca:
                    payload = 4;
                    break;
                case 0xcb:
                    payload = 8;
                    break;
                case 0xcc:
                case 0xd0:
                    payload = 1;
                    break;
                case 0xcd:
                case 0xd1:
                    payload = 2;
                    break;
                case 0xce:
                case 0xd2:
                    payload = 4;
                    break;
                case 0xcf:
                case 0xd3:
                    payload = 8;
                    break;
                case 0xd4:
                    payload = 2;
                    break;  // fixext 1, with its type byte
                case 0xd5:
                    payload = 3;
                    break;
                case 0xd6:
                    payload = 5;
                    break;
                case 0xd7:
                    payload = 9;
                    break;
                case 0xd8:
                    payload = 17;
                    break;
                case 0xdc:
                    pending += big_endian(2).value_or(0);
                    continue;
                case 0xdd:
                    pending += big_endian(4).value_or(0);
                    continue;
                case 0xde:
                    pending += 2 * big_endian(2).value_or(0);
                    continue;
                case 0xdf:
                    pending += 2 * big_endian(4).value_or(0);
                    continue;
                default:
                    return fail();
            }
        }
        if (!ok_) return false;
        if (!take(payload, at)) return false;
    }
    return ok_;
}

namespace {

// A thread's first or last record: notes the test it starts or ends.
void note_test(MsgpackReader& reader, TraceSummary& summary) {
    auto entries = reader.map_header();
    if (!entries) return;
    std::optional<std::string_view> type, nodeid, outcome, when;
    for (std::uint32_t i = 0; i < *entries && reader.ok(); ++i) {
        auto key = reader.str();
        if (!key) return;
        std::optional<std::string_view>* slot = *key == "type"      ? &type
                                                : *key == "nodeid"  ? &nodeid
                                                : *key == "outcome" ? &outcome
                                                : *key == "when"    ? &when
                                                                    : nullptr;
        if (slot != nullptr && !reader.next_is_nil()) {
            MsgpackReader probe = reader;
            if (auto text = probe.str()) {
                *slot = text;
                reader = probe;
                continue;
            }
        }
        reader.skip();
    }
    if ((type == "start_test" || type == "end_test") && nodeid) summary.test_nodeid = nodeid;
    if (type == "end_test") {
        summary.test_outcome = outcome;
        summary.test_when = when;
    }
}

// An array of records: their count, the first and last read for a test's marks.
std::optional<std::uint64_t> read_records(MsgpackReader& reader, TraceSummary& summary) {
    auto count = reader.array_header();
    if (!count) return std::nullopt;
    for (std::uint32_t i = 0; i < *count; ++i) {
        if (i == 0 || i + 1 == *count) {
            MsgpackReader record = reader;
            note_test(record, summary);
        }
        if (!reader.skip()) return std::nullopt;
    }
    return *count;
}

}  // namespace

TraceSummary summarise_trace(std::string_view bytes) noexcept {
    MsgpackReader reader(bytes);
    TraceSummary summary;
    std::optional<std::uint64_t> per_thread, main;
    auto entries = reader.map_header();
    if (!entries) return {};
    for (std::uint32_t i = 0; i < *entries; ++i) {
        MsgpackReader probe = reader;
        auto key = probe.str();
        if (!key) {
            if (!reader.skip() || !reader.skip()) return {};
            continue;
        }
        reader = probe;
        if (*key == "frames") {
            auto threads = reader.map_header();
            if (!threads) return {};
            per_thread = 0;
            for (std::uint32_t t = 0; t < *threads; ++t) {
                if (!reader.skip()) return {};  // the thread's id
                auto count = read_records(reader, summary);
                if (!count) return {};
                *per_thread += *count;
            }
        } else if (*key == "frames_of_interest") {
            main = read_records(reader, summary);
            if (!main) return {};
        } else if (*key == "meta") {
            MsgpackReader meta = reader;
            if (auto fields = meta.map_header()) {
                for (std::uint32_t f = 0; f < *fields && meta.ok(); ++f) {
                    MsgpackReader field = meta;
                    auto name = field.str();
                    if (name && *name == "source") {
                        MsgpackReader value = field;
                        if (auto text = value.str()) summary.source = text;
                    }
                    if (!meta.skip() || !meta.skip()) break;
                }
            }
            if (!reader.skip()) return {};
        } else if (!reader.skip()) {
            return {};
        }
    }
    if (per_thread && main) summary.records = *per_thread + *main;
    return summary;
}

}  // namespace vesk
