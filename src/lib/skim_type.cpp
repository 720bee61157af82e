#include "lib/skim_type.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reader/call_tree.h"
#include "reader/export_track.h"
#include "reader/json_text.h"
#include "reader/msgpack_reader.h"
#include "reader/outline.h"
#include "reader/stats_track.h"
#include "reader/stored_record.h"
#include "utils/errors.h"
#include "utils/finalize.h"
#include "utils/interned.h"

namespace vesk {

namespace {

constexpr std::size_t string_limit = 200;  // characters of an exported text, as export.py cuts
constexpr std::size_t spill_batch = 1 << 20;
// Locals with more names than this are formatted by the companion package (a dict's keys are
// told apart there).
constexpr std::uint32_t locals_natively = 32;

struct HeldBytes final : HeldRecord {
    std::string bytes;  // the record's MessagePack
};
struct HeldObject final : HeldRecord {
    PyRef object;  // the decoded record
};

// A buffer's bytes, held for as long as this lives.
class BufferView {
  public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return false;
        held_ = true;
        return true;
    }
    std::string_view bytes() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

PyRef number_object(const Number& number) {
    if (!number.integer) return PyRef::steal(PyFloat_FromDouble(number.as_double()));
    if (number.value < 0) {
        return PyRef::steal(PyLong_FromLongLong(static_cast<long long>(number.value)));
    }
    return PyRef::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(number.value)));
}

PyRef optional_number(const std::optional<Number>& number) {
    return number ? number_object(*number) : PyRef::borrow(Py_None);
}

// An exact int as a Number: stored records hold none beyond 64 bits.
Fallible<Number> int_number(PyObject* value) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (small == -1 && PyErr_Occurred()) return failed;
    if (overflow == 0) return Number::of(MsgpackInt{small < 0, static_cast<std::uint64_t>(small)});
    if (overflow > 0) {
        unsigned long long large = PyLong_AsUnsignedLongLong(value);
        if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return failed;
        return Number::of(MsgpackInt{false, large});
    }
    PyErr_SetString(PyExc_OverflowError, "an int beyond 64 bits in a stored record");
    return failed;
}

// The int, or none for anything else (None included).
Fallible<std::optional<Number>> optional_int(PyObject* value) {
    if (value == nullptr || !PyLong_CheckExact(value)) return std::optional<Number>();
    auto number = int_number(value);
    if (!number.ok()) return failed;
    return std::optional<Number>(*number);
}

