#include "profiler/failure.h"

#include <cstring>
#include <string>
#include <string_view>

#include "companion/companion.h"
#include "utils/errors.h"
#include "utils/interned.h"
#include "utils/interruption.h"
#include "utils/redaction.h"
#include "values/text.h"
#include "values/type_names.h"

namespace vesk {

namespace {

constexpr const char* kWarningFormat =
    "Unexpected exception in Rust.\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

constexpr Py_ssize_t kShownChars = 200;

PyRef text_of(const Text& text) {
    std::string packed;
    put_text(packed, text.pieces, -1);
    auto marker = static_cast<unsigned char>(packed[0]);
    std::size_t header = marker == 0xd9 ? 2 : marker == 0xda ? 3 : marker == 0xdb ? 5 : 1;
    return PyRef::steal(PyUnicode_DecodeUTF8(
        packed.data() + header, static_cast<Py_ssize_t>(packed.size() - header), "replace"));
}

// The redaction marker of a secret value, as the serialiser stores it.
PyRef marker_of(PyObject* value) {
    Text name;
    if (!add_type_name(Py_TYPE(value), name)) return {};
    PyRef type_name = text_of(name);
    if (!type_name) return {};
    PyRef length;
    if (PyUnicode_Check(value)) {
        length = PyRef::steal(PyLong_FromSsize_t(PyUnicode_GET_LENGTH(value)));
    } else if (PyBytes_Check(value) || PyByteArray_Check(value) || PyList_Check(value) ||
               PyTuple_Check(value)) {
        length = PyRef::steal(PyLong_FromSsize_t(Py_SIZE(value)));
    } else if (PyDict_Check(value)) {
        length = PyRef::steal(PyLong_FromSsize_t(PyDict_GET_SIZE(value)));
    } else {
        length = PyRef::borrow(Py_None);
    }
    if (!length) return {};
    return PyRef::steal(Py_BuildValue("{s:O,s:O,s:O}", "__type__", type_name.get(), "__len__",
                                      length.get(), "__redacted__", Py_True));
}

// What the report shows of a local: builtin scalars as they are (a str cut to kShownChars
// characters), a secret as its marker, anything else by its type and size. Nothing of the
// program runs: the logger formats this with str(), and the program's own objects never reach it.
PyRef shown_value(PyObject* name, PyObject* value) {
    if ((PyUnicode_Check(name) && is_secret_name(name)) ||
        (PyUnicode_Check(value) && looks_secret(value))) {
        return marker_of(value);
    }
    if (value == Py_None || PyBool_Check(value) || PyFloat_CheckExact(value) ||
        (PyLong_CheckExact(value) && _PyLong_NumBits(value) <= 64)) {
        return PyRef::borrow(value);
    }
    if (PyUnicode_CheckExact(value)) {
        if (PyUnicode_GET_LENGTH(value) <= kShownChars) return PyRef::borrow(value);
        PyRef head = PyRef::steal(PyUnicode_Substring(value, 0, kShownChars));
        return head ? PyRef::steal(PyUnicode_FromFormat("%U... (%zd chars)", head.get(),
                                                        PyUnicode_GET_LENGTH(value)))
                    : PyRef();
    }
    Text text;
    text.add("<");
    if (!add_type_name(Py_TYPE(value), text)) return {};
    if (PyList_Check(value) || PyTuple_Check(value) || PyDict_Check(value) ||
        PyAnySet_Check(value)) {
        Py_ssize_t size = PyDict_Check(value)     ? PyDict_GET_SIZE(value)
                          : PyAnySet_Check(value) ? PySet_GET_SIZE(value)
                                                  : Py_SIZE(value);
        text.add_copy(" of " + std::to_string(size) + " items");
    }
    text.add(">");
    return text_of(text);
}

// The frame's locals as the report shows them, in their order.
PyRef shown_locals(PyFrameObject* frame) {
    PyRef locals = PyRef::steal(PyFrame_GetLocals(frame));
    if (!locals) return {};
    PyRef shown = PyRef::steal(PyDict_New());
    if (!shown) return {};
    // A frame's own locals are a dict, or on 3.13 the interpreter's view of the frame; a
    // mapping of the program's (exec with its own namespace) is not read.
    PyRef pairs;
    if (PyDict_Check(locals.get())) {
        pairs = PyRef::steal(PyDict_Items(locals.get()));
    } else if (std::string_view(Py_TYPE(locals.get())->tp_name) == "FrameLocalsProxy") {
        pairs = PyRef::steal(PyMapping_Items(locals.get()));
    } else {
        return shown;
    }
    if (!pairs) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) continue;
        PyObject* name = PyTuple_GET_ITEM(pair, 0);
        if (!PyUnicode_CheckExact(name)) continue;
        PyRef value = shown_value(name, PyTuple_GET_ITEM(pair, 1));
        if (!value || PyDict_SetItem(shown.get(), name, value.get()) < 0) return {};
    }
    return shown;
}

