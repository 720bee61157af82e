#include "utils/serialize.h"

#include <cstdint>

#include "companion/companion.h"
#include "utils/errors.h"
#include "utils/finalize.h"
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

// The serialiser is looked up at every event, so that replacing it (or its module) takes effect
// at once; where the interpreter can tell us that sys.modules or the module's dictionary
// changed, the last answer stands until one of them does.
int watcher_id = -1;
std::uint64_t generation = 1;  // moves on whenever a watched dictionary changes

struct Remembered {
    PyObject* value = nullptr;  // borrowed from the module's dictionary
    std::uint64_t generation = 0;
};
Remembered remembered_full;
Remembered remembered_lightweight;

int on_watched_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++generation;
    return 0;
}

PyRef remembered_attribute(Remembered& slot, PyObject* module_name, PyObject* attribute) {
    if (slot.generation == generation && watcher_id >= 0) return PyRef::borrow(slot.value);
    if (watcher_id >= 0) {
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* module = PyDict_GetItemWithError(modules, module_name);
        if (module != nullptr && PyModule_CheckExact(module)) {
            PyObject* namespace_dict = PyModule_GetDict(module);
            PyObject* value = PyDict_GetItemWithError(namespace_dict, attribute);
            if (value != nullptr && PyDict_Watch(watcher_id, modules) == 0 &&
                PyDict_Watch(watcher_id, namespace_dict) == 0) {
                slot = {value, generation};
                return PyRef::borrow(value);
            }
        }
        if (PyErr_Occurred() && !discard_ordinary_error()) return {};
    }
    return module_attribute(module_name, attribute);  // the general way, not remembered
}

}  // namespace

bool watch_serializer() {
    if (watcher_id >= 0) return true;
    watcher_id = PyDict_AddWatcher(on_watched_change);
    if (watcher_id < 0) {
        // Every watcher slot is taken by other tools: the serialiser is looked up every time.
        PyErr_Clear();
        return true;
    }
    forget_at_finalize([] {
        watcher_id = -1;
        remembered_full = remembered_lightweight = Remembered{};
    });
    return true;
}

PyRef serializer(bool lightweight) {
    if (lightweight) {
        return remembered_attribute(remembered_lightweight, interned.mod_vesk_serialize,
                                    interned.dump_msgpack_lightweight_repr);
    }
    return remembered_attribute(remembered_full, interned.mod_vesk_serialize,
                                interned.dump_msgpack);
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