PyRef text_object(std::string_view text) {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

// Appends a str as UTF-8, as export spills it.
bool append_text(PyObject* text, std::string& out) {
    if (!PyUnicode_Check(text)) return set_type_mismatch(text, "str");
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out.append(PyBytes_AS_STRING(bytes.get()),
               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

// Appends the str that callable(argument) returns.
bool append_call_text(PyObject* callable, PyObject* argument, std::string& out) {
    PyRef result = PyRef::steal(PyObject_CallOneArg(callable, argument));
    return result && append_text(result.get(), out);
}

// A JSON entry goes after the others, if any.
void separate(std::string& json) {
    if (json.back() != '{') json += ',';
}

enum class SkimKind { outline, track, stats };

struct SkimState {
    SkimKind kind = SkimKind::outline;
    PyRef unpack;  // MessagePack bytes -> the value they hold
    // Export: the formatter's methods for what is not written here, and where args JSON goes.
    PyRef entries, value, arguments, plugin, raised, write;
    JsonSpill spill;
    // The values the formatter would write are left in the spill as their MessagePack instead,
    // {"m":[offset,length]} in their place, for the reader to write those it shows.
    bool deferred = false;
    std::unique_ptr<ThreadGroups> groups;
    bool finished = false;
};

struct SkimObject {
    PyObject_HEAD SkimState* state;
};

// A plugin record's event name and args JSON, as the formatter makes them.
bool plugin_texts(SkimState& state, PyObject* record, std::string& name, std::string& json) {
    PyRef result = PyRef::steal(PyObject_CallOneArg(state.plugin.get(), record));
    if (!result) return false;
    if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) {
        return set_type_mismatch(result.get(), "tuple of two str");
    }
    name.clear();
    json.clear();
    return append_text(PyTuple_GET_ITEM(result.get(), 0), name) &&
           append_text(PyTuple_GET_ITEM(result.get(), 1), json);
}

// A record in the bytes of its part: what export writes of it comes from there, but for values
// other than None, bools, numbers and text, which the formatter writes.
class BytesAccess final : public RecordAccess {
  public:
    BytesAccess(SkimState& state, std::string_view part, const StoredRecord& record,
                const TreeFields& fields)
        : state_(state), part_(part), record_(record), fields_(fields) {}

    std::shared_ptr<const HeldRecord> hold() override {
        auto held = std::make_shared<HeldBytes>();
        held->bytes.assign(part_.substr(record_.start, record_.end - record_.start));
        return held;
    }

    bool site_entries(bool with_arguments, std::string& json) override {
        if (fields_.path) {
            separate(json);
            json += R"("path":)";
            append_json_string(json, *fields_.path);
        }
        if (auto line = call_site_line()) {
            separate(json);
            json += R"("called_from_line":)";
            append_integer(json, *line);
        }
        if (!with_arguments) return true;
        separate(json);
        json += R"("arguments":)";
        return arguments(json);
    }

    bool return_value(std::string& json) override {
        std::size_t at = record_.value_at(RecordKey::arg);
        if (at == StoredRecord::absent) {
            json += "null";
            return true;
        }
        return value(at, json);
    }

    bool plugin(std::string& name, std::string& json) override {
        if (state_.deferred && event_name(name)) {
            json.clear();
            defer(record_.start, record_.end, json);
            return true;
        }
        PyRef record = decode(record_.start, record_.end);
        return record && plugin_texts(state_, record.get(), name, json);
    }

    bool exception_text(std::string& json) override {
        // Rare enough to leave to the formatter whole.
        PyRef record = decode(record_.start, record_.end);
        return record && append_call_text(state_.raised.get(), record.get(), json);
    }

  private:
    PyRef decode(std::size_t start, std::size_t end) {
        // The view borrows the part, which outlives this call.
        PyRef view =
            PyRef::steal(PyMemoryView_FromMemory(const_cast<char*>(part_.data() + start),
                                                 static_cast<Py_ssize_t>(end - start), PyBUF_READ));
        if (!view) return {};
        return PyRef::steal(PyObject_CallOneArg(state_.unpack.get(), view.get()));
    }

    std::size_t end_of(std::size_t at) const {
        MsgpackReader reader(part_, at);
        reader.skip();  // the record was checked whole
        return reader.position();
    }

    // The value's MessagePack into the spill, and where it went in its place.
    void defer(std::size_t start, std::size_t end, std::string& json) {
        auto [offset, length] = state_.spill.add_once(part_.substr(start, end - start));
        json += R"({"m":[)";
        append_integer(json, MsgpackInt{false, static_cast<std::uint64_t>(offset)});
        json += ',';
        append_integer(json, MsgpackInt{false, static_cast<std::uint64_t>(length)});
        json += "]}";
    }

    // Where the value of key is in the map at `at` (checked whole), if it is a map that has it:
    // the last one, as in the decoded map.
    std::optional<std::size_t> value_of(std::size_t at, std::string_view key) const {
        MsgpackReader reader(part_, at);
        if (reader.next_kind() != MsgpackKind::map) return std::nullopt;
        auto entries = reader.map_header();
        std::optional<std::size_t> found;
        for (std::uint32_t i = 0; entries && i < *entries; ++i) {
            bool wanted = false;
            if (reader.next_kind() == MsgpackKind::str) {
                wanted = reader.str() == key;
            } else {
                reader.skip();
            }
            if (wanted) found = reader.position();
            reader.skip();
        }
        return found;
    }

    // export.py's _event_name of the record, when its "type" is a text.
    bool event_name(std::string& name) const {
        auto type = text_at(part_, record_.value_at(RecordKey::type));
        if (!type) return false;
        if (*type == "exception") {
            // One its frame caught: named by its type as format_exception writes it.
            auto at = value_of(record_.start, "exception");
            auto exception = at ? text_at(part_, *at) : std::nullopt;
            name.assign("caught ");
            if (!exception) {
                name += "exception";
            } else {
                std::string_view shown = *exception;
                if (shown.starts_with("builtins.")) shown.remove_prefix(9);
                std::size_t start = name.size();
                append_clean_text(name, shown);
                std::size_t arguments = name.find('(', start);
                if (arguments != std::string::npos) name.resize(arguments);
            }
        } else {
            name.assign(*type);
        }
        auto subtype = value_of(record_.start, "subtype");
        if (auto text = subtype ? text_at(part_, *subtype) : std::nullopt) {
            name += '/';
            name += *text;
        }
        return true;
    }

    bool value(std::size_t at, std::string& json) {
        MsgpackReader reader(part_, at);
        return value(reader, json);
    }

    // The value at the reader, which ends after it.
    bool value(MsgpackReader& reader, std::string& json) {
        std::size_t at = reader.position();
        if (append_json_scalar(json, reader, string_limit)) return true;
        reader = MsgpackReader(part_, at);
        reader.skip();  // the record was checked whole
        if (state_.deferred) {
            defer(at, reader.position(), json);
            return true;
        }
        PyRef decoded = decode(at, reader.position());
        return decoded && append_call_text(state_.value.get(), decoded.get(), json);
    }

    // "line_number" of a "user_code_call_site" map, when an int.
    std::optional<MsgpackInt> call_site_line() const {
        std::size_t at = record_.value_at(RecordKey::user_code_call_site);
        if (at == StoredRecord::absent) return std::nullopt;
        auto line_at = value_of(at, "line_number");
        if (!line_at) return std::nullopt;
        MsgpackReader line(part_, *line_at);
        if (line.next_kind() != MsgpackKind::integer) return std::nullopt;
        return line.integer();
    }

    bool arguments(std::string& json) {
        std::size_t at = record_.value_at(RecordKey::locals);
        MsgpackReader reader(part_, at == StoredRecord::absent ? 0 : at);
        if (at == StoredRecord::absent || reader.next_kind() != MsgpackKind::map) {
            json += "{}";
            return true;
        }
        auto entries = reader.map_header();
        if (!entries || *entries > locals_natively) return whole_arguments(at, json);
        std::string object = "{";
        std::vector<std::string_view> names;
        for (std::uint32_t i = 0; i < *entries; ++i) {
            if (reader.next_kind() != MsgpackKind::str) return whole_arguments(at, json);
            auto name = reader.str();
            if (!name || std::find(names.begin(), names.end(), *name) != names.end()) {
                return whole_arguments(at, json);
            }
            names.push_back(*name);
            separate(object);
            append_json_string(object, *name);
            object += ':';
            if (!value(reader, object)) return false;
        }
        object += '}';
        json += object;
        return true;
    }

    // Locals whose names are not all distinct texts: as the formatter makes their dict.
    bool whole_arguments(std::size_t at, std::string& json) {
        if (state_.deferred) {
            defer(at, end_of(at), json);
            return true;
        }
        PyRef locals = decode(at, end_of(at));
        return locals && append_call_text(state_.arguments.get(), locals.get(), json);
    }

    SkimState& state_;
    std::string_view part_;
    const StoredRecord& record_;
    const TreeFields& fields_;
};

// A record decoded already (from a part read by the companion package): the formatter writes
// what export writes of it.
class ObjectAccess final : public RecordAccess {
  public:
    ObjectAccess(SkimState& state, PyObject* record) : state_(state), record_(record) {}

    std::shared_ptr<const HeldRecord> hold() override {
        auto held = std::make_shared<HeldObject>();
        held->object = PyRef::borrow(record_);
        return held;
    }

    bool site_entries(bool with_arguments, std::string& json) override {
        PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(
            state_.entries.get(), record_, with_arguments ? Py_True : Py_False, nullptr));
        if (!result) return false;
        std::string entries;
        if (!append_text(result.get(), entries)) return false;
        if (!entries.empty()) {
            separate(json);
            json += entries;
        }
        return true;
    }

    bool return_value(std::string& json) override {
        PyObject* value = PyDict_GetItemWithError(record_, interned.key_arg);
        if (value == nullptr && PyErr_Occurred()) return false;
        return append_call_text(state_.value.get(), value != nullptr ? value : Py_None, json);
    }

    bool plugin(std::string& name, std::string& json) override {
        return plugin_texts(state_, record_, name, json);
    }

    bool exception_text(std::string& json) override {
        return append_call_text(state_.raised.get(), record_, json);
    }

  private:
    SkimState& state_;
    PyObject* record_;
};

// The record's value for key (borrowed), or null: absent, or an error is set.
PyObject* item(PyObject* record, PyObject* key) {
    return PyDict_GetItemWithError(record, key);
}

Fallible<std::optional<std::string_view>> exact_text(PyObject* value) {
    if (value == nullptr || !PyUnicode_CheckExact(value)) return std::optional<std::string_view>();
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return failed;
    return std::optional<std::string_view>(std::string_view(text, static_cast<std::size_t>(size)));
}

// Whether value == text, as the walkers compare; -1 on error.
int equals(PyObject* value, PyObject* text) {
    return value != nullptr ? PyObject_RichCompareBool(value, text, Py_EQ) : 0;
}

// tree.py's is_fact of a decoded plugin record, and what export reads of one.
bool object_fact(PyObject* record, PyObject* type, TreeFields& fields) {
    int generator = equals(type, interned.text_generator);
    int exception = generator == 0 ? equals(type, interned.text_exception) : 0;
    if (generator < 0 || exception < 0) return false;
    if (!generator && !exception) return true;
    PyObject* caught = item(record, interned.key_caught);
    PyObject* resumed = item(record, interned.key_resumed);
    PyObject* yielded = item(record, interned.key_yielded);
    PyObject* origin = item(record, interned.key_origin);
    if (PyErr_Occurred()) return false;
    if (exception && caught == Py_True) return true;
    fields.fact = generator ? TreeFields::Fact::generator : TreeFields::Fact::exception;
    fields.resumed = resumed == Py_True;
    fields.yielded = yielded == Py_True;
    int raised = equals(origin, interned.text_raised);
    int callee = raised == 0 ? equals(origin, interned.text_callee) : 0;
    if (raised < 0 || callee < 0) return false;
    if (raised) fields.origin = TreeFields::Origin::raised;
    if (callee) fields.origin = TreeFields::Origin::callee;
    return true;
}

// What TreeWalker reads of a decoded record; texts borrow the record's strings.
Fallible<TreeFields> object_fields(PyObject* record) {
    TreeFields fields;
    PyObject* none = Py_None;
    auto differs = [](PyObject* value, PyObject* text) {
        return PyObject_RichCompareBool(value, text, Py_NE);
    };
    PyObject* type = item(record, interned.type_key);
    PyObject* event = item(record, interned.key_event);
    PyObject* frame_id = item(record, interned.key_frame_id);
    PyObject* timestamp = item(record, interned.key_timestamp);
    PyObject* thread = item(record, interned.key_thread);
    PyObject* native_id = item(record, interned.key_thread_native_id);
    PyObject* path = item(record, interned.key_path);
    PyObject* co_name = item(record, interned.key_co_name);
    PyObject* qualname = item(record, interned.key_qualname);
    if (PyErr_Occurred()) return failed;

    if (type != nullptr) {
        int plugin = differs(type, interned.text_frame);
        if (plugin < 0) return failed;
        fields.plugin = plugin;
        if (plugin && !object_fact(record, type, fields)) return failed;
    }
    int not_call = differs(event != nullptr ? event : none, interned.call);
    if (not_call < 0) return failed;
    if (!not_call) {
        fields.event = TreeFields::Event::call;
    } else {
        int not_return = differs(event != nullptr ? event : none, interned.return_text);
        if (not_return < 0) return failed;
        if (!not_return) fields.event = TreeFields::Event::ret;
    }
    auto id_text = exact_text(frame_id);
    auto thread_text = exact_text(thread);
    auto path_text = exact_text(path);
    if (!id_text.ok() || !thread_text.ok() || !path_text.ok()) return failed;
    fields.frame_id = *id_text;
    fields.thread = *thread_text;
    fields.path = *path_text;
    if (timestamp != nullptr && PyFloat_CheckExact(timestamp)) {
        fields.timestamp = Number::of(PyFloat_AS_DOUBLE(timestamp));
    } else if (timestamp != nullptr && PyLong_CheckExact(timestamp)) {
        auto number = int_number(timestamp);
        if (!number.ok()) return failed;
        fields.timestamp = *number;
    }
    auto id = optional_int(native_id);
    if (!id.ok()) return failed;
    fields.native_id = *id;
    for (PyObject* name : {qualname, co_name}) {
        if (name == nullptr || !PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) == 0) continue;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &size);
        if (text == nullptr) return failed;
        fields.name = std::string_view(text, static_cast<std::size_t>(size));
        break;
    }
    int not_module = differs(co_name != nullptr ? co_name : none, interned.text_module);
    if (not_module < 0) return failed;
    fields.module = !not_module;
    return fields;
}

