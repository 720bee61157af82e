#pragma once
// Types as values name them: "<module>.<qualname>", read through type's own descriptors (a
// metaclass may override attribute lookup, a class may define any attribute; these run no code
// of the program), with lone surrogates escaped. What is learnt of a type (its packed name, how
// its instances are read) is remembered while the type keeps its version.

#include <string>
#include <string_view>
#include <vector>

#include "utils/pyref.h"
#include "values/kinds.h"
#include "values/text.h"

namespace vesk {

struct KnownType {
    PyTypeObject* type = nullptr;  // compared, never followed
    unsigned int version = 0;
    PyObject* qualname = nullptr;  // a heap type's, held
    std::string packed_name;       // the str "<module>.<qualname>", packed
    TypeFacts facts;
    std::vector<PyRef> members;  // its slots' member descriptors (values/fields.h)
};

// What is remembered of `type`, learnt now if need be; null when it cannot be remembered (the
// type has no version tag, or changed while it was read): the caller takes the general way.
// Failed only with an exception that must propagate.
Fallible<const KnownType*> known_type(PyTypeObject* type);

// The pieces of the type's name; false only with an exception that must propagate.
bool add_type_name(PyTypeObject* type, Text& text);

// The type's name, packed; false only with an exception that must propagate.
bool put_type_name(std::string& out, PyTypeObject* type);

// The redaction marker of vesk.filters.secrets.marker(value): its type and length, never its
// content.
bool put_marker(std::string& out, PyObject* value);

// The reference catches Exception: anything else goes through, and so do memory running out and
// what a signal handler raised (`type` is that of the pending exception).
bool must_propagate(PyObject* type);

// The pending exception dropped when it is ordinary: true then; false when it must propagate.
bool drop_ordinary();

}  // namespace vesk
