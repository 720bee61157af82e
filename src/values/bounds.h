#pragma once
// What writing values may cost: the bounds of the two forms that docs/stored-layout.md ("Values")
// gives, and what is left of them while a record's values are written. Pure C++.

#include <algorithm>
#include <cstddef>

namespace vesk {

struct Bounds {
    std::ptrdiff_t items;   // of a container, fields of an object
    std::ptrdiff_t chars;   // of a str
    std::ptrdiff_t bytes;   // of a bytes-like
    std::ptrdiff_t text;    // characters and bytes of all the strs and bytes-likes of one record
    int depth;              // the value itself is at depth 0
    std::ptrdiff_t values;  // written for one record, keys and field names included

    // The deepest any value is followed, whatever the scale: the walk recurses, and may start
    // deep in the program's own stack.
    static constexpr int max_depth = 64;

    // The full form's bounds multiplied by `scale` (at least 1), the depth up to max_depth.
    constexpr Bounds scaled(int scale) const {
        scale = std::max(scale, 1);
        return Bounds{items * scale,
                      chars * scale,
                      bytes * scale,
                      text * scale,
                      std::min(depth * scale, max_depth),
                      values * scale};
    }
};

inline constexpr Bounds full_bounds{32, 1000, 1000, 1024, 12, 32};
inline constexpr Bounds lightweight_bounds{16, 200, 200, 512, 4, 16};

// Of `length` items, how many a container keeps with `values_left` values to write: never more
// than the bound, and one at least while any is left (the reference's max(values, 1)).
constexpr std::ptrdiff_t items_kept(std::ptrdiff_t length, std::ptrdiff_t bound,
                                    std::ptrdiff_t values_left) {
    return std::min({length, bound, std::max<std::ptrdiff_t>(values_left, 1)});
}

// Of a text of `length` characters (or bytes), how many are kept.
constexpr std::ptrdiff_t text_kept(std::ptrdiff_t length, std::ptrdiff_t bound,
                                   std::ptrdiff_t text_left) {
    return std::max<std::ptrdiff_t>(std::min({length, bound, text_left}), 0);
}

}  // namespace vesk