bool flush_spill(SkimState& state, bool all) {
    if (state.kind != SkimKind::track) return true;
    std::size_t pending = state.spill.pending_size();
    if (pending == 0 || (!all && pending < spill_batch)) return true;
    std::string data = state.spill.take();
    PyRef bytes =
        PyRef::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
    if (!bytes) return false;
    return PyRef::steal(PyObject_CallOneArg(state.write.get(), bytes.get())) ? true : false;
}

PyTypeObject* the_skim_type = nullptr;

template <class Body>
PyObject* with_state(PyObject* self, Body&& body) {
    return guarded_entry([&]() -> PyObject* {
        if (the_skim_type == nullptr || !PyObject_TypeCheck(self, the_skim_type)) {
            set_type_mismatch(self, "Skim");
            return nullptr;
        }
        return body(*reinterpret_cast<SkimObject*>(self)->state);
    });
}

bool open_for_records(SkimState& state) {
    if (!state.finished) return true;
    PyErr_SetString(PyExc_RuntimeError, "the skim is finished: it takes no more records");
    return false;
}

enum class Fed { records, unreadable, failed };

// Reads the records of the array at the reader, which ends after it.
Fed feed_array(SkimState& state, std::string_view part, MsgpackReader& reader,
               const std::optional<Number>& fallback) {
    auto count = reader.array_header();
    if (!count) return Fed::unreadable;
    StoredRecord record;
    for (std::uint32_t i = 0; i < *count; ++i) {
        Skimmed skimmed = skim_record(reader, record);
        if (skimmed == Skimmed::unreadable) return Fed::unreadable;
        if (skimmed == Skimmed::not_a_map) continue;
        TreeFields fields = tree_fields(part, record);
        BytesAccess access(state, part, record, fields);
        if (!state.groups->feed(fields, fallback, access)) return Fed::failed;
        if (!flush_spill(state, false)) return Fed::failed;
    }
    return Fed::records;
}

