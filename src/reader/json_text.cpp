#include "reader/json_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace vesk {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

bool is_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xc0) == 0x80;
}

// Whether clean() escapes the character: one a terminal would take for a line break, or for an
// order of the text other than the one it has.
bool is_escaped(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029 || c == 0x061c ||
           c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

void append_clean_text(std::string& out, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
        length = std::min(length, text.size() - i);
        char32_t c = length == 1 ? lead : lead & (0x7f >> length);
        for (std::size_t k = 1; k < length; ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
        }
        if (!is_escaped(c)) {
            out.append(text.substr(i, length));
        } else {
            out += c < 0x100 ? "\\x" : "\\u";
            for (int shift = c < 0x100 ? 4 : 12; shift >= 0; shift -= 4) {
                out += hex_digits[(c >> shift) & 0xf];
            }
        }
        i += length;
    }
}

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    std::size_t plain = 0;  // start of the run not yet copied
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
        out.append(text.substr(plain, i - plain));
        plain = i + 1;
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                out += "\\u00";
                out += hex_digits[byte >> 4];
                out += hex_digits[byte & 0xf];
        }
    }
    out.append(text.substr(plain));
    out += '"';
}

void append_integer(std::string& out, const MsgpackInt& number) {
    char digits[24];
    auto [end, error] = number.negative
                            ? std::to_chars(digits, digits + sizeof digits, number.as_signed())
                            : std::to_chars(digits, digits + sizeof digits, number.bits);
    (void)error;  // 24 characters hold any 64-bit integer
    out.append(digits, end);
}

void append_float_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    if (value == 0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    // The shortest digits that round-trip, as "d.ddde±x"; laid out again as repr lays them out.
    char text[40];
    auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    (void)error;  // 40 characters hold any double in scientific notation
    std::string_view written(text, static_cast<std::size_t>(end - text));
    if (written.front() == '-') {
        out += '-';
        written.remove_prefix(1);
    }
    std::size_t mark = written.find('e');
    std::string digits;
    for (char c : written.substr(0, mark)) {
        if (c != '.') digits += c;
    }
    int exponent = std::atoi(std::string(written.substr(mark + 1)).c_str());
    int point = exponent + 1;  // digits before the decimal point
    auto count = static_cast<int>(digits.size());
    if (point <= -4 || point > 16) {
        out += digits[0];
        if (count > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += exponent < 0 ? "e-" : "e+";
        int magnitude = std::abs(exponent);
        if (magnitude < 10) out += '0';
        out += std::to_string(magnitude);
    } else if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
}

bool append_json_scalar(std::string& out, MsgpackReader& reader, std::size_t string_limit) {
    constexpr std::uint64_t safe = std::uint64_t{1} << 53;
    switch (reader.next_kind()) {
        case MsgpackKind::nil:
            out += "null";
            return reader.skip();
        case MsgpackKind::boolean: {
            auto flag = reader.boolean();
            if (!flag) return false;
            out += *flag ? "true" : "false";
            return true;
        }
        case MsgpackKind::integer: {
            auto number = reader.integer();
            if (!number) return false;
            std::uint64_t magnitude =
                number->negative ? 0 - number->bits : number->bits;  // two's complement negation
            // Beyond, a JSON reader's double would lose digits: the digits go as text.
            bool exact = magnitude <= safe;
            if (!exact) out += '"';
            append_integer(out, *number);
            if (!exact) out += '"';
            return true;
        }
        case MsgpackKind::real: {
            auto number = reader.real();
            if (!number) return false;
            bool finite = std::isfinite(*number);
            if (!finite) out += '"';
            append_float_repr(out, *number);
            if (!finite) out += '"';
            return true;
        }
        case MsgpackKind::str: {
            auto text = reader.str();
            if (!text) return false;
            // Characters, not bytes: a character is a byte that does not continue another.
            std::size_t characters = 0, cut = text->size();
            for (std::size_t i = 0; i < text->size(); ++i) {
                if (is_continuation((*text)[i])) continue;
                if (characters == string_limit - 1) cut = i;
                if (++characters > string_limit) break;
            }
            if (characters <= string_limit) {
                append_json_string(out, *text);
            } else {
                std::string shortened(text->substr(0, cut));
                shortened += "\u2026";
                append_json_string(out, shortened);
            }
            return true;
        }
        default:
            return false;
    }
}

}  // namespace vesk
