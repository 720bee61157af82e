#include "filters/frame_filters.h"

#include "filters/builtin_filters.h"
#include "utils/errors.h"

namespace vesk {

namespace {

std::string_view filename_of(PyFrameObject* frame, PyRef& holder) {
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    if (!code) internal_fault_from_pending("A frame has a code object.");
    holder = PyRef::borrow(reinterpret_cast<PyCodeObject*>(code.get())->co_filename);
    if (!holder || !PyUnicode_Check(holder.get())) internal_fault("A code object has a filename.");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(holder.get(), &size);
    if (text == nullptr) internal_fault_from_pending("A filename is a string.");
    return {text, static_cast<std::size_t>(size)};
}

}  // namespace

bool attrs_generated_filter(PyFrameObject* frame, std::string_view filename) {
    if (attrs_generated_name(filename)) return true;
    PyRef caller = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
    if (!caller) {
        if (PyErr_Occurred()) internal_fault_from_pending("A frame has an `f_back` attribute.");
        return false;
    }
    PyRef holder;
    std::string_view name = filename_of(reinterpret_cast<PyFrameObject*>(caller.get()), holder);
    if (name.empty()) {
        // One frame without a file name (a native trampoline) is skipped; never more.
        caller = PyRef::steal(reinterpret_cast<PyObject*>(
            PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(caller.get()))));
        if (!caller) {
            if (PyErr_Occurred()) internal_fault_from_pending("A frame has an `f_back` attribute.");
            return false;
        }
        name = filename_of(reinterpret_cast<PyFrameObject*>(caller.get()), holder);
    }
    return attrs_maker_file(name);
}

bool is_frame_of_interest(const std::vector<PathFragment>& include_frames,
                          const std::vector<PathFragment>& ignore_frames, PyFrameObject* frame,
                          std::string_view filename) {
    bool include = any_found_in(include_frames, filename);
    bool library = library_filter(filename);
    bool frozen = frozen_filter(filename);
    bool own_package = own_package_filter(filename);
    bool exec_string = exec_string_filter(filename);
    bool pytest_expression = pytest_expression_filter(filename);
    // Walked even for included frames: its faults must not depend on the include list.
    bool attrs = attrs_generated_filter(frame, filename);
    bool ignore = any_found_in(ignore_frames, filename);
    return include || !(library || frozen || own_package || exec_string || pytest_expression ||
                        attrs || ignore);
}

}  // namespace vesk
