#pragma once
// The built-in predicates that recognise frames whose code is never the user's own: the
// interpreter's library and installed packages, frozen modules, the companion package's own
// modules, code compiled from a string, pytest's match expressions. Pure tests on the file name;
// the attrs test, which also looks at the calling frame, lives with the interpreter-facing part.

#include <string_view>

namespace vesk {

bool library_filter(std::string_view filename) noexcept;
bool frozen_filter(std::string_view filename) noexcept;
bool own_package_filter(std::string_view filename) noexcept;
bool exec_string_filter(std::string_view filename) noexcept;
bool pytest_expression_filter(std::string_view filename) noexcept;
// Code a library generated and compiled under a name of the form "<... generated ...>", as
// SQLAlchemy and attrs name theirs, or under "<werkzeug routing>". Other names in angle brackets
// ("<stdin>", a notebook's cells) may be the user's own code.
bool generated_name_filter(std::string_view filename) noexcept;

// The first test of the attrs filter: a file name that says attrs generated it.
bool attrs_generated_name(std::string_view filename) noexcept;
// The second: the calling frame's file is attrs' own code generator.
bool attrs_maker_file(std::string_view caller_filename) noexcept;

}  // namespace vesk
