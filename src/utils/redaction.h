#pragma once
// Which recorded values are secrets, for the native serialiser: the rules of
// vesk.filters.secrets, whose patterns it hands over through set_redaction(). Both checks run on
// every dict key and every str the engine records, under the interpreter's lock.

#include <algorithm>
#include <array>
#include <cstdint>

#include "utils/pyref.h"

namespace vesk {

namespace redaction_detail {

// The same few names are looked at again and again (a function's locals are interned strs, kept
// by its code): the answer is remembered per str object, which is held meanwhile so that its
// address names no other object.
struct KnownName {
    PyObject* name = nullptr;  // held
    bool secret = false;
};
constexpr int known_name_bits = 9;
extern std::array<KnownName, std::size_t{1} << known_name_bits> known_names;

inline KnownName& known_name_slot(PyObject* name) {
    auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name));
    return known_names[(address * 0x9e3779b97f4a7c15ULL) >> (64 - known_name_bits)];
}

bool is_secret_name_slowly(PyObject* name);

constexpr Py_ssize_t shape_min = 14;  // no shape fits in fewer characters
bool has_secret_shape(PyObject* text, Py_ssize_t count);

}  // namespace redaction_detail

// A value stored under `name` (a str, or str subclass) is a secret: one of the patterns' word
// parts appear in a row among the name's. A few instructions for a name met before.
[[gnu::always_inline]] inline bool is_secret_name(PyObject* name) {
    const redaction_detail::KnownName& known = redaction_detail::known_name_slot(name);
    if (known.name == name) return known.secret;
    return redaction_detail::is_secret_name_slowly(name);
}

// `text` (a str, or str subclass) has the shape of a credential; or its first `scan` characters
// do, for a caller that keeps no more than those (and a margin).
[[gnu::always_inline]] inline bool looks_secret(PyObject* text, Py_ssize_t scan = PY_SSIZE_T_MAX) {
    Py_ssize_t count = std::min(PyUnicode_GET_LENGTH(text), scan);
    return count >= redaction_detail::shape_min && redaction_detail::has_secret_shape(text, count);
}

// vesk._vesk.set_redaction(patterns) (METH_O): the process's patterns, each a sequence of
// lower-case word parts, in place of those set before.
PyObject* set_redaction(PyObject* module, PyObject* patterns);

}  // namespace vesk
