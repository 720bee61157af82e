#include "values/text.h"

#include <algorithm>
#include <cstring>

namespace vesk {

TextSize measure(PyObject* text, Py_ssize_t count) {
    if (PyUnicode_IS_ASCII(text)) return {static_cast<std::size_t>(count), false};
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return measure_chars(static_cast<const Py_UCS1*>(data), count);
        case PyUnicode_2BYTE_KIND:
            return measure_chars(static_cast<const Py_UCS2*>(data), count);
        default:
            return measure_chars(static_cast<const Py_UCS4*>(data), count);
    }
}

void append_text(std::string& out, PyObject* text, Py_ssize_t count, std::size_t size) {
    const void* data = PyUnicode_DATA(text);
    if (PyUnicode_IS_ASCII(text)) {
        out.append(static_cast<const char*>(data), size);
        return;
    }
    std::size_t at = out.size();
    out.resize(at + size);
    char* target = out.data() + at;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            encode_chars(target, static_cast<const Py_UCS1*>(data), count);
            break;
        case PyUnicode_2BYTE_KIND:
            encode_chars(target, static_cast<const Py_UCS2*>(data), count);
            break;
        default:
            encode_chars(target, static_cast<const Py_UCS4*>(data), count);
    }
}

bool put_safe_str(std::string& out, PyObject* text, Py_ssize_t count) {
    if (PyUnicode_IS_ASCII(text) && count < 32) {
        // Most strs are short words.
        out.push_back(static_cast<char>(0xa0 | count));
        out.append(static_cast<const char*>(PyUnicode_DATA(text)), static_cast<std::size_t>(count));
        return false;
    }
    TextSize size = measure(text, count);
    put_str_header(out, size.bytes);
    append_text(out, text, count, size.bytes);
    return size.surrogates;
}

void Text::add_copy(std::string_view ascii) {
    auto* copy = static_cast<char*>(arena.allocate(ascii.size(), 1));
    std::memcpy(copy, ascii.data(), ascii.size());
    add(std::string_view(copy, ascii.size()));
}

void put_text(std::string& out, std::span<const Piece> pieces, Py_ssize_t limit) {
    Py_ssize_t total = 0;
    for (const Piece& piece : pieces) total += piece.length();
    Py_ssize_t keep = total;
    std::string_view suffix;
    if (limit >= 0 && total > limit) {
        keep = limit - 3;
        suffix = "...";
    }
    std::size_t size = suffix.size();
    Py_ssize_t left = keep;
    for (const Piece& piece : pieces) {
        Py_ssize_t count = std::min(left, piece.length());
        size += piece.text != nullptr ? measure(piece.text, count).bytes
                                      : static_cast<std::size_t>(count);
        left -= count;
    }
    put_str_header(out, size);
    left = keep;
    for (const Piece& piece : pieces) {
        Py_ssize_t count = std::min(left, piece.length());
        if (piece.text != nullptr) {
            append_text(out, piece.text, count, measure(piece.text, count).bytes);
        } else {
            out.append(piece.ascii.data(), static_cast<std::size_t>(count));
        }
        left -= count;
    }
    out.append(suffix);
}

}  // namespace vesk
