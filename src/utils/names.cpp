#include "utils/names.h"

#include "companion/companion.h"
#include "utils/code_cache.h"
#include "utils/convert.h"
#include "utils/interned.h"

namespace vesk {

PyRef text_of(PyObject* object) {
    if (PyUnicode_CheckExact(object)) return PyRef::borrow(object);
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (text) return text;
    PyErr_WriteUnraisable(object);
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!type_name) {
        PyErr_Clear();
        return PyRef::steal(PyUnicode_FromString("<unprintable object>"));
    }
    return PyRef::steal(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()));
}

Fallible<QualifiedName> get_qualname(PyFrameObject* frame) {
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    PyRef globals = PyRef::steal(PyFrame_GetGlobals(frame));
    PyRef module;
    if (PyDict_CheckExact(globals.get())) {
        module = PyRef::borrow(PyDict_GetItemWithError(globals.get(), interned.dunder_name));
        if (!module && PyErr_Occurred()) return failed;
    } else {
        module = PyRef::steal(PyObject_GetItem(globals.get(), interned.dunder_name));
        if (!module) {
            // Code run with exec(code, {}) has no module name: it is named without one.
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return failed;
            PyErr_Clear();
        }
    }

    QualifiedName name;
    name.qualname_text = text_of(reinterpret_cast<PyCodeObject*>(code.get())->co_qualname);
    if (!name.qualname_text) return failed;
    auto qualname_view = text_view(name.qualname_text.get());
    if (!qualname_view.ok()) return failed;
    name.qualname = *qualname_view;
    if (module) {
        name.module_text = text_of(module.get());
        if (!name.module_text) return failed;
        auto module_view = text_view(name.module_text.get());
        if (!module_view.ok()) return failed;
        name.module = *module_view;
    }
    return name;
}

Fallible<QualifiedName> cached_qualname(PyFrameObject* frame, CodeCache* cache) {
    if (cache == nullptr) return get_qualname(frame);
    PyRef globals = PyRef::steal(PyFrame_GetGlobals(frame));
    PyObject* module = nullptr;  // borrowed from the globals
    if (PyDict_CheckExact(globals.get())) {
        module = PyDict_GetItemWithError(globals.get(), interned.dunder_name);
        if (module == nullptr && PyErr_Occurred()) return failed;
    } else {
        return get_qualname(frame);  // a mapping's lookup is its own code: not remembered
    }
    if (module == nullptr) return get_qualname(frame);  // no module part: rare, not remembered
    if (module != cache->qualname_module.get()) {
        auto name = get_qualname(frame);
        if (!name.ok()) return failed;
        std::string_view module_text = name->module.value_or("");
        std::string text;
        text.reserve(module_text.size() + 1 + name->qualname.size());
        text.append(module_text).append(".").append(name->qualname);
        cache->qualname = std::move(text);
        cache->qualname_module_length = module_text.size();
        cache->qualname_module = PyRef::borrow(module);
    }
    QualifiedName name;
    std::string_view text = cache->qualname;
    name.module = text.substr(0, cache->qualname_module_length);
    name.qualname = text.substr(cache->qualname_module_length + 1);
    return name;
}

Fallible<ThreadIdentity> current_thread_info() {
    PyRef threading = import_module(interned.mod_threading);
    if (!threading) return failed;
    PyRef thread =
        PyRef::steal(PyObject_CallMethodNoArgs(threading.get(), interned.current_thread));
    if (!thread) return failed;
    PyRef name_object = PyRef::steal(PyObject_GetAttr(thread.get(), interned.name));
    if (!name_object) return failed;
    auto name = to_text(name_object.get());
    if (!name.ok()) return failed;

    ThreadIdentity identity{std::move(*name), std::nullopt};
    PyRef native_id = PyRef::steal(PyObject_GetAttr(thread.get(), interned.native_id));
    if (!native_id) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return failed;
        PyErr_Clear();
    } else if (native_id.get() != Py_None) {
        auto id = to_u64(native_id.get());
        if (!id.ok()) return failed;
        identity.native_id = *id;
    }
    return identity;
}

}  // namespace vesk
