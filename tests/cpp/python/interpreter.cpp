#include "interpreter.h"

#include <gtest/gtest.h>

#include <msgpack.hpp>
#include <sstream>

#include "utils/interned.h"

namespace vesk::testing_support {

namespace {

std::string pending_text() {
    PyRef exception = take_pending_exception();
    PyRef text = exception ? PyRef::steal(PyObject_Repr(exception.get())) : PyRef();
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    return utf8 != nullptr ? utf8 : "?";
}

}  // namespace

PyRef evaluate(const std::string& expression, const std::string& setup) {
    PyRef globals = PyRef::steal(PyDict_New());
    PyRef name = PyRef::steal(PyUnicode_FromString("__main__"));
    if (!globals || !name ||
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0) {
        ADD_FAILURE() << pending_text();
        return {};
    }
    if (!setup.empty()) {
        PyRef done =
            PyRef::steal(PyRun_String(setup.c_str(), Py_file_input, globals.get(), globals.get()));
        if (!done) {
            ADD_FAILURE() << "setup raised " << pending_text();
            return {};
        }
    }
    PyRef value =
        PyRef::steal(PyRun_String(expression.c_str(), Py_eval_input, globals.get(), globals.get()));
    if (!value) ADD_FAILURE() << expression << " raised " << pending_text();
    return value;
}

std::string decoded(const std::string& bytes) {
    msgpack::object_handle handle = msgpack::unpack(bytes.data(), bytes.size());
    std::ostringstream text;
    text << handle.get();
    return text.str();
}

}  // namespace vesk::testing_support

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    Py_InitializeEx(0);
    if (!vesk::intern_names()) {
        PyErr_Print();
        return 2;
    }
    int result = RUN_ALL_TESTS();
    Py_FinalizeEx();
    return result;
}