// What feed_part reads: a map of text keys (each once) with nothing after it, whose "frames" are
// keyed by ints; the records of "frames_of_interest" first (where they lie), then those of
// "frames" in order (found first, for that order), as trace.py reads a part.
PyObject* feed_part(PyObject* self, PyObject* part) {
    return with_state(self, [&](SkimState& state) -> PyObject* {
        if (!open_for_records(state)) return nullptr;
        BufferView view;
        if (!view.acquire(part)) return nullptr;
        std::string_view bytes = view.bytes();
        MsgpackReader reader(bytes);
        bool fed = false;
        // Not read here: by the companion package instead, unless records were fed already.
        auto elsewhere = [&]() -> PyObject* { return Py_NewRef(fed ? Py_False : Py_None); };
        if (reader.next_kind() != MsgpackKind::map) return elsewhere();
        PyRef spans = PyRef::steal(PyList_New(0));
        if (!spans) return nullptr;
        auto entries = reader.map_header();
        if (!entries) return elsewhere();
        std::vector<std::string_view> keys;
        std::vector<std::pair<MsgpackInt, std::size_t>> threads;
        for (std::uint32_t i = 0; i < *entries; ++i) {
            if (reader.next_kind() != MsgpackKind::str) return elsewhere();
            auto key = reader.str();
            if (!key || !is_utf8(*key)) return elsewhere();
            if (std::find(keys.begin(), keys.end(), *key) != keys.end()) return elsewhere();
            keys.push_back(*key);
            std::size_t start = reader.position();
            if (*key == "frames_of_interest" && reader.next_kind() == MsgpackKind::array) {
                fed = true;
                switch (feed_array(state, bytes, reader, std::nullopt)) {
                    case Fed::records:
                        continue;
                    case Fed::unreadable:
                        Py_RETURN_FALSE;
                    case Fed::failed:
                        return nullptr;
                }
            }
            if (*key == "frames" && reader.next_kind() == MsgpackKind::map) {
                auto count = reader.map_header();
                for (std::uint32_t t = 0; count && t < *count; ++t) {
                    // Ints only: as dict keys, others could be equal to one another.
                    if (reader.next_kind() != MsgpackKind::integer) return elsewhere();
                    auto id = reader.integer();
                    if (!id) return elsewhere();
                    for (const auto& [seen, _] : threads) {
                        if (seen == *id) return elsewhere();
                    }
                    threads.emplace_back(*id, reader.position());
                    // Records are checked as they are read; a value other than records is
                    // checked here, as the companion package would decode it all the same.
                    bool records = reader.next_kind() == MsgpackKind::array;
                    if (!(records ? reader.skip() : reader.skip_checked())) return elsewhere();
                    if (!records) threads.pop_back();
                }
                if (!count) return elsewhere();
                continue;
            }
            if (!reader.skip_checked()) return elsewhere();
            PyRef name = text_object(*key);
            if (!name) return nullptr;
            PyRef span =
                PyRef::steal(Py_BuildValue("(Onn)", name.get(), static_cast<Py_ssize_t>(start),
                                           static_cast<Py_ssize_t>(reader.position())));
            if (!span || PyList_Append(spans.get(), span.get()) < 0) return nullptr;
        }
        if (reader.position() != bytes.size()) return elsewhere();
        for (const auto& [id, start] : threads) {
            fed = true;
            MsgpackReader records(bytes, start);
            switch (feed_array(state, bytes, records, Number::of(id))) {
                case Fed::records:
                    break;
                case Fed::unreadable:
                    Py_RETURN_FALSE;
                case Fed::failed:
                    return nullptr;
            }
        }
        return spans.release();
    });
}

