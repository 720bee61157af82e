#pragma once
// How the serialiser reads instances of a type that is not an exact builtin it writes at once:
// decided once per type (and remembered with its name, values/type_names.h) in the order of the
// reference's write_other, from what the type and the loaded standard modules hold. Nothing of
// the program runs: lookups go through the types' dictionaries, and modules are only read from
// sys.modules, never imported (a class whose module is not loaded has no instances).

#include "utils/pyref.h"

namespace vesk {

enum class Kind : unsigned char {
    enumeration,  // an enum member: a text map made from its name and value
    exception,    // an object map of its args and __dict__
    named_tuple,  // a tuple subclass with _fields: an object map of its fields
    int_like,     // subclasses of the builtins, written through their storage
    float_like,
    str_like,
    bytes_like,
    bytearray_like,  // bytearray itself too
    memoryview,
    container,  // dict, list, tuple, set, frozenset and subclasses
    deque,      // an object map of its items
    // The rest are written as the repr when reprs are asked for.
    class_object,  // a class: "<class 'module.qualname'>"
    module,        // "<module 'name'>"
    method,        // a bound method of a Python function
    slice,         // its C repr, when its members are ints and None
    uuid,          // texts made from the fields
    fraction,
    path,
    c_text,          // the interpreter's or the standard library's repr, made in C
    c_text_clock,    // the same, for a time or datetime: its tzinfo decides
    c_text_pattern,  // the same, for a compiled pattern of a str or bytes
    fields,          // an object map of its slots and __dict__
    opaque,          // nothing to read: its type alone
};

struct TypeFacts {
    Kind kind = Kind::opaque;
    PyTypeObject* base = nullptr;  // of c_text_clock: datetime.datetime or datetime.time
};

// Never fails: a lookup that raised (memory running out) classifies the type as having nothing
// to read, with the error cleared, unless it must propagate, which the caller finds pending.
TypeFacts classify(PyTypeObject* type);

// The module's attribute as sys.modules holds it now, without importing; null when either is
// missing. Borrowed from the module's dictionary.
PyObject* loaded_attribute(const char* module, const char* name);

// What attribute lookup on instances of `type` finds under `name` in its MRO, unbound; null.
PyObject* type_lookup(PyTypeObject* type, PyObject* name);

// The type has slots whose values an object map shows: member descriptors of its own or of its
// bases', dunder names aside.
bool has_member_slots(PyTypeObject* type);

// The type gives its instances a __dict__ of their own.
bool has_instance_dict(PyTypeObject* type);

}  // namespace vesk
