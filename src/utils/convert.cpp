#include "utils/convert.h"

#include <cstring>

#include "utils/errors.h"

namespace vesk {

namespace {

bool is_numpy_bool_type(PyTypeObject* type) {
    const char* name = type->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

Fallible<bool> to_bool_value(PyObject* object) {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    PyTypeObject* type = Py_TYPE(object);
    if (is_numpy_bool_type(type) && type->tp_as_number != nullptr &&
        type->tp_as_number->nb_bool != nullptr) {
        int truth = type->tp_as_number->nb_bool(object);
        if (truth < 0) return failed;
        return truth != 0;
    }
    set_type_mismatch(object, "PyBool");
    return failed;
}

Fallible<std::string_view> text_view(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        set_type_mismatch(object, "PyString");
        return failed;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return failed;
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

Fallible<std::string> to_text(PyObject* object) {
    auto view = text_view(object);
    if (!view.ok()) return failed;
    return std::string(*view);
}

Fallible<std::uint64_t> to_u64(PyObject* object) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return failed;
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return failed;
    return static_cast<std::uint64_t>(value);
}

Fallible<std::vector<std::string>> to_text_list(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return failed;
    }
    if (!PySequence_Check(object)) {
        set_type_mismatch(object, "Sequence");
        return failed;
    }
    std::vector<std::string> texts;
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        if (!discard_ordinary_error()) return failed;  // the length only sizes the list
    } else {
        texts.reserve(static_cast<std::size_t>(length));
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return failed;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        auto text = to_text(item.get());
        if (!text.ok()) return failed;
        texts.push_back(std::move(*text));
    }
    if (PyErr_Occurred()) return failed;
    return texts;
}

}  // namespace vesk