PyObject* feed_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return with_state(self, [&](SkimState& state) -> PyObject* {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "feed_records(records, native_id)");
            return nullptr;
        }
        if (!open_for_records(state)) return nullptr;
        auto fallback = optional_int(args[1]);
        if (!fallback.ok()) return nullptr;
        PyRef records = PyRef::steal(PyObject_GetIter(args[0]));
        if (!records) return nullptr;
        while (PyRef record = PyRef::steal(PyIter_Next(records.get()))) {
            if (!PyDict_CheckExact(record.get())) continue;
            auto fields = object_fields(record.get());
            if (!fields.ok()) return nullptr;
            ObjectAccess access(state, record.get());
            if (!state.groups->feed(*fields, *fallback, access)) return nullptr;
            if (!flush_spill(state, false)) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* finish(PyObject* self, PyObject*) {
    return with_state(self, [&](SkimState& state) -> PyObject* {
        if (!open_for_records(state)) return nullptr;
        state.finished = true;
        if (!state.groups->finish() || !flush_spill(state, true)) return nullptr;
        auto& groups = state.groups->groups();
        PyRef threads = PyRef::steal(PyList_New(0));
        if (!threads) return nullptr;
        for (const auto& group : groups) {
            PyRef name = text_object(group->name);
            PyRef native_id = optional_number(group->native_id);
            PyRef count = PyRef::steal(PyLong_FromUnsignedLongLong(group->count));
            PyRef first_ts = optional_number(group->first_ts);
            if (!name || !native_id || !count || !first_ts) return nullptr;
            PyRef thread = PyRef::steal(
                PyTuple_Pack(4, name.get(), native_id.get(), count.get(), first_ts.get()));
            if (!thread || PyList_Append(threads.get(), thread.get()) < 0) return nullptr;
        }
        return threads.release();
    });
}

// The walker of thread `index` (an int argument) once finished, as a Walker.
template <class Walker>
Walker* finished_walker(SkimState& state, PyObject* index) {
    if (!state.finished) {
        PyErr_SetString(PyExc_RuntimeError, "the skim is not finished");
        return nullptr;
    }
    Py_ssize_t at = PyLong_AsSsize_t(index);
    if (at == -1 && PyErr_Occurred()) return nullptr;
    auto& groups = state.groups->groups();
    if (at < 0 || static_cast<std::size_t>(at) >= groups.size()) {
        PyErr_SetString(PyExc_IndexError, "no such thread");
        return nullptr;
    }
    auto* walker = dynamic_cast<Walker*>(groups[static_cast<std::size_t>(at)]->walker.get());
    if (walker == nullptr) PyErr_SetString(PyExc_TypeError, "the skim does not keep that");
    return walker;
}

PyObject* paths(PyObject* self, PyObject* index) {
    return with_state(self, [&](SkimState& state) -> PyObject* {
        auto* outline = finished_walker<Outline>(state, index);
        if (outline == nullptr) return nullptr;
        PyRef result = PyRef::steal(PySet_New(nullptr));
        if (!result) return nullptr;
        for (const auto& path : outline->paths()) {
            PyRef text = text_object(path);
            if (!text || PySet_Add(result.get(), text.get()) < 0) return nullptr;
        }
        return result.release();
    });
}

PyRef held_object(SkimState& state, const std::shared_ptr<const HeldRecord>& held) {
    if (!held) return PyRef::borrow(Py_None);
    if (const auto* object = dynamic_cast<const HeldObject*>(held.get())) return object->object;
    const auto& bytes = static_cast<const HeldBytes&>(*held).bytes;
    PyRef view = PyRef::steal(PyMemoryView_FromMemory(
        const_cast<char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ));
    if (!view) return {};
    return PyRef::steal(PyObject_CallOneArg(state.unpack.get(), view.get()));
}

// The node's records of how it ended, as a tuple.
PyRef held_facts(SkimState& state, const OutlineNode& node) {
    PyRef decoded[2];
    Py_ssize_t count = 0;
    for (const auto* held : {&node.exception, &node.generator}) {
        if (!*held) continue;
        decoded[count] = held_object(state, *held);
        if (!decoded[count++]) return {};
    }
    PyRef facts = PyRef::steal(PyTuple_New(count));
    if (!facts) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(facts.get(), i, decoded[i].release());
    }
    return facts;
}

