#include "utils/errors.h"

#include "utils/finalize.h"
#include "utils/interruption.h"

namespace vesk {

std::atomic<bool> interpreter_exiting{false};

namespace {

std::string text_or(PyObject* object, const char* fallback) {
    if (object == nullptr) return fallback;
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return fallback;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

bool discard_ordinary_error() {
    PyObject* pending = PyErr_Occurred();
    if (pending == nullptr) return true;
    if (PyErr_GivenExceptionMatches(pending, PyExc_MemoryError) || pending_is_interruption()) {
        return false;
    }
    PyErr_Clear();
    return true;
}

bool set_type_mismatch(PyObject* object, const char* expected) {
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(),
                 expected);
    return false;
}

std::string take_pending_error_description() {
    PyRef exception = take_pending_exception();
    if (!exception) return "no exception set";
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(exception.get())));
    std::string description = text_or(type_name.get(), "<unknown exception type>");
    std::string message = text_or(exception.get(), "<unprintable exception>");
    if (!message.empty()) description += ": " + message;
    return description;
}

void internal_fault_from_pending(const std::string& message) {
    internal_fault(message + ": " + take_pending_error_description());
}

PyObject* panic_exception_type() {
    // Created under the interpreter lock and kept for the life of the interpreter.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "vesk._vesk.PanicException",
            "An internal fault of the vesk engine: an invariant that should always hold did not.",
            PyExc_BaseException, nullptr);
        if (type != nullptr) forget_at_finalize(&type);
    }
    return type;
}

void raise_panic(const std::string& message) {
    // An exception still pending when the fault surfaced becomes the panic's context.
    PyRef pending = take_pending_exception();
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation failure is the pending error
    PyErr_SetString(type, message.c_str());
    if (pending) {
        PyRef panic = take_pending_exception();
        PyException_SetContext(panic.get(), pending.release());
        PyErr_SetRaisedException(panic.release());
    }
}

}  // namespace vesk
