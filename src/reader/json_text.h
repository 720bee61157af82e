#pragma once
// JSON as `vesk export` writes it with the interpreter's json module (ensure_ascii off, compact
// separators), for the values that need no more than that: text escaped only where JSON must
// escape it, floats as repr() writes them. Pure C++: no interpreter headers.

#include <cstddef>
#include <string>
#include <string_view>

#include "reader/msgpack_reader.h"

namespace vesk {

// text (UTF-8) as a JSON string.
void append_json_string(std::string& out, std::string_view text);

// The integer in decimal.
void append_integer(std::string& out, const MsgpackInt& number);

// What repr() of the float writes: the shortest digits that read back as it, in positional
// notation from 1e-4 up to 1e16 and with an exponent beyond.
void append_float_repr(std::string& out, double value);

// text (UTF-8) as values.py's clean() makes it one line that a terminal shows as it is: control
// characters, line separators and bidirectional controls escaped.
void append_clean_text(std::string& out, std::string_view text);

// The value at the reader as export's _json_value makes it JSON, when it is None, a bool, an
// int, a float or a str: scalars as they are (beyond what a JSON reader's doubles hold, and for
// floats that JSON has no numbers for, as their repr text), text cut to string_limit characters.
// False, with the reader anywhere, for any other value.
bool append_json_scalar(std::string& out, MsgpackReader& reader, std::size_t string_limit);

}  // namespace vesk