PyObject* lines(PyObject* self, PyObject* index) {
    return with_state(self, [&](SkimState& state) -> PyObject* {
        auto* outline = finished_walker<Outline>(state, index);
        if (outline == nullptr) return nullptr;
        PyRef result = PyRef::steal(PyList_New(0));
        if (!result) return nullptr;
        for (const auto& line : outline->lines()) {
            const OutlineNode& node = *line.node;
            PyRef call = held_object(state, node.call);
            PyRef ret = held_object(state, node.ret);
            PyRef facts = held_facts(state, node);
            PyRef start = number_object(node.start);
            PyRef level = PyRef::steal(PyLong_FromLongLong(line.level));
            PyRef hidden = PyRef::steal(PyLong_FromLongLong(line.hidden));
            if (!call || !ret || !facts || !start || !level || !hidden) return nullptr;
            PyRef entry = PyRef::steal(
                PyTuple_Pack(7, call.get(), ret.get(), facts.get(), start.get(), level.get(),
                             line.is_last ? Py_True : Py_False, hidden.get()));
            if (!entry || PyList_Append(result.get(), entry.get()) < 0) return nullptr;
        }
        return result.release();
    });
}

PyObject* totals(PyObject* self, PyObject* index) {
    return with_state(self, [&](SkimState& state) -> PyObject* {
        auto* outline = finished_walker<Outline>(state, index);
        if (outline == nullptr) return nullptr;
        auto counts = outline->totals();
        if (!counts) Py_RETURN_NONE;
        return Py_BuildValue("(LL)", static_cast<long long>(counts->first),
                             static_cast<long long>(counts->second));
    });
}

