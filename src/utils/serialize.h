#pragma once
// Interpreter values of the profiled program are serialised by the companion package
// (vesk.serialize); the engine embeds the bytes it gets back without looking into them.

#include <string_view>

#include "utils/pyref.h"

namespace vesk {

// Starts telling the serialiser's lookups when sys.modules or vesk.serialize change; at module
// initialisation.
bool watch_serializer();

// vesk.serialize.dump_msgpack, or dump_msgpack_lightweight_repr when `lightweight` is set, as
// the module holds it now.
PyRef serializer(bool lightweight);

// The serialiser's result for one value as a bytes object: a bytes result as it is, another
// sequence of integers from 0 to 255 converted. Null with the error indicator set on failure.
PyRef dump_with(PyObject* serializer, PyObject* value);

// Both steps, for a single value.
PyRef dump_value(PyObject* value, bool lightweight);

// The bytes of a bytes object (borrowed from it).
inline std::string_view bytes_view(PyObject* bytes) noexcept {
    return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

}  // namespace vesk
