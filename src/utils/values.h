#pragma once
// Interpreter values of the profiled program as MessagePack, natively: the mapping that
// vesk.serialize documents, byte for byte what its Python functions (the reference) produce, at
// a bounded cost for any value. Values that need the exact behaviour of Python-level code this
// file does not reproduce (reprlib's bounded reprs of containers, memoryview slicing in the
// lightweight form) are handed to the reference one at a time.
//
// Reentrant and thread-safe: all state is per call, and a repr() it runs may serialise again or
// let another thread serialise meanwhile.

#include <string>

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

}  // namespace vesk
