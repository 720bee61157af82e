#pragma once
// An object's fields read from its storage: the slots its type and bases declare (member
// descriptors, read by the interpreter's C getter) and its instance __dict__ (the dict itself,
// never a __dict__ attribute the class may define), a named tuple's items under their names, an
// exception's args and __dict__. No code of the program runs.

#include <array>
#include <cstddef>
#include <memory_resource>
#include <span>
#include <utility>
#include <vector>

#include "utils/pyref.h"

namespace vesk {

// The member descriptors of the type's slots, bases first and in each type's order, dunder names
// aside (the reference's _slot_fields: what vars() of each class in the MRO holds).
void member_descriptors(PyTypeObject* type, std::vector<PyRef>& out);

// A field: its name (a str) and its value.
struct Field {
    PyRef name;
    PyRef value;
};

// Fields held while an object is written: on the stack but for objects of many fields.
struct FieldRoom {
    FieldRoom() { fields.reserve(16); }
    FieldRoom(const FieldRoom&) = delete;
    FieldRoom& operator=(const FieldRoom&) = delete;

    std::array<std::byte, 16 * sizeof(Field) + 64> buffer;
    std::pmr::monotonic_buffer_resource arena{buffer.data(), buffer.size()};
    std::pmr::vector<Field> fields{&arena};
};

// The slots that hold a value, in the order of `members`. False with an exception that must
// propagate; a slot never set is left out.
bool read_slots(PyObject* object, std::span<const PyRef> members, std::pmr::vector<Field>& out);

// The object's own __dict__ when its type gives it one and it is a dict; null (and no error)
// otherwise. Reading it may make the interpreter build the dict of an object that kept its
// attributes inline.
PyRef instance_dict(PyObject* object);

// A slot's value looked up by name (a member descriptor of the type's MRO); null and no error
// when there is none or it was never set, null with an error that must propagate.
PyRef slot_value(PyObject* object, PyObject* name);

// The value a getter of the type's MRO gives (a getset or member descriptor of the interpreter,
// such as a datetime's fields); null with the error set when it fails.
PyRef getter_value(PyObject* object, PyTypeObject* type, PyObject* name);

// A named tuple's field names when they fit it; null otherwise.
PyObject* named_fields(PyObject* tuple);

}  // namespace vesk