template <class T>
PyRef column_bytes(std::vector<T>& column) {
    PyRef bytes =
        PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(column.data()),
                                               static_cast<Py_ssize_t>(column.size() * sizeof(T))));
    std::vector<T>().swap(column);  // the bytes are the column now
    return bytes;
}

PyObject* track(PyObject* self, PyObject* index) {
    return with_state(self, [&](SkimState& state) -> PyObject* {
        auto* track = finished_walker<ExportTrack>(state, index);
        if (track == nullptr) return nullptr;
        PyRef names = PyRef::steal(PyList_New(0));
        PyRef wrappers = PyRef::steal(PyList_New(0));
        if (!names || !wrappers) return nullptr;
        for (const auto& name : track->name_texts) {
            PyRef text = text_object(name);
            if (!text || PyList_Append(names.get(), text.get()) < 0) return nullptr;
        }
        for (std::int64_t wrapper : track->wrappers) {
            PyRef number = PyRef::steal(PyLong_FromLongLong(wrapper));
            if (!number || PyList_Append(wrappers.get(), number.get()) < 0) return nullptr;
        }
        PyRef fields[] = {optional_number(track->low),
                          optional_number(track->high),
                          names,
                          wrappers,
                          column_bytes(track->starts),
                          column_bytes(track->ends),
                          column_bytes(track->depths),
                          column_bytes(track->flags),
                          column_bytes(track->names),
                          column_bytes(track->offsets),
                          column_bytes(track->lengths)};
        PyRef result = PyRef::steal(PyTuple_New(std::size(fields)));
        if (!result) return nullptr;
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            if (!fields[i]) return nullptr;
            PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), fields[i].release());
        }
        return result.release();
    });
}

PyObject* shape(PyObject* self, PyObject* index) {
    return with_state(self, [&](SkimState& state) -> PyObject* {
        auto* track = finished_walker<ExportTrack>(state, index);
        if (track == nullptr) return nullptr;
        std::vector<std::int64_t> sizes, parents;
        tree_shape(track->depths, sizes, parents);
        PyRef columns[] = {column_bytes(sizes), column_bytes(parents)};
        if (!columns[0] || !columns[1]) return nullptr;
        return PyTuple_Pack(2, columns[0].get(), columns[1].get());
    });
}

// One function's totals as stats.py's FunctionStats takes them.
PyRef function_tuple(const FunctionTotals& function) {
    PyRef name = text_object(function.name);
    PyRef file = text_object(function.file);
    PyRef line =
        function.line ? PyRef::steal(PyLong_FromLongLong(*function.line)) : PyRef::borrow(Py_None);
    if (!name || !file || !line) return {};
    return PyRef::steal(Py_BuildValue("(OOOKKKKdd)", name.get(), file.get(), line.get(),
                                      static_cast<unsigned long long>(function.calls),
                                      static_cast<unsigned long long>(function.outer),
                                      static_cast<unsigned long long>(function.returned),
                                      static_cast<unsigned long long>(function.timed),
                                      function.total, function.own));
}

PyObject* stats(PyObject* self, PyObject* index) {
    return with_state(self, [&](SkimState& state) -> PyObject* {
        auto* track = finished_walker<StatsTrack>(state, index);
        if (track == nullptr) return nullptr;
        PyRef functions = PyRef::steal(PyList_New(0));
        PyRef events = PyRef::steal(PyList_New(0));
        if (!functions || !events) return nullptr;
        for (const auto& function : track->functions) {
            PyRef entry = function_tuple(function);
            if (!entry || PyList_Append(functions.get(), entry.get()) < 0) return nullptr;
        }
        for (const auto& held : track->events) {
            PyRef record = held_object(state, held);
            if (!record || PyList_Append(events.get(), record.get()) < 0) return nullptr;
        }
        track->events.clear();
        return PyTuple_Pack(2, functions.get(), events.get());
    });
}

Fallible<std::optional<std::int64_t>> optional_count(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::optional<std::int64_t>();
    long long count = PyLong_AsLongLong(value);
    if (count == -1 && PyErr_Occurred()) return failed;
    return std::optional<std::int64_t>(count);
}

