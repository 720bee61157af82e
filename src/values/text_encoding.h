#pragma once
// Text as the serialiser stores it: UTF-8, with lone surrogates escaped as backslashreplace
// writes them ("\udc80"), so that every stored str is valid UTF-8; and the MessagePack headers of
// str and bin as the reference's packer writes them. Pure C++: works on the interpreter's three
// kinds of character arrays without the interpreter.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk {

struct TextSize {
    std::size_t bytes = 0;    // in UTF-8, lone surrogates counted as their escapes
    bool surrogates = false;  // lone surrogates met
};

template <class Char>
TextSize measure_chars(const Char* chars, std::ptrdiff_t count) {
    TextSize size;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        std::uint32_t c = chars[i];
        if (c < 0x80) {
            size.bytes += 1;
        } else if (c < 0x800) {
            size.bytes += 2;
        } else if (c < 0x10000) {
            if (c >= 0xd800 && c <= 0xdfff) {
                size.surrogates = true;
                size.bytes += 6;
            } else {
                size.bytes += 3;
            }
        } else {
            size.bytes += 4;
        }
    }
    return size;
}

// Writes exactly measure_chars(chars, count).bytes bytes at `out`.
template <class Char>
void encode_chars(char* out, const Char* chars, std::ptrdiff_t count) {
    static constexpr char hex[] = "0123456789abcdef";
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        std::uint32_t c = chars[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<char>(0xc0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            if (c >= 0xd800 && c <= 0xdfff) {
                *out++ = '\\';
                *out++ = 'u';
                for (int shift = 12; shift >= 0; shift -= 4) *out++ = hex[(c >> shift) & 0xf];
            } else {
                *out++ = static_cast<char>(0xe0 | (c >> 12));
                *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
                *out++ = static_cast<char>(0x80 | (c & 0x3f));
            }
        } else {
            *out++ = static_cast<char>(0xf0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            *out++ = static_cast<char>(0x80 | (c & 0x3f));
        }
    }
}

// The header of a str of `size` bytes, written at `header` (5 bytes of room); its length.
std::size_t str_header(char* header, std::size_t size);

[[gnu::always_inline]] inline void put_str_header(std::string& out, std::size_t size) {
    if (size < 32) {
        out.push_back(static_cast<char>(0xa0 | size));  // most strs: a byte, kept inline
        return;
    }
    char header[5];
    out.append(header, str_header(header, size));
}

// A str of these UTF-8 bytes, header and all.
void put_utf8(std::string& out, std::string_view text);

// A bin of these bytes.
void put_bin(std::string& out, const char* data, std::size_t size);

}  // namespace vesk
