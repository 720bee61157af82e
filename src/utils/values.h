#pragma once
// Interpreter values of the profiled program as MessagePack, natively: the mapping that
// vesk.serialize documents, byte for byte what its Python functions (the reference) produce, at
// a bounded cost for any value. Values that need the exact behaviour of Python-level code this
// file does not reproduce (reprlib's bounded reprs of containers, memoryview slicing in the
// lightweight form) are handed to the reference one at a time. Secrets are stored as the
// reference's markers, by the rules of utils/redaction.h.
//
// Reentrant and thread-safe: all state is per call but for what is remembered of the types last
// named (kept while each type keeps its version, read and changed only under the interpreter's
// lock and never across code that may run), and a repr() it runs may serialise again or let
// another thread serialise meanwhile.

#include <optional>
#include <span>
#include <string>

#include "utils/frames.h"
#include "utils/pyref.h"

namespace vesk {

enum class ValueForm {
    full,         // dump_msgpack: whole up to FULL_LIMIT bytes, else the lightweight form
    lightweight,  // dump_msgpack_lightweight_repr: bounded in items, depth and text
};

// Appends one MessagePack value describing `value` to `out` (callers reuse the buffer: it is not
// cleared). Succeeds for every ordinary object; false, with the error indicator set and `out`
// as it was, only when code it ran raised what must not be swallowed (the program's
// interruption or exit, memory running out, or any exception that is not an Exception).
bool write_value(PyObject* value, ValueForm form, std::string& out);

// What write_value() writes for a dict holding these (name, value) pairs in this order: the
// frame's locals, written without building the dict.
bool write_locals(std::span<const LocalVariable> locals, ValueForm form, std::string& out);

// The module's vesk._vesk.dump_msgpack and dump_msgpack_lightweight_repr (METH_O): the value's
// MessagePack as bytes.
PyObject* native_dump_msgpack(PyObject* module, PyObject* value);
PyObject* native_dump_msgpack_lightweight_repr(PyObject* module, PyObject* value);

// The form `function` writes when it is one of the two above, so that the engine can write
// straight into its records instead of calling it; none for any other serialiser.
inline std::optional<ValueForm> native_form_of(PyObject* function) noexcept {
    if (!PyCFunction_Check(function)) return std::nullopt;
    PyCFunction implementation = PyCFunction_GET_FUNCTION(function);
    if (implementation == native_dump_msgpack) return ValueForm::full;
    if (implementation == native_dump_msgpack_lightweight_repr) return ValueForm::lightweight;
    return std::nullopt;
}

}  // namespace vesk
