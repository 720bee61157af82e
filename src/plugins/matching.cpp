#include "plugins/matching.h"

#include <algorithm>

#include "companion/companion.h"
#include "utils/clock.h"
#include "utils/convert.h"
#include "utils/errors.h"
#include "utils/finalize.h"
#include "utils/interned.h"
#include "utils/names.h"
#include "utils/serialize.h"
#include "values/values.h"

namespace vesk {

namespace {
constexpr int kPluginRecordScale = 4;
}  // namespace

namespace {

// Memory running out is a failure of this run; any other failure to set a text key breaks an
// invariant of the interpreter.
[[nodiscard]] bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (value != nullptr && PyDict_SetItemString(dict, key, value) == 0) return true;
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    internal_fault_from_pending("a string is always a valid dict key");
}

[[nodiscard]] bool set_item(PyObject* dict, const char* key, const PyRef& value) {
    return set_item(dict, key, value.get());
}

PyRef text_object(std::string_view text) {
    return PyRef::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// collections.abc.Mapping, imported on first need and kept.
bool is_mapping(PyObject* value) {
    if (PyDict_Check(value)) return true;
    static PyObject* mapping = nullptr;
    if (mapping == nullptr) {
        PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
        if (abc) mapping = PyObject_GetAttrString(abc.get(), "Mapping");
        if (mapping == nullptr) {
            PyErr_WriteUnraisable(value);
            return false;
        }
        forget_at_finalize(&mapping);
    }
    int result = PyObject_IsInstance(value, mapping);
    if (result < 0) {
        PyErr_WriteUnraisable(value);
        return false;
    }
    return result == 1;
}

PyRef call_plugin(PyObject* callable, const PluginEvent& event, PyObject* context) {
    PyObject* arguments[] = {reinterpret_cast<PyObject*>(event.frame), event.event_text, event.arg,
                             context};
    return PyRef::steal(PyObject_Vectorcall(callable, arguments, 4, nullptr));
}

}  // namespace

Fallible<std::optional<PluginRecord>> run_plugin(const Plugin& plugin, const PluginEvent& event,
                                                 PluginFrameIds& frame_ids) {
    using Result = std::optional<PluginRecord>;
    if (!plugin.path_fragment.found_in(event.filename)) return Result{};
    if (plugin.call) {
        PyRef matched = call_plugin(plugin.call.get(), event, plugin.context.get());
        if (!matched) return failed;
        auto flag = to_bool_value(matched.get());
        if (!flag.ok()) return failed;
        if (!*flag) return Result{};
    }
    if (plugin.events) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(event.event_text, &size);
        std::string_view name(text, static_cast<std::size_t>(size));
        if (std::find(plugin.events->begin(), plugin.events->end(), name) == plugin.events->end()) {
            return Result{};
        }
    }

    PyRef record = PyRef::steal(PyDict_New());
    if (!record) return failed;
    auto key = reinterpret_cast<std::uintptr_t>(event.frame);
    Id frame_id;
    if (event.is_call) {
        frame_id = new_frame_id();
        frame_ids.insert_or_assign(key, frame_id);
    } else if (auto found = frame_ids.find(key); found != frame_ids.end()) {
        // Forgotten at the return, as for frame records: the address may be reused.
        frame_id = found->second;
        frame_ids.erase(found);
    } else {
        frame_id = new_frame_id();
    }
    if (!set_item(record.get(), "frame_id", text_object(frame_id.view())) ||
        !set_item(record.get(), "timestamp",
                  PyRef::steal(PyFloat_FromDouble(current_timestamp())))) {
        return failed;
    }

    auto thread = current_thread_info();
    if (!thread.ok()) return failed;
    PyRef native_id = thread->native_id
                          ? PyRef::steal(PyLong_FromUnsignedLongLong(*thread->native_id))
                          : PyRef::borrow(Py_None);
    if (!set_item(record.get(), "thread", text_object(thread->name)) ||
        !set_item(record.get(), "thread_native_id", native_id)) {
        return failed;
    }

    PyRef site_value = PyRef::borrow(Py_None);
    if (auto site = event.call_site(frame_id)) {
        site_value = PyRef::steal(PyDict_New());
        if (!site_value ||
            !set_item(site_value.get(), "call_frame_id", text_object(site->call_frame_id.view())) ||
            !set_item(site_value.get(), "line_number",
                      PyRef::steal(PyLong_FromLong(site->line_number)))) {
            return failed;
        }
    }
    if (!set_item(record.get(), "user_code_call_site", site_value) ||
        !set_item(record.get(), "type",
                  text_object(event.is_call ? plugin.call_type : plugin.return_type)) ||
        (plugin.subtype && !set_item(record.get(), "subtype", text_object(*plugin.subtype)))) {
        return failed;
    }

    if (plugin.process) {
        PyRef processed = call_plugin(plugin.process.get(), event, plugin.context.get());
        if (!processed) return failed;
        if (!is_mapping(processed.get())) {
            set_type_mismatch(processed.get(), "Mapping");
            return failed;
        }
        if (PyDict_Update(record.get(), processed.get()) < 0) return failed;
    }

    PyObject* type = PyDict_GetItemWithError(record.get(), interned.type_key);
    if (type == nullptr) {
        if (PyErr_Occurred()) internal_fault_from_pending("data[\"type\"] should not raise.");
        internal_fault("data[\"type\"] should not be missing.");
    }
    auto type_text = to_text(type);
    if (!type_text.ok()) return failed;
    PyRef dump = serializer(event.lightweight_repr);
    if (!dump) return failed;
    if (std::optional<ValueForm> form = native_form_of(dump.get())) {
        // The built-in plugins bound what they record themselves (texts of 2000 characters,
        // bodies of 1024 bytes): the full form's bounds, scaled to keep that whole.
        std::string out;
        if (!write_value(record.get(), ValueStyle{*form, false, kPluginRecordScale}, out)) {
            return failed;
        }
        return Result{PluginRecord{std::move(*type_text), Bytes::copy_of(out)}};
    }
    PyRef bytes = dump_with(dump.get(), record.get());
    if (!bytes) return failed;
    return Result{PluginRecord{std::move(*type_text), Bytes::copy_of(bytes_view(bytes.get()))}};
}

}  // namespace vesk