// A warning on the logger "vesk", as a record any formatter can format. logger.warning() would
// ask the stack where it was called from, and find the program's frame there, which may have no
// line number (a generator's last, artificial instruction): its record would hold lineno=None.
// The record says it comes from the engine, line 0. False with the error set.
bool warn_on_vesk_logger(PyObject* message, PyObject* arguments, PyObject* failure) {
    PyRef logging = import_module(interned.mod_logging);
    if (!logging) return false;
    PyRef logger = PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "vesk"));
    if (!logger) return false;
    PyRef enabled = PyRef::steal(PyObject_CallMethod(logger.get(), "isEnabledFor", "i", 30));
    if (!enabled) return false;
    if (!PyObject_IsTrue(enabled.get())) return true;
    PyRef exc_info = PyRef::borrow(Py_None);
    if (failure != nullptr) {
        PyRef traceback = PyRef::steal(PyException_GetTraceback(failure));
        exc_info = PyRef::steal(
            PyTuple_Pack(3, Py_TYPE(failure), failure, traceback ? traceback.get() : Py_None));
        if (!exc_info) return false;
    }
    PyRef record =
        PyRef::steal(PyObject_CallMethod(logger.get(), "makeRecord", "sisiOOO", "vesk", 30,
                                         "vesk/_vesk", 0, message, arguments, exc_info.get()));
    if (!record) return false;
    return static_cast<bool>(
        PyRef::steal(PyObject_CallMethod(logger.get(), "handle", "O", record.get())));
}

bool log_warning(PyObject* failure, PyFrameObject* frame, std::string_view event,
                 PyObject* filename, PyObject* co_name) {
    PyRef locals = shown_locals(frame);
    if (!locals) return false;
    PyRef event_object = PyRef::steal(
        PyUnicode_FromStringAndSize(event.data(), static_cast<Py_ssize_t>(event.size())));
    if (!event_object) return false;
    PyRef format = PyRef::steal(PyUnicode_FromString(kWarningFormat));
    if (!format) return false;
    PyRef arguments =
        PyRef::steal(PyTuple_Pack(4, filename, co_name, event_object.get(), locals.get()));
    if (!arguments) return false;
    return warn_on_vesk_logger(format.get(), arguments.get(), failure);
}

}  // namespace

bool report_unexpected_error(PyRef failure, PyFrameObject* frame, std::string_view event,
                             PyObject* filename, PyObject* co_name) {
    if (!failure) failure = PyRef::steal(PyErr_GetRaisedException());
    if (!failure) return true;
    if (log_warning(failure.get(), frame, event, filename, co_name)) return true;
    // The report failed as well: keep both, the report's failure chained to the original.
    PyRef report_failure = take_pending_exception();
    if (report_failure && PyErr_GivenExceptionMatches(report_failure.get(), PyExc_RecursionError)) {
        return false;
    }
    if (report_failure) {
        PyException_SetContext(report_failure.get(), failure.release());
        PyErr_SetRaisedException(report_failure.release());
    } else {
        PyErr_SetRaisedException(failure.release());
    }
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(frame));
    return true;
}

Settled settle_failure(PyRef failure, PyFrameObject* frame, std::string_view event,
                       PyObject* filename, PyObject* co_name) {
    if (!failure) failure = take_pending_exception();
    if (!failure) return Settled::reported;
    PyObject* exception = failure.get();
    if (is_interruption(exception)) {
        PyErr_SetRaisedException(failure.release());
        return Settled::raise;
    }
    if (PyErr_GivenExceptionMatches(exception, PyExc_RecursionError)) return Settled::dropped;
    return report_unexpected_error(std::move(failure), frame, event, filename, co_name)
               ? Settled::reported
               : Settled::dropped;
}

PyRef failure_from_fault(const char* message) {
    raise_panic(message);
    return take_pending_exception();
}

PyRef failure_of_current_exception() {
    try {
        throw;
    } catch (const InternalFault& fault) {
        return failure_from_fault(fault.what());
    } catch (const TooLarge& error) {
        PyErr_SetString(PyExc_OverflowError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        return failure_from_fault(error.what());
    }
    return take_pending_exception();
}

bool keep_only_interruption() {
    if (PyErr_Occurred() == nullptr) return false;
    if (pending_is_interruption()) return true;
    PyErr_Clear();
    return false;
}

void log_warning_text(const char* text) {
    PyRef message =
        PyRef::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strlen(text)), "replace"));
    PyRef arguments = PyRef::steal(PyTuple_New(0));
    if (!message || !arguments || !warn_on_vesk_logger(message.get(), arguments.get(), nullptr)) {
        PyErr_Clear();
    }
}

}  // namespace vesk
