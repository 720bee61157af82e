#include "plugins/registry.h"

#include "companion/companion.h"
#include "utils/convert.h"
#include "utils/errors.h"
#include "utils/interned.h"

namespace vesk {

namespace {

// A plain lookup in a description: absent is no error, and a str key cannot make it raise. The
// value is held: converting it may run code that removes it from the description.
PyRef lookup(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) {
        internal_fault_from_pending("a string is always a valid dict key");
    }
    return PyRef::borrow(value);
}

PyRef lookup_present(PyObject* dict, PyObject* key) {
    PyRef value = lookup(dict, key);
    return value.get() == Py_None ? PyRef() : value;
}

Fallible<std::string> required_text(PyObject* description, PyObject* key) {
    PyRef value = PyRef::steal(PyObject_GetItem(description, key));
    if (!value) return failed;
    return to_text(value.get());
}

Fallible<Plugin> make_plugin(PyObject* description, const PyRef& context) {
    auto fragment = required_text(description, interned.path_fragment);
    if (!fragment.ok()) return failed;
    auto call_type = required_text(description, interned.call_type);
    if (!call_type.ok()) return failed;
    auto return_type = required_text(description, interned.return_type);
    if (!return_type.ok()) return failed;

    Plugin plugin(PathFragment(to_host_separators(*fragment)));
    plugin.call_type = std::move(*call_type);
    plugin.return_type = std::move(*return_type);
    if (PyRef subtype = lookup(description, interned.subtype)) {
        auto text = to_text(subtype.get());  // None is refused here, unlike the keys below
        if (!text.ok()) return failed;
        plugin.subtype = std::move(*text);
    }
    plugin.call = lookup_present(description, interned.call);
    plugin.process = lookup_present(description, interned.process);
    if (PyRef events = lookup_present(description, interned.events)) {
        auto texts = to_text_list(events.get());
        if (!texts.ok()) return failed;
        plugin.events = std::move(*texts);
    }
    plugin.context = context;
    return plugin;
}

Fallible<PyRef> build_context(PyObject* description, PyObject* config) {
    PyRef builder = lookup_present(description, interned.build_context);
    if (!builder) {
        PyRef fresh = PyRef::steal(PyDict_New());
        if (!fresh) return failed;
        return fresh;
    }
    PyRef context = PyRef::steal(PyObject_CallOneArg(builder.get(), config));
    if (!context) return failed;
    if (!PyDict_Check(context.get())) {
        set_type_mismatch(context.get(), "PyDict");
        return failed;
    }
    return context;
}

bool add_description(PluginTable& table, std::size_t& count, PyObject* description,
                     PyObject* config) {
    if (!PyDict_Check(description)) return set_type_mismatch(description, "PyDict");
    PyRef co_names = PyRef::steal(PyObject_GetItem(description, interned.co_names));
    if (!co_names) return false;
    auto context = build_context(description, config);
    if (!context.ok()) return false;

    PyRef iterator = PyRef::steal(PyObject_GetIter(co_names.get()));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        auto code_name = to_text(item.get());
        if (!code_name.ok()) return false;
        // Read again for every name: each plugin is validated on its own.
        auto plugin = make_plugin(description, *context);
        if (!plugin.ok()) return false;
        plugin->index = count++;
        table[std::move(*code_name)].push_back(std::move(*plugin));
    }
    return !PyErr_Occurred();
}

}  // namespace

Fallible<PluginTable> load_plugins(PyObject* config) {
    PyRef module = import_module(interned.mod_vesk_plugins);
    if (!module) internal_fault_from_pending("vesk.plugins should always be importable");
    PyRef loader = PyRef::steal(PyObject_GetAttr(module.get(), interned.load_plugin_data));
    if (!loader) internal_fault_from_pending("load_plugin_data should exist");
    PyRef descriptions = PyRef::steal(PyObject_CallOneArg(loader.get(), config));
    if (!descriptions) internal_fault_from_pending("load_plugin_data should be callable");
    if (!PyList_Check(descriptions.get())) {
        internal_fault("load_plugin_data should return a list");
    }

    Py_ssize_t initial_length = PyList_GET_SIZE(descriptions.get());
    PluginTable table;
    std::size_t count = 0;
    table.reserve(static_cast<std::size_t>(initial_length));
    // The callables run below may shrink the list: its length is read again for every item.
    for (Py_ssize_t i = 0; i < initial_length && i < PyList_GET_SIZE(descriptions.get()); ++i) {
        PyRef description = PyRef::borrow(PyList_GET_ITEM(descriptions.get(), i));
        if (!add_description(table, count, description.get(), config)) return failed;
    }
    return table;
}

}  // namespace vesk
