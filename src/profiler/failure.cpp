#include "profiler/failure.h"

#include "companion/companion.h"
#include "utils/errors.h"
#include "utils/interned.h"
#include "utils/interruption.h"

namespace vesk {

namespace {

constexpr const char* kWarningFormat =
    "Unexpected exception in Rust.\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

bool log_warning(PyObject* failure, PyFrameObject* frame, std::string_view event,
                 PyObject* filename, PyObject* co_name) {
    PyRef logging = import_module(interned.mod_logging);
    if (!logging) return false;
    PyRef logger = PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "vesk"));
    if (!logger) return false;
    PyRef locals = PyRef::steal(PyFrame_GetLocals(frame));
    if (!locals) return false;
    PyRef keywords = PyRef::steal(PyDict_New());
    if (!keywords || PyDict_SetItemString(keywords.get(), "exc_info", failure) < 0) return false;
    PyRef warning = PyRef::steal(PyObject_GetAttrString(logger.get(), "warning"));
    if (!warning) return false;
    PyRef event_object = PyRef::steal(
        PyUnicode_FromStringAndSize(event.data(), static_cast<Py_ssize_t>(event.size())));
    if (!event_object) return false;
    PyRef format = PyRef::steal(PyUnicode_FromString(kWarningFormat));
    if (!format) return false;
    PyRef arguments = PyRef::steal(
        PyTuple_Pack(5, format.get(), filename, co_name, event_object.get(), locals.get()));
    if (!arguments) return false;
    PyRef result = PyRef::steal(PyObject_Call(warning.get(), arguments.get(), keywords.get()));
    return static_cast<bool>(result);
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
    PyRef logging = import_module(interned.mod_logging);
    PyRef logger = logging
                       ? PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "vesk"))
                       : PyRef();
    PyRef result =
        logger ? PyRef::steal(PyObject_CallMethod(logger.get(), "warning", "s", text)) : PyRef();
    if (!result) PyErr_Clear();
}

}  // namespace vesk
