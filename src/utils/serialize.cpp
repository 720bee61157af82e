#include "utils/serialize.h"

#include "companion/companion.h"
#include "utils/errors.h"
#include "utils/interned.h"

namespace vesk {

namespace {

PyRef as_bytes(PyRef result) {
    if (PyBytes_Check(result.get())) return result;
    if (PyUnicode_Check(result.get())) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return {};
    }
    if (!PySequence_Check(result.get())) {
        set_type_mismatch(result.get(), "Sequence");
        return {};
    }
    // A tuple of our own: converting an item may run code that changes the sequence.
    PyRef items = PyRef::steal(PySequence_Tuple(result.get()));
    if (!items) return {};
    Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, count));
    if (!bytes) return {};
    char* out = PyBytes_AS_STRING(bytes.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        long item = PyLong_AsLong(PyTuple_GET_ITEM(items.get(), i));
        if (item == -1 && PyErr_Occurred()) return {};
        if (item < 0 || item > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return {};
        }
        out[i] = static_cast<char>(item);
    }
    return bytes;
}

}  // namespace

PyRef serializer(bool lightweight) {
    return module_attribute(
        interned.mod_vesk_serialize,
        lightweight ? interned.dump_msgpack_lightweight_repr : interned.dump_msgpack);
}

PyRef dump_with(PyObject* serializer, PyObject* value) {
    PyRef result = PyRef::steal(PyObject_CallOneArg(serializer, value));
    if (!result) return {};
    return as_bytes(std::move(result));
}

PyRef dump_value(PyObject* value, bool lightweight) {
    PyRef function = serializer(lightweight);
    if (!function) return {};
    return dump_with(function.get(), value);
}

}  // namespace vesk
