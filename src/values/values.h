#pragma once
// Interpreter values of the profiled program as MessagePack, natively: what docs/stored-layout.md
// ("Values") describes and vesk.serialize's Python reference writes, byte for byte. A value is
// read from what the object holds; no code of the program runs unless reprs are asked for, and
// the cost of one value is bounded by the form's bounds whatever it holds.
//
// Reentrant and thread-safe: all state is per call but for what is remembered of the types met
// (values/type_names.h), read and changed only under the interpreter's lock.

#include <optional>
#include <span>
#include <string>

#include "utils/frames.h"
#include "utils/pyref.h"
#include "values/bounds.h"

namespace vesk {

enum class ValueForm {
    full,         // dump_msgpack
    lightweight,  // dump_msgpack_lightweight_repr: the smaller bounds
};

struct ValueStyle {
    ValueForm form = ValueForm::full;
    bool call_repr = false;  // objects as their reprs, as a recording may ask
    int scale = 1;           // of the full form's bounds

    Bounds bounds() const {
        return form == ValueForm::lightweight
                   ? lightweight_bounds
                   : (scale == 1 ? full_bounds : full_bounds.scaled(scale));
    }
};

// Appends one MessagePack value describing `value` to `out` (callers reuse the buffer: it is not
// cleared). Succeeds for every ordinary object; false, with the error indicator set and `out`
// as it was, only when what must not be swallowed was raised (the program's interruption or exit,
// memory running out, or any exception that is not an Exception, from a repr asked for).
bool write_value(PyObject* value, const ValueStyle& style, std::string& out);

// A frame record's "arg" then its "locals" (the frame's own, written as a dict of these pairs
// without building the dict, or `mapping` when not null), appended to `out`, `arg_size` the
// bytes of the first: the two share one budget, and what one holds that was written already is
// referred to. The same success and failure as write_value().
bool write_record_values(PyObject* arg, std::span<const LocalVariable> locals, PyObject* mapping,
                         const ValueStyle& style, std::string& out, std::size_t& arg_size);

// The module's vesk._vesk.dump_msgpack and dump_msgpack_lightweight_repr (METH_FASTCALL |
// METH_KEYWORDS): (value, *, call_repr=False, value_scale=1), the value's MessagePack as bytes.
PyObject* native_dump_msgpack(PyObject* module, PyObject* const* args, Py_ssize_t count,
                              PyObject* keywords);
PyObject* native_dump_msgpack_lightweight_repr(PyObject* module, PyObject* const* args,
                                               Py_ssize_t count, PyObject* keywords);

// The form `function` writes when it is one of the two above, so that the engine can write
// straight into its records instead of calling it; none for any other serialiser.
inline std::optional<ValueForm> native_form_of(PyObject* function) noexcept {
    if (!PyCFunction_Check(function)) return std::nullopt;
    PyCFunction implementation = PyCFunction_GET_FUNCTION(function);
    if (implementation == as_method(native_dump_msgpack)) return ValueForm::full;
    if (implementation == as_method(native_dump_msgpack_lightweight_repr)) {
        return ValueForm::lightweight;
    }
    return std::nullopt;
}

}  // namespace vesk
