#include "values/kinds.h"

#include <array>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "utils/interned.h"
#include "values/fields.h"

namespace vesk {

PyObject* loaded_attribute(const char* module_name, const char* name) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* module = PyDict_GetItemString(modules, module_name);
    if (module == nullptr || !PyModule_Check(module)) return nullptr;
    return PyDict_GetItemString(PyModule_GetDict(module), name);
}

PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

namespace {

// The type the loaded module names so, when it is a type.
PyTypeObject* loaded_type(const char* module, const char* name) {
    PyObject* found = loaded_attribute(module, name);
    return found != nullptr && PyType_Check(found) ? reinterpret_cast<PyTypeObject*>(found)
                                                   : nullptr;
}

bool is_subtype(PyTypeObject* type, PyTypeObject* base) {
    return base != nullptr && PyType_IsSubtype(type, base);
}

// The instances of `type` show the repr of `base`: the type does not define one of its own.
bool keeps_repr_of(PyTypeObject* type, PyTypeObject* base) {
    return type_lookup(type, interned.dunder_repr) == type_lookup(base, interned.dunder_repr);
}

bool is_named_tuple_type(PyTypeObject* type) {
    PyObject* fields = type_lookup(type, interned.fields_attr);
    if (fields == nullptr || !PyTuple_CheckExact(fields)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(fields, i))) return false;
    }
    return true;
}

// The reference's _FIELD_TEXTS, in its order.
struct FieldText {
    const char* module;
    const char* name;
    Kind kind;
};
constexpr FieldText field_texts[] = {
    {"uuid", "UUID", Kind::uuid},
    {"fractions", "Fraction", Kind::fraction},
    // Only POSIX paths: a Windows path shows its parts the other way round from how it keeps them.
    {"pathlib", "PurePosixPath", Kind::path},
};

// The reference's _C_TEXT_BUILTINS then _C_TEXT_ELSEWHERE, in its order. Two of the builtins
// are not exported by every interpreter: they are the types of objects that always exist.
std::array<PyTypeObject*, 17> builtin_c_texts() {
    static PyTypeObject* method_wrapper = [] {
        PyRef bound = PyRef::steal(PyObject_GetAttrString(Py_None, "__repr__"));
        if (!bound) PyErr_Clear();
        return bound ? Py_TYPE(bound.get()) : nullptr;
    }();
    return {&PyComplex_Type,
            &PyRange_Type,
            &PyFunction_Type,
            &PyCFunction_Type,
            &PyMethodDescr_Type,
            &PyWrapperDescr_Type,
            &PyGetSetDescr_Type,
            &PyMemberDescr_Type,
            &PyClassMethodDescr_Type,
            method_wrapper,
            &PyCode_Type,
            &PyGen_Type,
            &PyCoro_Type,
            &PyAsyncGen_Type,
            &PyFrame_Type,
            Py_TYPE(Py_Ellipsis),
            Py_TYPE(Py_NotImplemented)};
}
struct LoadedCText {
    const char* module;
    const char* name;
};
constexpr LoadedCText loaded_c_texts[] = {
    {"datetime", "timedelta"}, {"datetime", "timezone"}, {"datetime", "datetime"},
    {"datetime", "date"},      {"datetime", "time"},     {"decimal", "Decimal"},
    {"re", "Pattern"},         {"zoneinfo", "ZoneInfo"},
};

// A C-made text of `base` for instances of `type`, a subtype: when the type keeps the base's
// repr, and that repr is the interpreter's wrapper of a C function.
std::optional<TypeFacts> c_text_of(PyTypeObject* type, PyTypeObject* base) {
    PyObject* own = type_lookup(type, interned.dunder_repr);
    if (own == nullptr || own != type_lookup(base, interned.dunder_repr) ||
        !Py_IS_TYPE(own, &PyWrapperDescr_Type)) {
        return TypeFacts{};  // the first base that matches decides: nothing
    }
    if (base == loaded_type("datetime", "datetime") || base == loaded_type("datetime", "time")) {
        return TypeFacts{Kind::c_text_clock, base};
    }
    if (base == loaded_type("re", "Pattern")) return TypeFacts{Kind::c_text_pattern, base};
    return TypeFacts{Kind::c_text, base};
}

std::optional<TypeFacts> c_text_facts(PyTypeObject* type) {
    for (PyTypeObject* base : builtin_c_texts()) {
        if (base != nullptr && PyType_IsSubtype(type, base)) return c_text_of(type, base);
    }
    for (const LoadedCText& loaded : loaded_c_texts) {
        PyTypeObject* base = loaded_type(loaded.module, loaded.name);
        if (is_subtype(type, base)) return c_text_of(type, base);
    }
    return std::nullopt;
}

}  // namespace

bool has_member_slots(PyTypeObject* type) {
    std::vector<PyRef> members;
    member_descriptors(type, members);
    return !members.empty();
}

bool has_instance_dict(PyTypeObject* type) {
    return type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
}

TypeFacts classify(PyTypeObject* type) {
    PyTypeObject* enum_type = loaded_type("enum", "EnumType");
    if (enum_type != nullptr && PyObject_TypeCheck(reinterpret_cast<PyObject*>(type), enum_type)) {
        return {Kind::enumeration};
    }
    if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
        return {Kind::exception};
    }
    if (PyType_FastSubclass(type, Py_TPFLAGS_TUPLE_SUBCLASS) && is_named_tuple_type(type)) {
        return {Kind::named_tuple};
    }
    if (PyType_FastSubclass(type, Py_TPFLAGS_LONG_SUBCLASS)) return {Kind::int_like};
    if (PyType_IsSubtype(type, &PyFloat_Type)) return {Kind::float_like};
    if (PyType_FastSubclass(type, Py_TPFLAGS_UNICODE_SUBCLASS)) return {Kind::str_like};
    if (PyType_FastSubclass(type, Py_TPFLAGS_BYTES_SUBCLASS)) return {Kind::bytes_like};
    if (PyType_IsSubtype(type, &PyByteArray_Type)) return {Kind::bytearray_like};
    if (PyType_IsSubtype(type, &PyMemoryView_Type)) return {Kind::memoryview};
    if (PyType_FastSubclass(type, Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
                                      Py_TPFLAGS_TUPLE_SUBCLASS) ||
        PyType_IsSubtype(type, &PySet_Type) || PyType_IsSubtype(type, &PyFrozenSet_Type)) {
        return {Kind::container};
    }
    if (is_subtype(type, loaded_type("_collections", "deque"))) return {Kind::deque};
    if (PyType_IsSubtype(type, &PyType_Type)) return {Kind::class_object};
    if (PyType_IsSubtype(type, &PyModule_Type)) return {Kind::module};
    if (type == &PyMethod_Type) return {Kind::method};
    if (type == &PySlice_Type) return {Kind::slice};
    for (const FieldText& field_text : field_texts) {
        PyTypeObject* base = loaded_type(field_text.module, field_text.name);
        if (!is_subtype(type, base)) continue;
        if (keeps_repr_of(type, base)) return {field_text.kind};
        break;
    }
    if (std::optional<TypeFacts> facts = c_text_facts(type); facts && facts->kind != Kind::opaque) {
        return *facts;
    }
    if (has_member_slots(type) || has_instance_dict(type)) return {Kind::fields};
    return {Kind::opaque};
}

}  // namespace vesk
