#include "utils/serialize.h"

#include "companion/companion.h"
#include "utils/errors.h"
#include "utils/interned.h"

namespace vesk {

Fallible<SerializedValue> serialized_bytes(PyObject* result) {
    if (PyBytes_Check(result)) {
        return SerializedValue(PyBytes_AS_STRING(result),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(result)));
    }
    if (PyUnicode_Check(result)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return failed;
    }
    if (!PySequence_Check(result)) {
        set_type_mismatch(result, "Sequence");
        return failed;
    }
    PyRef items = PyRef::steal(PySequence_Fast(result, "expected a sequence"));
    if (!items) return failed;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    SerializedValue bytes;
    bytes.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        long item = PyLong_AsLong(PySequence_Fast_GET_ITEM(items.get(), i));
        if (item == -1 && PyErr_Occurred()) return failed;
        if (item < 0 || item > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return failed;
        }
        bytes.push_back(static_cast<char>(item));
    }
    return bytes;
}

Fallible<SerializedValue> dump_value(PyObject* value, bool lightweight) {
    PyRef serializer = module_attribute(
        interned.mod_vesk_serialize,
        lightweight ? interned.dump_msgpack_lightweight_repr : interned.dump_msgpack);
    if (!serializer) return failed;
    PyRef result = PyRef::steal(PyObject_CallOneArg(serializer.get(), value));
    if (!result) return failed;
    return serialized_bytes(result.get());
}

}  // namespace vesk
