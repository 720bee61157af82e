#pragma once
// Interpreter strs as the serialiser stores them (see values/text_encoding.h), and texts made of
// pieces (ASCII of ours and interpreter strs) cut as the reference's _clip cuts them.

#include <array>
#include <cstddef>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "utils/pyref.h"
#include "values/text_encoding.h"

namespace vesk {

// Of the first `count` characters of a str (or str subclass).
TextSize measure(PyObject* text, Py_ssize_t count);

// The first `count` characters, `size` bytes as measure() gave them, without a header.
void append_text(std::string& out, PyObject* text, Py_ssize_t count, std::size_t size);

// A str value of its first `count` characters, surrogates escaped; true if any was.
bool put_safe_str(std::string& out, PyObject* text, Py_ssize_t count);

// A part of a text: ASCII of ours, or an interpreter str.
struct Piece {
    std::string_view ascii;
    PyObject* text = nullptr;

    Py_ssize_t length() const {
        return text != nullptr ? PyUnicode_GET_LENGTH(text) : static_cast<Py_ssize_t>(ascii.size());
    }
};

// A text made of pieces, with what keeps them alive; in memory of its own but for long ones.
struct Text {
    Text() {
        pieces.reserve(8);
        held.reserve(4);
    }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    std::array<std::byte, 512> buffer;
    std::pmr::monotonic_buffer_resource arena{buffer.data(), buffer.size()};
    std::pmr::vector<Piece> pieces{&arena};
    std::pmr::vector<PyRef> held{&arena};

    void add(std::string_view ascii) { pieces.push_back(Piece{ascii, nullptr}); }
    void add(PyRef text) {
        pieces.push_back(Piece{{}, text.get()});
        held.push_back(std::move(text));
    }
    // ASCII made now, kept as long as the text.
    void add_copy(std::string_view ascii);
    void clear() { pieces.clear(); }
};

// The concatenation as a str, cut to `limit` characters as _clip cuts (whole when negative),
// with lone surrogates escaped.
void put_text(std::string& out, std::span<const Piece> pieces, Py_ssize_t limit);

}  // namespace vesk
