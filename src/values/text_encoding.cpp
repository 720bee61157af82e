#include "values/text_encoding.h"

namespace vesk {

std::size_t str_header(char* header, std::size_t size) {
    if (size < 32) {
        header[0] = static_cast<char>(0xa0 | size);
        return 1;
    }
    if (size < 256) {
        header[0] = static_cast<char>(0xd9);
        header[1] = static_cast<char>(size);
        return 2;
    }
    if (size < 65536) {
        header[0] = static_cast<char>(0xda);
        header[1] = static_cast<char>(size >> 8);
        header[2] = static_cast<char>(size);
        return 3;
    }
    header[0] = static_cast<char>(0xdb);
    for (int i = 0; i < 4; ++i) header[1 + i] = static_cast<char>(size >> (24 - 8 * i));
    return 5;
}

void put_utf8(std::string& out, std::string_view text) {
    put_str_header(out, text.size());
    out.append(text);
}

void put_bin(std::string& out, const char* data, std::size_t size) {
    if (size < 256) {
        out.push_back(static_cast<char>(0xc4));
        out.push_back(static_cast<char>(size));
    } else if (size < 65536) {
        out.push_back(static_cast<char>(0xc5));
        out.push_back(static_cast<char>(size >> 8));
        out.push_back(static_cast<char>(size));
    } else {
        out.push_back(static_cast<char>(0xc6));
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(size >> (24 - 8 * i)));
    }
    out.append(data, size);
}

}  // namespace vesk
