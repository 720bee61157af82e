#include "utils/interruption.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <vector>

#include "companion/companion.h"
#include "utils/errors.h"
#include "utils/interned.h"
#include "utils/signal_handlers.h"

namespace vesk {

namespace {

// The code a handler runs first, read without running any of the program's code: a function, a
// bound method's function, a partial's function, or a callable object's __call__.
PyObject* code_of_handler(PyObject* handler) {
    for (int depth = 0; handler != nullptr && depth < 8; ++depth) {
        if (PyFunction_Check(handler)) return PyFunction_GET_CODE(handler);
        if (PyCFunction_Check(handler)) return nullptr;  // the default one of SIGINT among them
        if (PyMethod_Check(handler)) {
            handler = PyMethod_GET_FUNCTION(handler);
            continue;
        }
        PyTypeObject* type = Py_TYPE(handler);
        if (std::string_view(type->tp_name) == "functools.partial") {
            // A C type: reading its attribute runs nothing of the program.
            PyRef function = PyRef::steal(PyObject_GetAttrString(handler, "func"));
            if (!function) {
                PyErr_Clear();
                return nullptr;
            }
            handler = function.get();  // kept alive by the partial
            continue;
        }
        handler = _PyType_Lookup(type, interned.dunder_call);  // borrowed, from the type's dict
    }
    return nullptr;
}

// The signal numbers the platform knows, read once: asking for any other raises, which costs.
const std::vector<long>& valid_signals(PyObject* signal_module) {
    static std::vector<long> numbers;
    static bool read = false;
    if (read) return numbers;
    read = true;
    PyRef valid = PyRef::steal(PyObject_CallMethod(signal_module, "valid_signals", nullptr));
    PyRef items = valid ? PyRef::steal(PySequence_List(valid.get())) : PyRef();
    if (!items) {
        PyErr_Clear();
        for (long number = 1; number < NSIG; ++number) numbers.push_back(number);
        return numbers;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        long number = PyLong_AsLong(PyList_GET_ITEM(items.get(), i));
        if (number > 0) numbers.push_back(number);
    }
    PyErr_Clear();
    return numbers;
}

// The codes of the Python-level signal handlers set now, without duplicates: a few at most, kept
// where they are gathered (this runs for every ordinary exception on the main thread).
struct HandlerCodes {
    std::array<PyObject*, NSIG> codes{};
    std::size_t count = 0;

    void add(PyObject* handler) {
        if (handler == nullptr || PyLong_Check(handler) || handler == Py_None) return;  // no code
        PyObject* code = code_of_handler(handler);
        if (code != nullptr && !contains(code)) codes[count++] = code;
    }
    bool contains(PyObject* code) const {
        return std::find(codes.begin(), codes.begin() + count, code) != codes.begin() + count;
    }
};

// Read where the interpreter keeps them (a load per signal), or else through the C module (the
// Python one turns every answer into an enum, at a cost per signal), a call per signal.
void gather_handler_codes(HandlerCodes& found) {
    std::array<PyObject*, NSIG> set;
    int count = vesk_signal_handlers(set.data(), static_cast<int>(set.size()));
    if (count >= 0) {
        for (int i = 0; i < count; ++i) found.add(set[i]);
        return;
    }
    PyRef signal = import_module(interned.mod_c_signal);
    PyRef getsignal =
        signal ? PyRef::steal(PyObject_GetAttr(signal.get(), interned.getsignal)) : PyRef();
    if (!getsignal) {
        PyErr_Clear();
        return;
    }
    for (long number : valid_signals(signal.get())) {
        if (number >= NSIG) continue;
        PyRef number_object = PyRef::steal(PyLong_FromLong(number));
        PyRef handler =
            number_object ? PyRef::steal(PyObject_CallOneArg(getsignal.get(), number_object.get()))
                          : PyRef();
        if (!handler) {
            PyErr_Clear();
            continue;
        }
        found.add(handler.get());
    }
}

}  // namespace

bool raised_by_signal_handler(PyObject* exception) {
    if (!_PyOS_IsMainThread()) return false;
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    if (!traceback || !PyTraceBack_Check(traceback.get())) return false;
    // The exception stays pending for our caller: the handlers are looked up with none pending.
    PyRef pending = take_pending_exception();
    HandlerCodes codes;
    gather_handler_codes(codes);
    bool found = false;
    for (auto* entry = reinterpret_cast<PyTracebackObject*>(traceback.get());
         entry != nullptr && !found && codes.count > 0; entry = entry->tb_next) {
        PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(entry->tb_frame)));
        found = codes.contains(code.get());
    }
    PyErr_SetRaisedException(pending.release());
    return found;
}

bool is_interruption(PyObject* exception) {
    if (!PyErr_GivenExceptionMatches(exception, PyExc_Exception)) {
        PyObject* panic = panic_exception_type();
        if (panic == nullptr) {
            PyErr_Clear();
            return true;
        }
        return !PyErr_GivenExceptionMatches(exception, panic);
    }
    return raised_by_signal_handler(exception);
}

bool pending_is_interruption() {
    PyRef pending = take_pending_exception();
    if (!pending) return false;
    bool interruption = is_interruption(pending.get());
    PyErr_SetRaisedException(pending.release());
    return interruption;
}

PyObject* is_interruption_function(PyObject*, PyObject* exception) {
    return guarded_entry([&]() -> PyObject* {
        if (!PyExceptionInstance_Check(exception)) {
            PyErr_SetString(PyExc_TypeError, "is_interruption() takes an exception");
            return nullptr;
        }
        return PyBool_FromLong(is_interruption(exception));
    });
}

}  // namespace vesk
