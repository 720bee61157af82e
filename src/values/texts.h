#pragma once
// The texts of text maps ({"__type__", "__repr__"}) made without the program's code: ints past
// 64 bits, enum members, classes, modules, bound methods, slices, UUIDs, fractions, paths, and
// the reprs the interpreter and the standard library make in C; and, when reprs are asked for,
// the object's own repr.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "utils/pyref.h"
#include "values/kinds.h"
#include "values/text.h"

namespace vesk {

enum class Made {
    text,       // the text is in place
    not_so,     // the object is not one this text is made for: read its fields instead
    propagate,  // an exception that must reach the caller is pending
};

// Ints past this many bits are told by their size and leading digits, read from their top bits:
// their decimal digits cost time that grows faster than their size.
constexpr Py_ssize_t int_text_bits = 128;

// The digits of an int (or int subclass), or past int_text_bits "≈1.2345e+450 (451 digits)".
Made int_text(PyObject* value, Text& text);

// "≈<sign><mantissa>e+<exponent> (<digits> digits)" in UTF-8 for an int of `bits` bits (more than
// int_text_bits), read from its top 64 bits in place: computed in doubles exactly as
// vesk.serialize's reference does. Written into `room`.
using ApproximateInt = std::array<char, 96>;
std::string_view approximate_int_text(PyObject* value, std::int64_t bits, ApproximateInt& room);

// The text of an object of these facts (any kind from class_object on, and enum members).
Made made_text(PyObject* value, const TypeFacts& facts, Text& text);

// repr(value) as a text, or "<repr() raised <type>>".
Made repr_text(PyObject* value, Text& text);

// {"__type__": <name of type>, "__repr__": <text, cut to the repr limit>}; false only with an
// exception that must propagate.
bool put_text_map(std::string& out, PyTypeObject* type, const Text& text);

// {"__type__": <name of type>, "__same__": <path, cut to the repr limit>}: an object met again in
// a record, referring to where it was written.
bool put_same_map(std::string& out, PyTypeObject* type, const Text& path);

}  // namespace vesk
