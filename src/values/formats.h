#pragma once
// The texts the serialiser makes from an object's fields where the standard library makes them
// in Python (UUIDs, paths) or where a field cannot be shown (a datetime's own tzinfo class): the
// same text as those reprs give, made from the fields alone. Pure C++.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vesk {

// "12345678-1234-1234-1234-123456789abc" of the 128-bit number high:low.
std::string uuid_text(std::uint64_t high, std::uint64_t low);

// str() of a path made of these pieces (UTF-8): an absolute piece starts again, empty and "."
// parts go, "//" at the start is kept (POSIX gives it a meaning of its own), "." when nothing is
// left.
std::string joined_path(std::span<const std::string_view> pieces);

// The same from an older path's drive, root and parts (the first part is the drive and root
// when there is either).
std::string joined_parts(std::string_view drive, std::string_view root,
                         std::span<const std::string_view> parts);

// The arguments of a date-and-time repr: the leading fields, then second and microsecond only
// as far as they are not zero ("2024, 1, 2, 3, 4, 5").
std::string clock_arguments(std::span<const long long> leading, long long second,
                            long long microsecond);

}  // namespace vesk
