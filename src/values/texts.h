#pragma once
// The texts of text maps ({"__type__", "__repr__"}) made without the program's code: ints past
// 64 bits, enum members, classes, modules, bound methods, slices, UUIDs, fractions, paths, and
// the reprs the interpreter and the standard library make in C; and, when reprs are asked for,
// the object's own repr.

#include <string>

#include "utils/pyref.h"
#include "values/kinds.h"
#include "values/text.h"

namespace vesk {

enum class Made {
    text,       // the text is in place
    not_so,     // the object is not one this text is made for: read its fields instead
    propagate,  // an exception that must reach the caller is pending
};

// Ints past this many bits are named by their size: their digits cost more than they tell.
constexpr Py_ssize_t int_text_bits = 960;

// The digits of an int (or int subclass), or "<int of N bits>".
Made int_text(PyObject* value, Text& text);

// The text of an object of these facts (any kind from class_object on, and enum members).
Made made_text(PyObject* value, const TypeFacts& facts, Text& text);

// repr(value) as a text, or "<repr() raised <type>>".
Made repr_text(PyObject* value, Text& text);

// {"__type__": <name of type>, "__repr__": <text, cut to the repr limit>}; false only with an
// exception that must propagate.
bool put_text_map(std::string& out, PyTypeObject* type, const Text& text);

}  // namespace vesk
