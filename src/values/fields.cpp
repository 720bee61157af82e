#include "values/fields.h"

#include <string_view>

#include "utils/interned.h"
#include "values/kinds.h"
#include "values/type_names.h"

namespace vesk {

namespace {

bool is_dunder_name(PyObject* name) {
    if (!PyUnicode_Check(name)) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length < 4) return false;
    auto at = [name](Py_ssize_t i) { return PyUnicode_READ_CHAR(name, i); };
    return at(0) == '_' && at(1) == '_' && at(length - 2) == '_' && at(length - 1) == '_';
}

}  // namespace

void member_descriptors(PyTypeObject* type, std::vector<PyRef>& out) {
    out.clear();
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return;
    for (Py_ssize_t i = PyTuple_GET_SIZE(mro) - 1; i >= 0; --i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (base == &PyBaseObject_Type) continue;
        PyRef dict = PyRef::steal(PyType_GetDict(base));
        if (!dict) continue;
        Py_ssize_t position = 0;
        PyObject* name;
        PyObject* descriptor;
        while (PyDict_Next(dict.get(), &position, &name, &descriptor)) {
            if (!Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) continue;
            if (PyDescr_TYPE(descriptor) != base || is_dunder_name(name)) continue;
            out.push_back(PyRef::borrow(descriptor));
        }
    }
}

bool read_slots(PyObject* object, std::span<const PyRef> members, std::pmr::vector<Field>& out) {
    for (const PyRef& member : members) {
        PyObject* descriptor = member.get();
        PyRef value = PyRef::steal(
            Py_TYPE(descriptor)
                ->tp_descr_get(descriptor, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();  // a slot never set
            continue;
        }
        out.push_back(Field{PyRef::borrow(PyDescr_NAME(descriptor)), std::move(value)});
    }
    return true;
}

PyRef instance_dict(PyObject* object) {
    if (!has_instance_dict(Py_TYPE(object))) return {};
    PyRef dict = PyRef::steal(PyObject_GenericGetDict(object, nullptr));
    if (!dict) {
        drop_ordinary();
        return {};
    }
    if (!PyDict_CheckExact(dict.get())) return {};
    return dict;
}

PyRef slot_value(PyObject* object, PyObject* name) {
    PyObject* descriptor = type_lookup(Py_TYPE(object), name);
    if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) return {};
    PyRef held = PyRef::borrow(descriptor);
    PyRef value = PyRef::steal(
        Py_TYPE(descriptor)
            ->tp_descr_get(descriptor, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return value;
}

PyRef getter_value(PyObject* object, PyTypeObject* type, PyObject* name) {
    PyObject* descriptor = type_lookup(type, name);
    if (descriptor == nullptr || Py_TYPE(descriptor)->tp_descr_get == nullptr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return {};
    }
    PyRef held = PyRef::borrow(descriptor);
    return PyRef::steal(
        Py_TYPE(descriptor)->tp_descr_get(descriptor, object, reinterpret_cast<PyObject*>(type)));
}

PyObject* named_fields(PyObject* tuple) {
    PyObject* fields = type_lookup(Py_TYPE(tuple), interned.fields_attr);
    if (fields == nullptr || !PyTuple_CheckExact(fields)) return nullptr;
    if (PyTuple_GET_SIZE(fields) != PyTuple_GET_SIZE(tuple)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(fields, i))) return nullptr;
    }
    return fields;
}

}  // namespace vesk
