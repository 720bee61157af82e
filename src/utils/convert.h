#pragma once
// Conversions of interpreter values into the engine's own types, with the engine's error
// messages. All return a failed outcome with the error indicator set when the value is refused.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utils/pyref.h"

namespace vesk {

// The interpreter's True or False, or a numpy boolean scalar (type named "numpy.bool_" in
// numpy 1, "numpy.bool" in numpy 2) through its truth-value slot. Integers are refused.
Fallible<bool> to_bool_value(PyObject* object);

// UTF-8 of a str (or subclass), borrowed from the object: valid while the object lives.
Fallible<std::string_view> text_view(PyObject* object);
Fallible<std::string> to_text(PyObject* object);

// An int from 0 to 2^64-1, or any object whose __index__ gives one.
Fallible<std::uint64_t> to_u64(PyObject* object);

// A list or other sequence of str; a str itself is refused.
Fallible<std::vector<std::string>> to_text_list(PyObject* object);

}  // namespace vesk
