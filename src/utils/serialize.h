#pragma once
// Interpreter values of the profiled program are serialised by the companion package
// (vesk.serialize); the engine embeds the bytes it gets back without looking into them.

#include "utils/msgpack_writer.h"
#include "utils/pyref.h"

namespace vesk {

// The MessagePack bytes of one value from vesk.serialize.dump_msgpack, or from
// dump_msgpack_lightweight_repr when `lightweight` is set.
Fallible<SerializedValue> dump_value(PyObject* value, bool lightweight);

// The result of a serialiser as bytes: a bytes object (copied in one step) or another sequence
// of integers from 0 to 255.
Fallible<SerializedValue> serialized_bytes(PyObject* result);

}  // namespace vesk
