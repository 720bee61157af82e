#include "reader/msgpack_reader.h"

#include <bit>
#include <cstring>

namespace vesk {

bool detail::is_utf8_beyond_ascii(std::string_view text) noexcept {
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = at + text.size();
    while (at < end) {
        // ASCII eight bytes at a time while it lasts.
        if (end - at >= 8) {
            std::uint64_t word;
            std::memcpy(&word, at, 8);
            if ((word & 0x8080808080808080u) == 0) {
                at += 8;
                continue;
            }
        }
        unsigned char lead = *at;
        if (lead < 0x80) {
            ++at;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80, high = 0xbf;  // the bounds of the second byte
        if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            if (lead == 0xe0) low = 0xa0;   // overlong
            if (lead == 0xed) high = 0x9f;  // surrogates
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            if (lead == 0xf0) low = 0x90;   // overlong
            if (lead == 0xf4) high = 0x8f;  // above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - at) < length) return false;
        if (at[1] < low || at[1] > high) return false;
        for (std::size_t i = 2; i < length; ++i) {
            if ((at[i] & 0xc0) != 0x80) return false;
        }
        at += length;
    }
    return true;
}

std::optional<MsgpackInt> MsgpackReader::integer() noexcept {
    const char* at = nullptr;
    if (!take(1, at)) return std::nullopt;
    auto marker = static_cast<unsigned char>(*at);
    if (marker <= 0x7f) return MsgpackInt{false, marker};
    if (marker >= 0xe0) {
        return MsgpackInt{true, static_cast<std::uint64_t>(static_cast<std::int8_t>(marker))};
    }
    int size = 0;
    bool is_signed = marker >= 0xd0;
    switch (marker) {
        case 0xcc:
        case 0xd0:
            size = 1;
            break;
        case 0xcd:
        case 0xd1:
            size = 2;
            break;
        case 0xce:
        case 0xd2:
            size = 4;
            break;
        case 0xcf:
        case 0xd3:
            size = 8;
            break;
        default:
            return fail(), std::nullopt;
    }
    auto raw = big_endian(size);
    if (!raw) return std::nullopt;
    if (!is_signed) return MsgpackInt{false, *raw};
    // Sign-extended from its size; a signed encoding of a non-negative value is that value.
    int shift = 64 - 8 * size;
    auto value = static_cast<std::int64_t>(*raw << shift) >> shift;
    return MsgpackInt{value < 0, static_cast<std::uint64_t>(value)};
}

std::optional<double> MsgpackReader::real() noexcept {
    const char* at = nullptr;
    if (!take(1, at)) return std::nullopt;
    auto marker = static_cast<unsigned char>(*at);
    if (marker == 0xca) {
        auto raw = big_endian(4);
        if (!raw) return std::nullopt;
        return static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(*raw)));
    }
    if (marker == 0xcb) {
        auto raw = big_endian(8);
        if (!raw) return std::nullopt;
        return std::bit_cast<double>(*raw);
    }
    return fail(), std::nullopt;
}

std::optional<bool> MsgpackReader::boolean() noexcept {
    const char* at = nullptr;
    if (!take(1, at)) return std::nullopt;
    auto marker = static_cast<unsigned char>(*at);
    if (marker == 0xc2 || marker == 0xc3) return marker == 0xc3;
    return fail(), std::nullopt;
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
        } else if (*key == "timestamp") {
            MsgpackReader value = reader;
            summary.started = value.real();
            if (!reader.skip()) return {};
        } else if (!reader.skip()) {
            return {};
        }
    }
    if (per_thread && main) summary.records = *per_thread + *main;
    return summary;
}

}  // namespace vesk