PyObject* skim_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"unpack", "depth", "limit", "formatter",
                                     "stats",  "defer", nullptr};
    PyObject* unpack = nullptr;
    PyObject* depth = nullptr;
    PyObject* limit = nullptr;
    PyObject* formatter = nullptr;
    int by_function = 0;
    int defer = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOpp:Skim", const_cast<char**>(keywords),
                                     &unpack, &depth, &limit, &formatter, &by_function, &defer)) {
        return nullptr;
    }
    return guarded_entry([&]() -> PyObject* {
        auto state = std::make_unique<SkimState>();
        state->unpack = PyRef::borrow(unpack);
        if (by_function) {
            state->kind = SkimKind::stats;
            state->groups =
                std::make_unique<ThreadGroups>([] { return std::make_unique<StatsTrack>(); });
        } else if (formatter != nullptr && formatter != Py_None) {
            state->kind = SkimKind::track;
            state->deferred = defer != 0;
            std::pair<PyRef*, const char*> methods[] = {
                {&state->entries, "entries"},     {&state->value, "value"},
                {&state->arguments, "arguments"}, {&state->plugin, "plugin"},
                {&state->raised, "raised"},       {&state->write, "write"}};
            for (auto& [method, name] : methods) {
                *method = PyRef::steal(PyObject_GetAttrString(formatter, name));
                if (!*method) return nullptr;
            }
            SkimState* shared = state.get();
            state->groups = std::make_unique<ThreadGroups>(
                [shared] { return std::make_unique<ExportTrack>(shared->spill); });
        } else {
            auto levels = optional_count(depth);
            auto lines = optional_count(limit);
            if (!levels.ok() || !lines.ok()) return nullptr;
            state->groups = std::make_unique<ThreadGroups>([levels = *levels, lines = *lines] {
                return std::make_unique<Outline>(levels, lines);
            });
        }
        PyRef object = PyRef::steal(type->tp_alloc(type, 0));
        if (!object) return nullptr;
        reinterpret_cast<SkimObject*>(object.get())->state = state.release();
        return object.release();
    });
}

void skim_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete std::exchange(reinterpret_cast<SkimObject*>(self)->state, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"feed_part", feed_part, METH_O,
     "feed_part($self, part)\n--\n\nReads the records of a stored part (bytes) as trace.py "
     "reads them: [(key, start, end)] of its other values when read; None when its shape is "
     "not one read here (nothing of it was read); False when a record would not decode as the "
     "companion package decodes it, or might not, or the shape turned out not to be one read "
     "here after records were read: the skim is spoiled then."},
    {"feed_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(feed_records)),
     METH_FASTCALL,
     "feed_records($self, records, native_id)\n--\n\nReads decoded records (an iterable of "
     "dicts), as feed_array reads stored ones."},
    {"finish", finish, METH_NOARGS,
     "finish($self)\n--\n\nThe records are over: (name, native id, records, first timestamp) of "
     "each thread, in the order they appeared."},
    {"paths", paths, METH_O, "paths($self, thread)\n--\n\nEvery \"path\" of the thread's records."},
    {"lines", lines, METH_O,
     "lines($self, thread)\n--\n\nThe thread's outline: (call, return, facts, start, level, "
     "is_last, hidden) per line, the records decoded; facts are those of tree.is_fact that a "
     "line shows (the latest of each type)."},
    {"totals", totals, METH_O,
     "totals($self, thread)\n--\n\n(calls, events) within the outline's depth, or None without "
     "a line limit."},
    {"track", track, METH_O,
     "track($self, thread)\n--\n\nThe thread's exported nodes: (low, high, names, wrappers) and "
     "the columns starts, ends, depths, flags, names, offsets and lengths as bytes. Once only."},
    {"shape", shape, METH_O,
     "shape($self, thread)\n--\n\nThe sizes and parents of the thread's exported nodes, from "
     "their depths, as columns of int64 bytes: node i holds nodes i+1 .. i+size-1; a top-level "
     "node's parent is -1. Before track()."},
    {"stats", stats, METH_O,
     "stats($self, thread)\n--\n\nThe thread's calls added up per function, as `vesk stats` "
     "counts them: [(name, file, line, calls, outer, returned, timed, total, own)] in the order "
     "of their first calls, and the plugin records that stand for nodes, decoded. Once only."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(skim_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(skim_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_doc,
     const_cast<char*>(
         "Skim(unpack, *, depth=None, limit=None, formatter=None, stats=False, defer=False)\n--\n\n"
         "Reads the records of a stored trace, grouped into threads and paired into calls, "
         "for the outlines `vesk show` prints (of depth levels and limit lines), given a "
         "formatter for the tracks `vesk export` writes, or with stats for the totals per "
         "function of `vesk stats`. unpack decodes MessagePack. With defer, the values the "
         "formatter would write go to the spill as their MessagePack, {\"m\": [offset, length]} "
         "in their place, and so do plugin records whose type is a text.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "vesk._vesk.Skim", sizeof(SkimObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
};

}  // namespace

PyTypeObject* skim_type() {
    if (the_skim_type == nullptr) {
        // Kept for the life of the interpreter, like the module.
        the_skim_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        if (the_skim_type != nullptr) {
            forget_at_finalize(reinterpret_cast<PyObject**>(&the_skim_type));
        }
    }
    return the_skim_type;
}

}  // namespace vesk
