#include "values/type_names.h"

#include <array>
#include <cstdint>
#include <utility>

#include "utils/finalize.h"
#include "utils/interned.h"
#include "utils/interruption.h"
#include "utils/msgpack_writer.h"
#include "values/fields.h"

namespace vesk {

bool must_propagate(PyObject* type) {
    return !PyErr_GivenExceptionMatches(type, PyExc_Exception) ||
           PyErr_GivenExceptionMatches(type, PyExc_MemoryError) || pending_is_interruption();
}

bool drop_ordinary() {
    PyObject* type = PyErr_Occurred();
    if (type != nullptr && must_propagate(type)) return false;
    PyErr_Clear();
    return true;
}

namespace {

struct Sink {
    std::string& bytes;
    void write(const char* data, std::size_t size) { bytes.append(data, size); }
};

// type.__dict__["__module__"].__get__(type).
PyRef type_module(PyTypeObject* type) {
    PyRef type_dict = PyRef::steal(PyType_GetDict(&PyType_Type));
    if (!type_dict) return {};
    PyObject* descriptor = PyDict_GetItemWithError(type_dict.get(), interned.dunder_module);
    if (descriptor == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, interned.dunder_module);
        return {};
    }
    PyRef held = PyRef::borrow(descriptor);
    descrgetfunc get = Py_TYPE(descriptor)->tp_descr_get;
    if (get == nullptr) return held;
    return PyRef::steal(get(descriptor, reinterpret_cast<PyObject*>(type), nullptr));
}

void add_name_pieces(PyRef module, PyRef qualname, Text& text) {
    if (PyUnicode_Check(module.get())) {
        text.add(std::move(module));
    } else {
        text.add("<unknown module>");
    }
    text.add(".");
    if (PyUnicode_Check(qualname.get())) {
        text.add(std::move(qualname));
    } else {
        text.add("<unknown>");
    }
}

constexpr int known_type_bits = 7;
std::array<KnownType, std::size_t{1} << known_type_bits> known_types;
bool known_types_armed = false;

KnownType& known_type_slot(PyTypeObject* type) {
    auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(type));
    return known_types[(address * 0x9e3779b97f4a7c15ULL) >> (64 - known_type_bits)];
}

PyObject* held_qualname(PyTypeObject* type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
}

// Whether the type has a valid version tag, given one now if it can have one. 3.11 has no call
// for that; a lookup through its method cache gives a type one, as the cache needs it.
bool has_version_tag(PyTypeObject* type) {
    if (compat::type_version_is_valid(type)) return true;
#if PY_VERSION_HEX < 0x030C0000
    _PyType_Lookup(type, interned.dunder_class);
    return compat::type_version_is_valid(type);
#else
    return PyUnstable_Type_AssignVersionTag(type) != 0;
#endif
}

void arm_forgetting() {
    if (known_types_armed) return;
    // After the interpreter is gone: its objects are not released, only forgotten.
    forget_at_finalize([] {
        for (KnownType& forgotten : known_types) {
            forgotten.type = nullptr;
            forgotten.version = 0;
            forgotten.qualname = nullptr;
            for (PyRef& member : forgotten.members) member.release();
            forgotten.members.clear();
        }
        known_types_armed = false;
    });
    known_types_armed = true;
}

}  // namespace

bool add_type_name(PyTypeObject* type, Text& text) {
    PyRef module = type_module(type);
    // The qualname descriptor's getter is what PyType_GetQualName runs.
    PyRef qualname = module ? PyRef::steal(PyType_GetQualName(type)) : PyRef();
    if (!qualname) {
        if (!drop_ordinary()) return false;
        text.add("<unknown type>");
        return true;
    }
    add_name_pieces(std::move(module), std::move(qualname), text);
    return true;
}

Fallible<const KnownType*> known_type(PyTypeObject* type) {
    if (!has_version_tag(type)) return nullptr;
    const unsigned int version = type->tp_version_tag;
    PyObject* const qualname_held = held_qualname(type);
    KnownType& slot = known_type_slot(type);
    if (slot.type == type && slot.version == version && slot.qualname == qualname_held) {
        return &slot;
    }
    KnownType known;
    known.type = type;
    known.version = version;
    known.qualname = qualname_held;
    Text name;
    if (!add_type_name(type, name)) return failed;
    put_text(known.packed_name, name.pieces, -1);
    known.facts = classify(type);
    if (!PyErr_Occurred() && known.facts.kind == Kind::fields) {
        member_descriptors(type, known.members);
    }
    if (PyErr_Occurred()) {
        if (!drop_ordinary()) return failed;
        return nullptr;
    }
    // The descriptors ran code of the type's dictionary only if it holds odd keys: the type may
    // have changed meanwhile, and what was read may not be what its tag now stands for.
    if (!compat::type_version_is_valid(type) || type->tp_version_tag != version ||
        held_qualname(type) != qualname_held) {
        return nullptr;
    }
    arm_forgetting();
    Py_XINCREF(known.qualname);
    Py_XDECREF(std::exchange(slot.qualname, nullptr));
    slot = std::move(known);
    return &slot;
}

bool put_type_name(std::string& out, PyTypeObject* type) {
    auto known = known_type(type);
    if (!known.ok()) return false;
    if (*known != nullptr) {
        out.append((*known)->packed_name);
        return true;
    }
    Text name;
    if (!add_type_name(type, name)) return false;
    put_text(out, name.pieces, -1);
    return true;
}

bool put_marker(std::string& out, PyObject* value) {
    Sink sink{out};
    write_map_len(sink, 3);
    write_str(sink, "__type__");
    if (!put_type_name(out, Py_TYPE(value))) return false;
    write_str(sink, "__len__");
    if (PyUnicode_Check(value)) {
        write_uint(sink, static_cast<std::uint64_t>(PyUnicode_GET_LENGTH(value)));
    } else if (PyDict_Check(value)) {
        write_uint(sink, static_cast<std::uint64_t>(PyDict_GET_SIZE(value)));
    } else if (PyAnySet_Check(value)) {
        write_uint(sink, static_cast<std::uint64_t>(PySet_GET_SIZE(value)));
    } else if (PyBytes_Check(value) || PyByteArray_Check(value) || PyList_Check(value) ||
               PyTuple_Check(value)) {
        write_uint(sink, static_cast<std::uint64_t>(Py_SIZE(value)));
    } else {
        write_nil(sink);
    }
    write_str(sink, "__redacted__");
    write_bool(sink, true);
    return true;
}

}  // namespace vesk
