#include "utils/values.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <new>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "companion/companion.h"
#include "utils/errors.h"
#include "utils/finalize.h"
#include "utils/frames.h"
#include "utils/interned.h"
#include "utils/interruption.h"
#include "utils/msgpack_writer.h"
#include "utils/redaction.h"

namespace vesk {

namespace {

// The bounds vesk.serialize documents.
constexpr Py_ssize_t repr_limit = 300;
constexpr std::size_t full_limit = 64 * 1024;
constexpr int max_depth = 64;
constexpr Py_ssize_t light_items = 16;
constexpr Py_ssize_t light_str = 200;
constexpr Py_ssize_t light_bytes = 200;
constexpr int light_depth = 4;
constexpr Py_ssize_t light_budget = 256;
// msgpack's Packer: how deep it nests before it gives up, and the longest length it writes.
constexpr int packer_nest_limit = 511;
constexpr std::size_t item_limit = 0xffffffffU;
// Items of a deque that can show within repr_limit characters: each one adds at least ", ".
constexpr std::size_t deque_items_shown = repr_limit / 2 + 1;

enum class Outcome {
    ok,
    failed,         // an ordinary failure, already dropped: the caller takes its next path
    too_large,      // the full form passed full_limit
    fatal,          // the error indicator holds what must reach our caller
    needs_default,  // the packer's "call the default hook" (the fast path only)
};

// The reference catches Exception: anything else goes through, and so do memory running out and
// what a signal handler raised (`type` is that of the pending exception).
bool must_propagate(PyObject* type) {
    return !PyErr_GivenExceptionMatches(type, PyExc_Exception) ||
           PyErr_GivenExceptionMatches(type, PyExc_MemoryError) || pending_is_interruption();
}

// The pending exception as an outcome, dropped when it is ordinary.
Outcome failure() {
    PyObject* type = PyErr_Occurred();
    if (type != nullptr && must_propagate(type)) return Outcome::fatal;
    PyErr_Clear();
    return Outcome::failed;
}

// The pending exception out of the indicator when it is ordinary; null, with it still pending,
// when it must propagate.
PyRef take_ordinary() {
    PyObject* type = PyErr_Occurred();
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "a call failed without an exception");
    } else if (must_propagate(type)) {
        return {};
    }
    return take_pending_exception();
}

struct Sink {
    std::string& bytes;
    void write(const char* data, std::size_t size) { bytes.append(data, size); }
};

// The header of a str of `size` bytes, as msgpack's packer writes it; its length.
std::size_t str_header(char* header, std::size_t size) {
    if (size < 32) {
        header[0] = static_cast<char>(0xa0 | size);
        return 1;
    }
    if (size < 256) {
        header[0] = static_cast<char>(0xd9);
        header[1] = static_cast<char>(size);
        return 2;
    }
    if (size < 65536) {
        header[0] = static_cast<char>(0xda);
        header[1] = static_cast<char>(size >> 8);
        header[2] = static_cast<char>(size);
        return 3;
    }
    header[0] = static_cast<char>(0xdb);
    for (int i = 0; i < 4; ++i) header[1 + i] = static_cast<char>(size >> (24 - 8 * i));
    return 5;
}

[[gnu::always_inline]] inline void put_str_header(std::string& out, std::size_t size) {
    if (size < 32) {
        out.push_back(static_cast<char>(0xa0 | size));  // most strs: a byte, kept inline
        return;
    }
    char header[5];
    out.append(header, str_header(header, size));
}

void put_bin(std::string& out, const char* data, std::size_t size) {
    Sink sink{out};
    msgpack::packer<Sink>(sink).pack_bin(static_cast<std::uint32_t>(size));
    out.append(data, size);
}

std::string container_header(bool map, std::size_t count) {
    std::string header;
    Sink sink{header};
    if (map) {
        write_map_len(sink, static_cast<std::uint32_t>(count));
    } else {
        write_array_len(sink, static_cast<std::uint32_t>(count));
    }
    return header;
}

// Ints as the packer writes them: non-negative ones in the unsigned forms.
bool put_int_in_range(std::string& out, PyObject* value) {
    Sink sink{out};
    auto* number_object = reinterpret_cast<PyLongObject*>(value);
    if (PyUnstable_Long_IsCompact(number_object)) {
        write_int(sink, PyUnstable_Long_CompactValue(number_object));
        return true;
    }
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        write_int(sink, number);
        return true;
    }
    if (overflow < 0) return false;
    unsigned long long unsigned_number = PyLong_AsUnsignedLongLong(value);
    if (unsigned_number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();  // beyond 64 bits: OverflowError, nothing else for an int
        return false;
    }
    write_uint(sink, unsigned_number);
    return true;
}

// ---- Text -------------------------------------------------------------------------------------

struct TextSize {
    std::size_t bytes = 0;    // in UTF-8, lone surrogates counted as their escapes
    bool surrogates = false;  // lone surrogates met
};

template <class Char>
TextSize measure_chars(const Char* chars, Py_ssize_t count) {
    TextSize size;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_UCS4 c = chars[i];
        if (c < 0x80) {
            size.bytes += 1;
        } else if (c < 0x800) {
            size.bytes += 2;
        } else if (c < 0x10000) {
            if (c >= 0xd800 && c <= 0xdfff) {
                size.surrogates = true;
                size.bytes += 6;
            } else {
                size.bytes += 3;
            }
        } else {
            size.bytes += 4;
        }
    }
    return size;
}

// Of the first `count` characters of a str (or str subclass).
TextSize measure(PyObject* text, Py_ssize_t count) {
    if (PyUnicode_IS_ASCII(text)) return {static_cast<std::size_t>(count), false};
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return measure_chars(static_cast<const Py_UCS1*>(data), count);
        case PyUnicode_2BYTE_KIND:
            return measure_chars(static_cast<const Py_UCS2*>(data), count);
        default:
            return measure_chars(static_cast<const Py_UCS4*>(data), count);
    }
}

// UTF-8, with lone surrogates as backslashreplace writes them ("\udc80"), as _safe_str does.
template <class Char>
void encode_chars(char* out, const Char* chars, Py_ssize_t count) {
    static constexpr char hex[] = "0123456789abcdef";
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_UCS4 c = chars[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<char>(0xc0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            if (c >= 0xd800 && c <= 0xdfff) {
                *out++ = '\\';
                *out++ = 'u';
                for (int shift = 12; shift >= 0; shift -= 4) *out++ = hex[(c >> shift) & 0xf];
            } else {
                *out++ = static_cast<char>(0xe0 | (c >> 12));
                *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
                *out++ = static_cast<char>(0x80 | (c & 0x3f));
            }
        } else {
            *out++ = static_cast<char>(0xf0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            *out++ = static_cast<char>(0x80 | (c & 0x3f));
        }
    }
}

// The first `count` characters, `size` bytes as measure() gave them.
void append_text(std::string& out, PyObject* text, Py_ssize_t count, std::size_t size) {
    const void* data = PyUnicode_DATA(text);
    if (PyUnicode_IS_ASCII(text)) {
        out.append(static_cast<const char*>(data), size);
        return;
    }
    std::size_t at = out.size();
    out.resize(at + size);
    char* target = out.data() + at;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            encode_chars(target, static_cast<const Py_UCS1*>(data), count);
            break;
        case PyUnicode_2BYTE_KIND:
            encode_chars(target, static_cast<const Py_UCS2*>(data), count);
            break;
        default:
            encode_chars(target, static_cast<const Py_UCS4*>(data), count);
    }
}

// A str of its first `count` characters, `size` bytes as measure() gave them.
void put_str(std::string& out, PyObject* text, Py_ssize_t count, std::size_t size) {
    if (size < 32 && PyUnicode_IS_ASCII(text)) {
        // Most strs are short words: with their header, in one append.
        char packed[32];
        packed[0] = static_cast<char>(0xa0 | size);
        const auto* chars = static_cast<const char*>(PyUnicode_DATA(text));
        if (size <= 8) {  // cheaper than a call to memcpy, for the many short names
            for (std::size_t i = 0; i < size; ++i) packed[1 + i] = chars[i];
        } else {
            std::memcpy(packed + 1, chars, size);
        }
        out.append(packed, size + 1);
        return;
    }
    put_str_header(out, size);
    append_text(out, text, count, size);
}

// A str value cut to `count` characters, surrogates escaped; true if any was.
bool put_safe_str(std::string& out, PyObject* text, Py_ssize_t count) {
    TextSize size = measure(text, count);
    put_str(out, text, count, size.bytes);
    return size.surrogates;
}

// A part of a text: ASCII of ours, or an interpreter str.
struct Piece {
    std::string_view ascii;
    PyObject* text = nullptr;

    Py_ssize_t length() const {
        return text != nullptr ? PyUnicode_GET_LENGTH(text) : static_cast<Py_ssize_t>(ascii.size());
    }
};

// A text made of pieces, with what keeps them alive; in memory of its own but for long ones.
struct Text {
    Text() {
        pieces.reserve(8);
        held.reserve(4);
    }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    std::array<std::byte, 512> buffer;
    std::pmr::monotonic_buffer_resource arena{buffer.data(), buffer.size()};
    std::pmr::vector<Piece> pieces{&arena};
    std::pmr::vector<PyRef> held{&arena};
    std::string owned;  // set once, before a piece views it

    void add(std::string_view ascii) { pieces.push_back(Piece{ascii, nullptr}); }
    void add(PyRef text) {
        pieces.push_back(Piece{{}, text.get()});
        held.push_back(std::move(text));
    }
    // ASCII made now, kept as long as the text.
    void add_copy(std::string_view ascii) {
        auto* copy = static_cast<char*>(arena.allocate(ascii.size(), 1));
        std::memcpy(copy, ascii.data(), ascii.size());
        add(std::string_view(copy, ascii.size()));
    }
    void hold(PyRef object) { held.push_back(std::move(object)); }
};

// The concatenation as a str, cut to `limit` characters as _clip cuts (whole when negative),
// with lone surrogates escaped.
void put_text(std::string& out, std::span<const Piece> pieces, Py_ssize_t limit) {
    Py_ssize_t total = 0;
    for (const Piece& piece : pieces) total += piece.length();
    Py_ssize_t keep = total;
    std::string_view suffix;
    if (limit >= 0 && total > limit) {
        keep = limit - 3;
        suffix = "...";
    }
    std::size_t size = suffix.size();
    Py_ssize_t left = keep;
    for (const Piece& piece : pieces) {
        Py_ssize_t count = std::min(left, piece.length());
        size += piece.text != nullptr ? measure(piece.text, count).bytes
                                      : static_cast<std::size_t>(count);
        left -= count;
    }
    put_str_header(out, size);
    left = keep;
    for (const Piece& piece : pieces) {
        Py_ssize_t count = std::min(left, piece.length());
        if (piece.text != nullptr) {
            append_text(out, piece.text, count, measure(piece.text, count).bytes);
        } else {
            out.append(piece.ascii.data(), static_cast<std::size_t>(count));
        }
        left -= count;
    }
    out.append(suffix);
}

// ---- Type names and fallback maps -------------------------------------------------------------

// type.__dict__["__module__"].__get__(type): read through type's own descriptor, which neither a
// metaclass nor the class can override.
PyRef type_module(PyTypeObject* type) {
    PyRef type_dict = PyRef::steal(PyType_GetDict(&PyType_Type));
    if (!type_dict) return {};
    PyObject* descriptor = PyDict_GetItemWithError(type_dict.get(), interned.dunder_module);
    if (descriptor == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, interned.dunder_module);
        return {};
    }
    PyRef held = PyRef::borrow(descriptor);
    descrgetfunc get = Py_TYPE(descriptor)->tp_descr_get;
    if (get == nullptr) return held;
    return PyRef::steal(get(descriptor, reinterpret_cast<PyObject*>(type), nullptr));
}

// The pieces of _type_name for what type's descriptors gave.
void add_type_name(PyRef module, PyRef qualname, Text& text) {
    if (PyUnicode_Check(module.get())) {
        text.add(std::move(module));
    } else {
        text.add("<unknown module>");
    }
    text.add(".");
    if (PyUnicode_Check(qualname.get())) {
        text.add(std::move(qualname));
    } else {
        text.add("<unknown>");
    }
}

// The pieces of _type_name(type); false only with an exception that must propagate.
bool add_type_name(PyTypeObject* type, Text& text) {
    PyRef module = type_module(type);
    // The qualname descriptor's getter is what PyType_GetQualName runs.
    PyRef qualname = module ? PyRef::steal(PyType_GetQualName(type)) : PyRef();
    if (!qualname) {
        if (failure() == Outcome::fatal) return false;
        text.add("<unknown type>");
        return true;
    }
    add_type_name(std::move(module), std::move(qualname), text);
    return true;
}

// ---- Types remembered -------------------------------------------------------------------------

// Most fallback maps describe instances of a few classes, again and again: their names, and how
// object.__repr__ begins for them, are remembered per type while the type stays as it is, which
// its version tag tells. The interpreter gives a type a new tag whenever the type or a base
// changes, and never gives a tag to two types, so a freed type is never mistaken for a new one
// at its address. A qualname set through type's own descriptor keeps the tag: the one named is
// held, and compared.
struct KnownType {
    PyTypeObject* type = nullptr;  // compared, never followed
    unsigned int version = 0;
    PyObject* qualname = nullptr;  // a heap type's, held
    // A fallback map up to its repr's text: its header, "__type__", _safe_str(_type_name(type))
    // and "__repr__", packed.
    std::string map_head;
    // "module.qualname" as object.__repr__ names the type, in UTF-8 with lone surrogates escaped;
    // empty when it names it by tp_name, which is read each time (its setter keeps the tag too).
    std::string repr_name;
    Py_ssize_t repr_name_length = 0;  // in characters
    // Its instances are written as fallback maps by every way of both forms: the type derives
    // from none of the builtins they write otherwise, and cannot pass for an ExtType.
    bool instances_fall_back = false;

    static constexpr std::size_t name_at = 10;  // after the map's header and "__type__"
    static constexpr std::size_t repr_key = 9;  // "__repr__", packed
    std::string_view packed_name() const {
        return std::string_view(map_head).substr(name_at, map_head.size() - name_at - repr_key);
    }
};

constexpr int known_type_bits = 6;
std::array<KnownType, std::size_t{1} << known_type_bits> known_types;
bool known_types_armed = false;

KnownType& known_type_slot(PyTypeObject* type) {
    auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(type));
    return known_types[(address * 0x9e3779b97f4a7c15ULL) >> (64 - known_type_bits)];
}

PyObject* held_qualname(PyTypeObject* type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
}

// The text as _safe_str leaves it, appended; its length in characters.
Py_ssize_t append_safe(std::string& out, PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    append_text(out, text, length, measure(text, length).bytes);
    return length;
}

// isinstance(value, msgpack.ExtType) answered without looking the class up, when it cannot be
// true: no ExtType is anything but a tuple, and isinstance() then only asks value.__class__,
// which an ordinary instance gets from object itself without running any code.
bool cannot_be_ext_type(PyTypeObject* type) {
    if (PyType_FastSubclass(type, Py_TPFLAGS_TUPLE_SUBCLASS) ||
        type->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    PyObject* own = _PyType_Lookup(type, interned.dunder_class);
    return own != nullptr && own == _PyType_Lookup(&PyBaseObject_Type, interned.dunder_class);
}

// What KnownType::instances_fall_back says; all of it stays true while the type keeps its
// version (bases, slots and attributes change it).
bool instances_fall_back(PyTypeObject* type) {
    if (PyType_FastSubclass(type, Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
                                      Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS |
                                      Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS)) {
        return false;
    }
    for (PyTypeObject* base :
         {&PyFloat_Type, &PyByteArray_Type, &PyMemoryView_Type, &PySet_Type, &PyFrozenSet_Type}) {
        if (PyType_IsSubtype(type, base)) return false;
    }
    return cannot_be_ext_type(type);
}

// Whether the type has a valid version tag, given one now if it can have one. 3.11 has no call
// for that; a lookup through its method cache gives a type one, as the cache needs it.
bool has_version_tag(PyTypeObject* type) {
    if (compat::type_version_is_valid(type)) return true;
#if PY_VERSION_HEX < 0x030C0000
    _PyType_Lookup(type, interned.dunder_class);
    return compat::type_version_is_valid(type);
#else
    return PyUnstable_Type_AssignVersionTag(type) != 0;
#endif
}

// What is remembered of `type`, learnt now if need be; null when it cannot be remembered (the
// caller takes the general way), failed when what must propagate was raised.
Fallible<const KnownType*> known_type(PyTypeObject* type) {
    if (!has_version_tag(type)) return nullptr;
    const unsigned int version = type->tp_version_tag;
    PyObject* const qualname_held = held_qualname(type);
    KnownType& slot = known_type_slot(type);
    if (slot.type == type && slot.version == version && slot.qualname == qualname_held) {
        return &slot;
    }
    PyRef module = type_module(type);
    PyRef qualname = module ? PyRef::steal(PyType_GetQualName(type)) : PyRef();
    if (!qualname) {
        if (failure() == Outcome::fatal) return failed;
        return nullptr;
    }
    KnownType known;
    known.type = type;
    known.version = version;
    known.qualname = qualname_held;
    // object.__repr__ names the type by tp_name when its module is not a str, or is builtins.
    if (PyUnicode_Check(module.get()) &&
        PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0) {
        if (!PyUnicode_Check(qualname.get())) return nullptr;
        known.repr_name_length = append_safe(known.repr_name, module.get()) + 1;
        known.repr_name += '.';
        known.repr_name_length += append_safe(known.repr_name, qualname.get());
    }
    Text name;
    add_type_name(std::move(module), std::move(qualname), name);
    Sink sink{known.map_head};
    write_map_len(sink, 2);
    write_str(sink, "__type__");
    put_text(known.map_head, name.pieces, -1);
    write_str(sink, "__repr__");
    known.instances_fall_back = instances_fall_back(type);
    // The descriptors ran code of the type's dictionary only if it holds odd keys: the type may
    // have changed meanwhile, and what was read may not be what its tag now stands for.
    if (!compat::type_version_is_valid(type) || type->tp_version_tag != version ||
        held_qualname(type) != qualname_held) {
        return nullptr;
    }
    if (!known_types_armed) {
        // After the interpreter is gone: its objects are not released, only forgotten.
        forget_at_finalize([] {
            for (KnownType& forgotten : known_types) {
                forgotten.type = nullptr;
                forgotten.version = 0;
                forgotten.qualname = nullptr;
            }
            known_types_armed = false;
        });
        known_types_armed = true;
    }
    Py_XINCREF(known.qualname);
    Py_XDECREF(std::exchange(slot.qualname, nullptr));
    slot = std::move(known);
    return &slot;
}

// _safe_str(_type_name(type)), packed; false only with an exception that must propagate.
bool put_type_name(std::string& out, PyTypeObject* type) {
    auto known = known_type(type);
    if (!known.ok()) return false;
    if (*known != nullptr) {
        out.append((*known)->packed_name());
        return true;
    }
    Text name;
    if (!add_type_name(type, name)) return false;
    put_text(out, name.pieces, -1);
    return true;
}

// The redaction marker of vesk.filters.secrets.marker(value): its type and length, never its
// content.
Outcome put_marker(std::string& out, PyObject* value) {
    Sink sink{out};
    write_map_len(sink, 3);
    write_str(sink, "__type__");
    if (!put_type_name(out, Py_TYPE(value))) return Outcome::fatal;
    write_str(sink, "__len__");
    if (PyUnicode_Check(value)) {
        write_uint(sink, static_cast<std::uint64_t>(PyUnicode_GET_LENGTH(value)));
    } else if (PyDict_Check(value)) {
        write_uint(sink, static_cast<std::uint64_t>(PyDict_GET_SIZE(value)));
    } else if (PyAnySet_Check(value)) {
        write_uint(sink, static_cast<std::uint64_t>(PySet_GET_SIZE(value)));
    } else if (PyBytes_Check(value) || PyByteArray_Check(value) || PyList_Check(value) ||
               PyTuple_Check(value)) {
        write_uint(sink, static_cast<std::uint64_t>(Py_SIZE(value)));
    } else {
        write_nil(sink);
    }
    write_str(sink, "__redacted__");
    write_bool(sink, true);
    return Outcome::ok;
}

// A dict's value stored under `key` is a secret.
[[gnu::always_inline]] inline bool is_secret_key(PyObject* key) {
    return PyUnicode_Check(key) && is_secret_name(key);
}

// Replaces the text by "<repr() raised <module>.<type of the pending exception>>".
Outcome text_of_failure(Text& text) {
    PyRef exception = take_ordinary();
    if (!exception) return Outcome::fatal;
    text.pieces.clear();
    text.add("<repr() raised ");
    if (!add_type_name(Py_TYPE(exception.get()), text)) return Outcome::fatal;
    text.add(">");
    return Outcome::ok;
}

Outcome int_text(PyObject* value, Text& text) {
    PyRef repr = PyRef::steal(PyLong_Type.tp_repr(value));
    if (repr) {
        text.add(std::move(repr));
        return Outcome::ok;
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return text_of_failure(text);
    // Beyond the interpreter's limit on digits converted.
    PyErr_Clear();
    text.owned = "<int of " + std::to_string(_PyLong_NumBits(value)) + " bits>";
    text.add(text.owned);
    return Outcome::ok;
}

// collections.deque, a static type of its module: looked up once per interpreter.
PyTypeObject* deque_type = nullptr;

Fallible<bool> is_plain_deque(PyObject* value) {
    if (std::strcmp(Py_TYPE(value)->tp_name, "collections.deque") != 0) return false;
    if (deque_type == nullptr) {
        PyRef deque = module_attribute(interned.mod_collections, interned.deque);
        if (!deque) {
            if (failure() == Outcome::fatal) return failed;
            return false;
        }
        if (!PyType_Check(deque.get())) return false;
        deque_type = reinterpret_cast<PyTypeObject*>(deque.get());
        forget_at_finalize(reinterpret_cast<PyObject**>(&deque_type));
    }
    return deque_type == Py_TYPE(value);
}

// repr(deque) as far as _clip keeps it. The interpreter's repr copies the deque into a list and
// repr()s every item; here only the first items are taken, and repr()ed until the text passes
// repr_limit: the same text within the limit, the same cut text beyond it, at a cost that does
// not grow with the deque.
Outcome deque_items_text(PyObject* deque, Text& text) {
    // Taken a few at a time before their reprs run, as the interpreter copies the deque before
    // any repr runs (a repr may change it): only as many as the text can show are ever taken.
    constexpr std::size_t batch = 8;
    std::vector<PyRef> items;
    PyRef iterator = PyRef::steal(PyObject_GetIter(deque));
    if (!iterator) return text_of_failure(text);
    bool exhausted = false;
    text.add("deque([");
    Py_ssize_t length = 7;
    for (std::size_t i = 0; i < deque_items_shown; ++i) {
        if (i == items.size()) {
            if (exhausted) break;
            while (items.size() < std::min(i + batch, deque_items_shown)) {
                PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
                if (!item) {
                    if (PyErr_Occurred()) return text_of_failure(text);
                    exhausted = true;
                    break;
                }
                items.push_back(std::move(item));
            }
            if (i == items.size()) break;
        }
        if (i > 0) {
            text.add(", ");
            length += 2;
            if (length > repr_limit) return Outcome::ok;
        }
        PyRef repr = PyRef::steal(PyObject_Repr(items[i].get()));
        if (!repr) return text_of_failure(text);
        length += PyUnicode_GET_LENGTH(repr.get());
        text.add(std::move(repr));
        if (length > repr_limit) return Outcome::ok;
    }
    PyRef maxlen = PyRef::steal(PyObject_GetAttr(deque, interned.maxlen));
    if (!maxlen) return text_of_failure(text);
    if (maxlen.get() == Py_None) {
        text.add("])");
        return Outcome::ok;
    }
    Py_ssize_t bound = PyLong_AsSsize_t(maxlen.get());
    if (bound == -1 && PyErr_Occurred()) return text_of_failure(text);
    text.owned = "], maxlen=" + std::to_string(bound) + ")";
    text.add(text.owned);
    return Outcome::ok;
}

// Py_ReprLeave for a Py_ReprEnter that returned 0, however the repr ends.
class ReprEntered {
  public:
    explicit ReprEntered(PyObject* object) : object_(object) {}
    ~ReprEntered() { Py_ReprLeave(object_); }
    ReprEntered(const ReprEntered&) = delete;
    ReprEntered& operator=(const ReprEntered&) = delete;

  private:
    PyObject* object_;
};

Outcome deque_text(PyObject* deque, Text& text) {
    int entered = Py_ReprEnter(deque);
    if (entered < 0) return text_of_failure(text);
    if (entered > 0) {
        text.add("[...]");  // the deque inside its own repr, as the interpreter shows it
        return Outcome::ok;
    }
    ReprEntered leave(deque);
    return deque_items_text(deque, text);
}

Outcome repr_text(PyObject* value, Text& text) {
    auto deque = is_plain_deque(value);
    if (!deque.ok()) return Outcome::fatal;
    if (*deque) return deque_text(value, text);
    PyRef repr = PyRef::steal(PyObject_Repr(value));
    if (!repr) return text_of_failure(text);
    text.add(std::move(repr));
    return Outcome::ok;
}

// ---- reprlib's bounded repr of a container ----------------------------------------------------

// The reference's _BoundedRepr: reprlib.Repr with these bounds, and its repr_int and
// repr_instance made to give a text where reprlib's raise.
constexpr int bounded_level = 3;
constexpr Py_ssize_t bounded_string = repr_limit;
constexpr Py_ssize_t bounded_long = 60;
constexpr Py_ssize_t bounded_other = 60;
constexpr Py_ssize_t bounded_dict = 4;
constexpr Py_ssize_t bounded_items = 6;  // of a tuple, list, set, frozenset or deque
constexpr std::string_view fill = "...";

// Where s[start:] starts, start counted from the end when negative, as Python slices.
Py_ssize_t slice_start(Py_ssize_t start, Py_ssize_t length) {
    if (start < 0) start = std::max<Py_ssize_t>(start + length, 0);
    return std::min(start, length);
}

// The method reprlib's repr1 picks for a type, by its name: exact builtins are known at once.
enum class Method { tuple, list, deque, set, frozenset, dict, text, number, instance, python };

Method method_named(std::string_view name) {
    // "str", "int" and "array" name only a subclass or another type here: the reference is asked
    // (its methods slice, add and repr what they are given, however it does that).
    static constexpr std::pair<std::string_view, Method> methods[] = {
        {"tuple", Method::tuple}, {"list", Method::list},           {"deque", Method::deque},
        {"set", Method::set},     {"frozenset", Method::frozenset}, {"dict", Method::dict},
        {"str", Method::python},  {"int", Method::python},          {"array", Method::python},
    };
    for (const auto& [method_name, method] : methods) {
        if (name == method_name) return method;
    }
    return Method::instance;
}

Method method_of(PyTypeObject* type) {
    if (type == &PyLong_Type) return Method::number;
    if (type == &PyUnicode_Type) return Method::text;
    if (type == &PyList_Type) return Method::list;
    if (type == &PyTuple_Type) return Method::tuple;
    if (type == &PyDict_Type) return Method::dict;
    if (type == &PySet_Type) return Method::set;
    if (type == &PyFrozenSet_Type) return Method::frozenset;
    // type(x).__name__ is type's own descriptor unless a metaclass looks names up its own way.
    PyTypeObject* meta = Py_TYPE(type);
    if (meta != &PyType_Type && (meta->tp_getattro != PyType_Type.tp_getattro ||
                                 _PyType_Lookup(meta, interned.dunder_name) !=
                                     _PyType_Lookup(&PyType_Type, interned.dunder_name))) {
        return Method::python;
    }
    // A name with a space is split on any whitespace and joined again: left to the reference.
    std::string_view name;
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject* own = reinterpret_cast<PyHeapTypeObject*>(type)->ht_name;
        if (!PyUnicode_CheckExact(own)) return Method::python;
        if (!PyUnicode_IS_ASCII(own)) {
            // No builtin has such a name; one with a space is split and joined as reprlib does.
            Py_ssize_t space = PyUnicode_FindChar(own, ' ', 0, PyUnicode_GET_LENGTH(own), 1);
            return space == -1 ? Method::instance : Method::python;
        }
        name = std::string_view(static_cast<const char*>(PyUnicode_DATA(own)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(own)));
    } else {
        name = type->tp_name;
        if (auto dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
        if (std::any_of(name.begin(), name.end(), [](char c) { return (c & 0x80) != 0; })) {
            return Method::python;
        }
    }
    if (name.find(' ') != std::string_view::npos) return Method::python;
    return method_named(name);
}

// str() of a piece, as '%s' formats it.
PyRef as_str(PyRef piece) {
    if (PyUnicode_CheckExact(piece.get())) return piece;
    return PyRef::steal(PyObject_Str(piece.get()));
}

// The reference's _BoundedRepr, reprlib's methods in its order of calls, written as pieces of a
// text. Each method either adds its text, or gives an object of its own ("odd": what the
// reference's own repr1 or a str subclass's operators made) for its caller to format as the
// reference does. False with the exception set: it propagates up to the fallback map.
class BoundedRepr {
  public:
    explicit BoundedRepr(Text& text) : text_(text) {}

    // _bounded_container_repr: picked by base type, at the top only.
    bool container(PyObject* value) {
        if (PyDict_Check(value)) return dict(value, bounded_level);
        if (PyList_Check(value)) return iterable(value, bounded_level, "[", "]", false);
        if (PyTuple_Check(value)) return iterable(value, bounded_level, "(", ")", true);
        return set(value, bounded_level, !PyType_IsSubtype(Py_TYPE(value), &PySet_Type));
    }

  private:
    bool repr1(PyObject* x, int level, PyRef& odd) {
        switch (method_of(Py_TYPE(x))) {
            case Method::tuple:
                return iterable(x, level, "(", ")", true);
            case Method::list:
                return iterable(x, level, "[", "]", false);
            case Method::deque:
                return iterable(x, level, "deque([", "])", false);
            case Method::set:
                return set(x, level, false);
            case Method::frozenset:
                return set(x, level, true);
            case Method::dict:
                return dict(x, level);
            case Method::text:
                return text(x);
            case Method::number:
                return number(x);
            case Method::instance:
                return instance(x, odd);
            case Method::python:
                break;
        }
        PyRef bounded = module_attribute(interned.mod_vesk_serialize, interned.bounded_repr);
        PyRef level_object = bounded ? PyRef::steal(PyLong_FromLong(level)) : PyRef();
        if (!level_object) return false;
        odd = PyRef::steal(PyObject_CallMethodObjArgs(bounded.get(), interned.repr1, x,
                                                      level_object.get(), nullptr));
        return static_cast<bool>(odd);
    }

    // _repr_iterable, its pieces joined with ", ".
    bool iterable(PyObject* x, int level, std::string_view left, std::string_view right,
                  bool trail) {
        Py_ssize_t n = PyObject_Size(x);
        if (n < 0) return false;
        text_.add(left);
        if (level <= 0 && n > 0) {
            text_.add(fill);
            text_.add(right);
            return true;
        }
        Py_ssize_t shown = 0;
        bool joinable = true;  // join() fails on a piece that is not a str, once all are made
        auto piece = [&](PyObject* item) {
            if (shown++ > 0) text_.add(", ");
            PyRef odd;
            if (!repr1(item, level - 1, odd)) return false;
            if (odd && PyUnicode_Check(odd.get())) {
                text_.add(std::move(odd));
            } else if (odd) {
                joinable = false;
            }
            return true;
        };
        if (PyList_CheckExact(x) || PyTuple_CheckExact(x)) {
            // Its iterator reads the current size at each step: a repr may change a list.
            while (shown < bounded_items && shown < Py_SIZE(x)) {
                PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(x, shown));
                if (!piece(item.get())) return false;
            }
        } else {
            PyRef iterator = PyRef::steal(PyObject_GetIter(x));
            if (!iterator) return false;
            while (shown < bounded_items) {
                PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
                if (!item) {
                    if (PyErr_Occurred()) return false;
                    break;
                }
                if (!piece(item.get())) return false;
            }
        }
        if (n > bounded_items) {
            if (shown > 0) text_.add(", ");
            text_.add(fill);
        }
        if (!joinable) {
            PyErr_SetString(PyExc_TypeError, "sequence item: expected str instance");
            return false;
        }
        if (n == 1 && trail) text_.add(",");
        text_.add(right);
        return true;
    }

    bool set(PyObject* x, int level, bool frozen) {
        int truth = PyObject_IsTrue(x);
        if (truth < 0) return false;
        if (truth == 0) {
            text_.add(frozen ? "frozenset()" : "set()");
            return true;
        }
        PyRef items = possibly_sorted(x);
        if (!items) return false;
        return iterable(items.get(), level, frozen ? "frozenset({" : "{", frozen ? "})" : "}",
                        false);
    }

    bool dict(PyObject* x, int level) {
        Py_ssize_t n = PyObject_Size(x);
        if (n < 0) return false;
        if (n == 0 || level <= 0) {
            text_.add(n == 0 ? "{}" : "{...}");
            return true;
        }
        PyRef keys = possibly_sorted(x);
        if (!keys) return false;
        text_.add("{");
        Py_ssize_t shown = 0;
        for (; shown < bounded_dict && shown < PyList_GET_SIZE(keys.get()); ++shown) {
            if (shown > 0) text_.add(", ");
            PyRef key = PyRef::borrow(PyList_GET_ITEM(keys.get(), shown));
            PyRef key_odd;
            if (!repr1(key.get(), level - 1, key_odd)) return false;
            // '%s: %s' takes str() of both reprs once both are made: a place is kept for it.
            std::size_t key_at = text_.pieces.size();
            if (key_odd) text_.add("");
            PyRef value = PyRef::steal(PyObject_GetItem(x, key.get()));
            if (!value) return false;
            text_.add(": ");
            PyRef value_odd;
            if (is_secret_key(key.get())) {
                if (!redacted(value.get())) return false;
            } else if (!repr1(value.get(), level - 1, value_odd)) {
                return false;
            }
            if (key_odd) {
                PyRef key_text = as_str(std::move(key_odd));
                if (!key_text) return false;
                text_.pieces[key_at] = Piece{{}, key_text.get()};
                text_.hold(std::move(key_text));
            }
            if (value_odd) {
                PyRef value_text = as_str(std::move(value_odd));
                if (!value_text) return false;
                text_.add(std::move(value_text));
            }
        }
        if (n > bounded_dict) {
            if (shown > 0) text_.add(", ");
            text_.add(fill);
        }
        text_.add("}");
        return true;
    }

    // sorted(x), or list(x) when sorting raised.
    static PyRef possibly_sorted(PyObject* x) {
        PyRef items = PyRef::steal(PySequence_List(x));
        if (items && PyList_Sort(items.get()) == 0) return items;
        if (must_propagate(PyErr_Occurred())) return {};
        PyErr_Clear();
        return PyRef::steal(PySequence_List(x));
    }

    // An ASCII str kept whole up to `limit` characters, else its ends around "...".
    void add_ascii_cut(PyRef s, Py_ssize_t limit) {
        std::string_view chars(static_cast<const char*>(PyUnicode_DATA(s.get())),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(s.get())));
        text_.hold(std::move(s));
        if (static_cast<Py_ssize_t>(chars.size()) <= limit) {
            text_.add(chars);
            return;
        }
        auto i = static_cast<std::size_t>((limit - 3) / 2);
        auto j = static_cast<std::size_t>(limit - 3) - i;
        text_.add(chars.substr(0, i));
        text_.add(fill);
        text_.add(chars.substr(chars.size() - j));
    }

    // The same for any exact str.
    bool add_cut(PyRef s, Py_ssize_t limit) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(s.get());
        if (length <= limit) {
            text_.add(std::move(s));
            return true;
        }
        if (PyUnicode_IS_ASCII(s.get())) {
            add_ascii_cut(std::move(s), limit);
            return true;
        }
        Py_ssize_t i = (limit - 3) / 2;
        Py_ssize_t j = limit - 3 - i;
        PyRef head = PyRef::steal(PyUnicode_Substring(s.get(), 0, i));
        PyRef tail =
            head ? PyRef::steal(PyUnicode_Substring(s.get(), length - j, length)) : PyRef();
        if (!tail) return false;
        text_.add(std::move(head));
        text_.add(fill);
        text_.add(std::move(tail));
        return true;
    }

    // A secret's marker text, as repr_instance shows the reference's stand-in for it: rare
    // enough to ask the reference for the text.
    bool redacted(PyObject* x) {
        PyRef function = module_attribute(interned.mod_vesk_serialize, interned.redacted_text);
        PyRef s = function ? PyRef::steal(PyObject_CallOneArg(function.get(), x)) : PyRef();
        if (!s) return false;
        if (!PyUnicode_CheckExact(s.get())) {
            PyErr_SetString(PyExc_TypeError, "a marker's text must be a str");
            return false;
        }
        return add_cut(std::move(s), bounded_other);
    }

    // repr_str of an exact str.
    bool text(PyObject* x) {
        if (looks_secret(x)) {
            text_.add_copy("<redacted str, " + std::to_string(PyUnicode_GET_LENGTH(x)) + " chars>");
            return true;
        }
        Py_ssize_t length = PyUnicode_GET_LENGTH(x);
        PyRef head = length <= bounded_string
                         ? PyRef::borrow(x)
                         : PyRef::steal(PyUnicode_Substring(x, 0, bounded_string));
        PyRef s = head ? PyRef::steal(PyUnicode_Type.tp_repr(head.get())) : PyRef();
        if (!s) return false;
        if (PyUnicode_GET_LENGTH(s.get()) <= bounded_string) {
            text_.add(std::move(s));
            return true;
        }
        // Too long once escaped: the repr of both ends of the str, cut in its middle.
        constexpr Py_ssize_t i = (bounded_string - 3) / 2;
        constexpr Py_ssize_t j = bounded_string - 3 - i;
        PyRef start = PyRef::steal(PyUnicode_Substring(x, 0, i));
        PyRef end =
            start ? PyRef::steal(PyUnicode_Substring(x, slice_start(length - j, length), length))
                  : PyRef();
        PyRef ends = end ? PyRef::steal(PyUnicode_Concat(start.get(), end.get())) : PyRef();
        PyRef quoted = ends ? PyRef::steal(PyUnicode_Type.tp_repr(ends.get())) : PyRef();
        if (!quoted) return false;
        Py_ssize_t quoted_length = PyUnicode_GET_LENGTH(quoted.get());
        PyRef quoted_start = PyRef::steal(PyUnicode_Substring(quoted.get(), 0, i));
        PyRef quoted_end =
            quoted_start
                ? PyRef::steal(PyUnicode_Substring(
                      quoted.get(), slice_start(quoted_length - j, quoted_length), quoted_length))
                : PyRef();
        if (!quoted_end) return false;
        text_.add(std::move(quoted_start));
        text_.add(fill);
        text_.add(std::move(quoted_end));
        return true;
    }

    // repr_int of an exact int.
    bool number(PyObject* x) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (overflow == 0) {
            char digits[24];
            auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
            text_.add_copy(std::string_view(digits, static_cast<std::size_t>(end - digits)));
            return true;
        }
        PyRef s = PyRef::steal(PyLong_Type.tp_repr(x));
        if (!s) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
            // Beyond the interpreter's limit on digits converted.
            PyErr_Clear();
            text_.add_copy("<int of " + std::to_string(_PyLong_NumBits(x)) + " bits>");
            return true;
        }
        add_ascii_cut(std::move(s), bounded_long);
        return true;
    }

    // _BoundedRepr.repr_instance: reprlib's, and the text of what that raised.
    bool instance(PyObject* x, PyRef& odd) {
        std::size_t start = text_.pieces.size();
        if (reprlib_instance(x, odd)) return true;
        PyRef exception = take_ordinary();
        if (!exception) return false;
        odd.reset();
        text_.pieces.resize(start);
        text_.add("<repr() raised ");
        if (!add_type_name(Py_TYPE(exception.get()), text_)) return false;
        text_.add(">");
        return true;
    }

    bool reprlib_instance(PyObject* x, PyRef& odd) {
        PyRef s = PyRef::steal(PyObject_Repr(x));
        if (!s) {
            if (must_propagate(PyErr_Occurred())) return false;
            PyErr_Clear();
            // '<%s instance at %#x>' % (x.__class__.__name__, id(x))
            PyRef type = PyRef::steal(PyObject_GetAttr(x, interned.dunder_class));
            PyRef name =
                type ? PyRef::steal(PyObject_GetAttr(type.get(), interned.dunder_name)) : PyRef();
            PyRef name_text = name ? as_str(std::move(name)) : PyRef();
            if (!name_text) return false;
            char address[2 + 2 * sizeof(void*)];
            auto end = std::to_chars(address, address + sizeof address,
                                     reinterpret_cast<std::uintptr_t>(x), 16)
                           .ptr;
            text_.add("<");
            text_.add(std::move(name_text));
            text_.add(" instance at 0x");
            text_.add_copy(std::string_view(address, static_cast<std::size_t>(end - address)));
            text_.add(">");
            return true;
        }
        if (PyUnicode_CheckExact(s.get())) return add_cut(std::move(s), bounded_other);
        // A str subclass: its own len(), slicing and + make the text, which may not be a str.
        Py_ssize_t length = PyObject_Size(s.get());
        if (length < 0) return false;
        if (length <= bounded_other) {
            odd = std::move(s);
            return true;
        }
        constexpr Py_ssize_t i = (bounded_other - 3) / 2;
        constexpr Py_ssize_t j = bounded_other - 3 - i;
        auto slice_from = [&](PyObject* start, PyObject* stop) -> PyRef {
            PyRef slice = PyRef::steal(PySlice_New(start, stop, nullptr));
            return slice ? PyRef::steal(PyObject_GetItem(s.get(), slice.get())) : PyRef();
        };
        PyRef stop = PyRef::steal(PyLong_FromSsize_t(i));
        PyRef head = stop ? slice_from(Py_None, stop.get()) : PyRef();
        PyRef dots = head ? PyRef::steal(PyUnicode_FromStringAndSize(fill.data(), 3)) : PyRef();
        PyRef left = dots ? PyRef::steal(PyNumber_Add(head.get(), dots.get())) : PyRef();
        if (!left) return false;
        length = PyObject_Size(s.get());
        if (length < 0) return false;
        PyRef start = PyRef::steal(PyLong_FromSsize_t(length - j));
        PyRef tail = start ? slice_from(start.get(), Py_None) : PyRef();
        odd = tail ? PyRef::steal(PyNumber_Add(left.get(), tail.get())) : PyRef();
        return static_cast<bool>(odd);
    }

    Text& text_;
};

// _bounded_container_repr(value) as the reference's _fallback takes it.
Outcome bounded_container_text(PyObject* value, Text& text) {
    if (BoundedRepr(text).container(value)) return Outcome::ok;
    return text_of_failure(text);
}

bool is_container_type(PyTypeObject* type) {
    return PyType_FastSubclass(type, Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
                                         Py_TPFLAGS_TUPLE_SUBCLASS) ||
           PyType_IsSubtype(type, &PySet_Type) || PyType_IsSubtype(type, &PyFrozenSet_Type);
}

// {"__type__": <name of type>, "__repr__": <text, clipped>}.
Outcome put_fallback_map(std::string& out, PyTypeObject* type, const Text& text) {
    auto known = known_type(type);
    if (!known.ok()) return Outcome::fatal;
    if (*known != nullptr) {
        out.append((*known)->map_head);
    } else {
        Text name;
        if (!add_type_name(type, name)) return Outcome::fatal;
        Sink sink{out};
        write_map_len(sink, 2);
        write_str(sink, "__type__");
        put_text(out, name.pieces, -1);
        write_str(sink, "__repr__");
    }
    put_text(out, text.pieces, repr_limit);
    return Outcome::ok;
}

// The fallback map of an object whose type keeps object.__repr__ and has instances_fall_back,
// with the text that repr gives ("<module.qualname object at 0x...>", or tp_name in place of
// both) written without running it; false when this way does not apply, and the caller takes
// the general one.
Fallible<bool> put_ordinary_fallback(std::string& out, PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type->tp_repr != PyBaseObject_Type.tp_repr) return false;
    auto known = known_type(type);
    if (!known.ok()) return failed;
    if (*known == nullptr || !(*known)->instances_fall_back) return false;
    const KnownType& facts = **known;
    std::string_view name = facts.repr_name;
    auto name_length = facts.repr_name_length;
    if (name.empty()) {
        // Decoded as UTF-8 by the repr, "replace"-ing what is not: only ASCII is taken here.
        name = type->tp_name;
        if (std::any_of(name.begin(), name.end(), [](char c) { return (c & 0x80) != 0; })) {
            return false;
        }
        name_length = static_cast<Py_ssize_t>(name.size());
    }
    // The address as the interpreter's %p gives it: 0x and lowercase digits, no padding.
    auto address = reinterpret_cast<std::uintptr_t>(value);
    auto digits =
        std::max<std::size_t>(1, (static_cast<std::size_t>(std::bit_width(address)) + 3) / 4);
    constexpr std::string_view middle = " object at 0x";
    const std::size_t tail = middle.size() + digits + 1;
    if (name_length + 1 + static_cast<Py_ssize_t>(tail) > repr_limit) return false;  // clipped
    const std::size_t text_size = 1 + name.size() + tail;
    // Written at once: this is most of the cost of the many fallback maps of a typical program.
    char header[5];
    std::size_t header_size = str_header(header, text_size);
    std::size_t at = out.size();
    out.resize(at + facts.map_head.size() + header_size + text_size);
    char* cursor = out.data() + at;
    auto copy = [&cursor](std::string_view part) {
        std::memcpy(cursor, part.data(), part.size());
        cursor += part.size();
    };
    copy(facts.map_head);
    copy(std::string_view(header, header_size));
    *cursor++ = '<';
    copy(name);
    copy(middle);
    static constexpr char hex[] = "0123456789abcdef";
    for (std::size_t i = digits; i > 0; --i) *cursor++ = hex[(address >> (4 * (i - 1))) & 0xf];
    *cursor = '>';
    return true;
}

// _fallback(value, text): `type` is the type named (the reference names an int it has already
// converted to a plain int as int); `given` is a text decided beforehand.
Outcome put_fallback(std::string& out, PyObject* value, PyTypeObject* type,
                     std::string_view given = {}) {
    if (given.empty() && type == Py_TYPE(value)) {
        auto written = put_ordinary_fallback(out, value);
        if (!written.ok()) return Outcome::fatal;
        if (*written) return Outcome::ok;
    }
    Text text;
    Outcome outcome = Outcome::ok;
    if (!given.empty()) {
        text.add(given);
    } else if (PyLong_Check(value)) {
        outcome = int_text(value, text);
    } else if (is_container_type(Py_TYPE(value))) {
        outcome = bounded_container_text(value, text);
    } else {
        outcome = repr_text(value, text);
    }
    if (outcome != Outcome::ok) return outcome;
    return put_fallback_map(out, type, text);
}

// _pack_fallback: the last resort of both forms.
Outcome put_last_resort(std::string& out, PyObject* value) {
    std::size_t start = out.size();
    Outcome outcome = put_fallback(out, value, Py_TYPE(value));
    if (outcome != Outcome::failed) return outcome;
    out.resize(start);
    return put_fallback(out, value, Py_TYPE(value), "<unserialisable>");
}

// ---- Containers -------------------------------------------------------------------------------

// The containers being written, outermost first. Every walk bounds its depth, hence the fixed
// capacity.
template <std::size_t Capacity>
class Path {
  public:
    void push(PyObject* container) {
        if (size_ == Capacity) internal_fault("a value nests deeper than its walk allows");
        items_[size_++] = container;
    }
    void pop() noexcept { --size_; }
    std::size_t size() const noexcept { return size_; }
    PyObject* operator[](std::size_t index) const noexcept { return items_[index]; }
    bool contains(PyObject* container) const noexcept {
        return std::find(items_.begin(), items_.begin() + size_, container) !=
               items_.begin() + size_;
    }
    std::span<PyObject* const> view() const noexcept { return {items_.data(), size_}; }

  private:
    std::array<PyObject*, Capacity> items_;
    std::size_t size_ = 0;
};

bool is_sequence_or_set(PyObject* value) {
    return PyList_Check(value) || PyTuple_Check(value) || PyAnySet_Check(value);
}

// What len() of the base type gives.
Py_ssize_t base_length(PyObject* container) {
    if (PyDict_Check(container)) return PyDict_GET_SIZE(container);
    if (PyAnySet_Check(container)) return PySet_GET_SIZE(container);
    return Py_SIZE(container);
}

// dict.items(d) iterated as the interpreter's iterator does it: a change of size, or more items
// than there were, is a RuntimeError.
class DictItems {
  public:
    explicit DictItems(PyObject* dict) : dict_(dict), used_(PyDict_GET_SIZE(dict)), left_(used_) {}

    // 1 with the item, 0 at the end, -1 with the RuntimeError set.
    int next(PyRef& key, PyRef& value) {
        if (done_) return 0;
        if (PyDict_GET_SIZE(dict_) != used_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        PyObject* k;
        PyObject* v;
        if (!PyDict_Next(dict_, &position_, &k, &v)) {
            done_ = true;
            return 0;
        }
        if (left_ == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        --left_;
        key = PyRef::borrow(k);
        value = PyRef::borrow(v);
        return 1;
    }

  private:
    PyObject* dict_;
    Py_ssize_t used_;
    Py_ssize_t left_;
    Py_ssize_t position_ = 0;
    bool done_ = false;
};

void rewrite_header(std::string& out, std::size_t at, bool map, std::size_t old_count,
                    std::size_t new_count) {
    out.replace(at, container_header(map, old_count).size(), container_header(map, new_count));
}

// Where one key and its value were written.
struct Entry {
    std::size_t key_at;
    std::size_t value_at;
    std::size_t end;
};

std::uint64_t read_big_endian(const char* bytes, int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// The written key as the value the reference's copy held, to find keys that became equal; null
// and no error for arrays and maps, which the reference wraps so that they never compare equal.
PyRef key_value(std::string_view bytes) {
    auto tag = static_cast<unsigned char>(bytes[0]);
    const char* body = bytes.data() + 1;
    if (tag <= 0x7f) return PyRef::steal(PyLong_FromLong(tag));
    if (tag >= 0xe0) return PyRef::steal(PyLong_FromLong(static_cast<signed char>(tag)));
    if ((tag & 0xe0) == 0xa0) return PyRef::steal(PyUnicode_DecodeUTF8(body, tag & 0x1f, nullptr));
    auto sized = [&](int width, bool text) {
        auto size = static_cast<Py_ssize_t>(read_big_endian(body, width));
        return text ? PyRef::steal(PyUnicode_DecodeUTF8(body + width, size, nullptr))
                    : PyRef::steal(PyBytes_FromStringAndSize(body + width, size));
    };
    switch (tag) {
        case 0xc0:
            return PyRef::borrow(Py_None);
        case 0xc2:
            return PyRef::borrow(Py_False);
        case 0xc3:
            return PyRef::borrow(Py_True);
        case 0xcb:
            return PyRef::steal(
                PyFloat_FromDouble(std::bit_cast<double>(read_big_endian(body, 8))));
        case 0xcc:
        case 0xcd:
        case 0xce:
        case 0xcf:
            return PyRef::steal(
                PyLong_FromUnsignedLongLong(read_big_endian(body, 1 << (tag - 0xcc))));
        case 0xd0:
            return PyRef::steal(PyLong_FromLong(static_cast<std::int8_t>(body[0])));
        case 0xd1:
            return PyRef::steal(
                PyLong_FromLong(static_cast<std::int16_t>(read_big_endian(body, 2))));
        case 0xd2:
            return PyRef::steal(
                PyLong_FromLong(static_cast<std::int32_t>(read_big_endian(body, 4))));
        case 0xd3:
            return PyRef::steal(
                PyLong_FromLongLong(static_cast<std::int64_t>(read_big_endian(body, 8))));
        case 0xd9:
            return sized(1, true);
        case 0xda:
            return sized(2, true);
        case 0xdb:
            return sized(4, true);
        case 0xc4:
            return sized(1, false);
        case 0xc5:
            return sized(2, false);
        case 0xc6:
            return sized(4, false);
        default:
            return {};
    }
}

// A key whose copy may equal another key's copy though the keys differ: escaped surrogates, and
// subclasses of scalars, whose equality may be their own.
bool key_may_merge(PyObject* key, bool escaped) {
    if (escaped) return true;
    PyTypeObject* type = Py_TYPE(key);
    if (type == &PyUnicode_Type || type == &PyLong_Type) return false;  // the usual keys
    if (PyMemoryView_Check(key)) return true;
    return (PyUnicode_Check(key) && type != &PyUnicode_Type) ||
           (PyLong_Check(key) && type != &PyLong_Type && type != &PyBool_Type) ||
           (PyFloat_Check(key) && type != &PyFloat_Type) ||
           (PyBytes_Check(key) && type != &PyBytes_Type) || PyByteArray_Check(key);
}

// Ends a map whose header at `header_at` announced `announced` entries. The reference builds the
// copy as a dict: keys whose copies are equal are one entry, at the first one's place, with the
// last one's value. Only done when such keys were met.
Outcome finish_map(std::string& out, std::size_t header_at, std::size_t announced,
                   std::span<const Entry> entries, bool may_merge) {
    std::size_t count = entries.size();
    // Allocated only when keys may merge: a map of the usual keys is done at once.
    std::vector<std::size_t> value_of;
    std::vector<bool> merged;
    if (may_merge) {
        value_of.resize(count);
        merged.assign(count, false);
        PyRef seen = PyRef::steal(PyDict_New());
        if (!seen) return failure();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            value_of[i] = i;
            const Entry& entry = entries[i];
            PyRef key = key_value(
                std::string_view(out).substr(entry.key_at, entry.value_at - entry.key_at));
            if (!key) {
                if (PyErr_Occurred()) return failure();
                continue;
            }
            PyObject* first = PyDict_GetItemWithError(seen.get(), key.get());
            if (first != nullptr) {
                value_of[PyLong_AsSize_t(first)] = i;
                merged[i] = true;
                --count;
                continue;
            }
            if (PyErr_Occurred()) return failure();
            PyRef index = PyRef::steal(PyLong_FromSize_t(i));
            if (!index || PyDict_SetItem(seen.get(), key.get(), index.get()) < 0) {
                return failure();
            }
        }
    }
    if (count == entries.size()) {
        if (count != announced) rewrite_header(out, header_at, true, announced, count);
        return Outcome::ok;
    }
    std::string map = container_header(true, count);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (merged[i]) continue;
        const Entry& key = entries[i];
        const Entry& value = entries[value_of[i]];
        map.append(out, key.key_at, key.value_at - key.key_at);
        map.append(out, value.value_at, value.end - value.value_at);
    }
    out.replace(header_at, out.size() - header_at, map);
    return Outcome::ok;
}

// ---- The fast path of the full form: msgpack's Packer with the reference's default hook ------

// Values whose packing runs no interpreter code.
bool runs_no_code(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyBool_Type || type == &PyLong_Type ||
           type == &PyFloat_Type || type == &PyUnicode_Type || type == &PyBytes_Type;
}

class Packer {
  public:
    Packer(std::string& out, std::size_t limit_end) : out_(out), limit_end_(limit_end) {}

    // The reference packs a value that holds a secret by its copy, which redacts. The packer
    // writes the copy's markers where the copy would, and its bytes are the copy's as long as
    // the value is made of what both write alike: when it met anything else as well, the
    // outcome is failed, and the caller takes the copy's way.
    Outcome finished(Outcome outcome) const {
        return redacted_ && unlike_copy_ && outcome != Outcome::fatal ? Outcome::failed : outcome;
    }

    // _pack({name: value, ...}) of an exact dict holding these pairs, without the dict.
    Outcome pack_pairs(std::span<const LocalVariable> pairs) {
        const int nest = packer_nest_limit - 1;  // what pack() hands a dict's items
        Sink sink{out_};
        write_map_len(sink, checked_length(pairs.size()));
        for (const LocalVariable& pair : pairs) {
            Outcome outcome = pack(pair.name, nest);
            if (outcome == Outcome::ok) outcome = pack_item(pair.name, pair.value.get(), nest);
            if (outcome != Outcome::ok) return outcome;
        }
        return out_.size() > limit_end_ ? over_limit() : Outcome::ok;
    }

    // _pack(value, nest_limit).
    Outcome pack(PyObject* value, int nest) {
        if (nest < 0) return Outcome::failed;  // "recursion limit exceeded"
        --nest;
        Outcome outcome = pack_inner(value, true, nest);
        if (outcome == Outcome::needs_default) outcome = pack_default(value, nest);
        if (outcome == Outcome::ok && out_.size() > limit_end_) return over_limit();
        return outcome;
    }

  private:
    using PackerPath = Path<packer_nest_limit + 1>;

    // A dict's value, or its marker when its key names a secret.
    Outcome pack_item(PyObject* key, PyObject* value, int nest) {
        if (!is_secret_key(key)) return pack(value, nest);
        redacted_ = true;
        Outcome outcome = put_marker(out_, value);
        if (outcome == Outcome::ok && out_.size() > limit_end_) return over_limit();
        return outcome;
    }

    // The copy stops at max_depth, where a container becomes its fallback map.
    void entering_container() {
        if (path_.size() + 1 >= static_cast<std::size_t>(max_depth)) unlike_copy_ = true;
    }

    // A container on the current path while it is packed.
    class Entered {
      public:
        Entered(PackerPath& path, PyObject* container) : path_(path) {
            // The packer follows a cycle until its nest limit and fails: fail at once. Comparing
            // with the container at the last power-of-two depth finds any cycle on the path
            // within twice its length, at a constant cost per container.
            std::size_t depth = path.size();
            cycle_ = depth > 0 && path[std::bit_floor(depth) - 1] == container;
            path.push(container);
        }
        ~Entered() { path_.pop(); }
        Entered(const Entered&) = delete;
        Entered& operator=(const Entered&) = delete;
        bool cycle() const noexcept { return cycle_; }

      private:
        PackerPath& path_;
        bool cycle_;
    };

    // Past the bound. A path that holds a container twice is a cycle the packer would follow
    // until it fails: the reference's outcome is then the cleaner's.
    Outcome over_limit() const {
        std::vector<PyObject*> path(path_.view().begin(), path_.view().end());
        std::sort(path.begin(), path.end());
        return std::adjacent_find(path.begin(), path.end()) != path.end() ? Outcome::failed
                                                                          : Outcome::too_large;
    }

    bool fits(std::size_t size) const { return out_.size() + size <= limit_end_; }

    Outcome pack_inner(PyObject* value, bool will_default, int nest) {
        Sink sink{out_};
        // Exact builtins first: only one of the packer's branches can take them, and the
        // subclass checks below cost more than the packing of a small value.
        PyTypeObject* type = Py_TYPE(value);
        if (type == &PyUnicode_Type) return pack_str(value);
        if (type == &PyLong_Type) return pack_int(value, will_default);
        if (type == &PyDict_Type) return pack_dict(value, nest);
        if (type == &PyList_Type || type == &PyTuple_Type) return pack_sequence(value, nest);
        if (type == &PyFloat_Type) {
            write_f64(sink, PyFloat_AS_DOUBLE(value));
            return Outcome::ok;
        }
        if (value == Py_None) {
            write_nil(sink);
            return Outcome::ok;
        }
        if (value == Py_True || value == Py_False) {
            write_bool(sink, value == Py_True);
            return Outcome::ok;
        }
        // Most other values are instances of classes that keep object's repr: what follows would
        // pass them over to the default hook, which writes their fallback map.
        if (will_default && std::strcmp(type->tp_name, "Timestamp") != 0) {
            auto written = put_ordinary_fallback(out_, value);
            if (!written.ok()) return Outcome::fatal;
            // Its two strs are one level deeper than the map.
            if (*written) return nest < 0 ? Outcome::failed : Outcome::ok;
        }
        // Subclasses of builtins, extension types, memoryviews and sets the copy writes its own
        // way; other objects become the same fallback maps.
        if (type != &PyBytes_Type &&
            (PyLong_Check(value) || PyFloat_Check(value) || PyBytes_Check(value) ||
             PyByteArray_Check(value) || PyUnicode_Check(value) || PyDict_Check(value) ||
             PyList_Check(value) || PyTuple_Check(value) || PyAnySet_Check(value) ||
             PyMemoryView_Check(value))) {
            unlike_copy_ = true;
        }
        if (PyLong_Check(value)) return pack_int(value, will_default);
        if (PyFloat_Check(value)) {
            write_f64(sink, PyFloat_AS_DOUBLE(value));
            return Outcome::ok;
        }
        if (PyBytes_Check(value) || PyByteArray_Check(value)) {
            auto size = static_cast<std::size_t>(Py_SIZE(value));
            if (size > item_limit) return Outcome::failed;
            if (!fits(size)) return over_limit();
            put_bin(out_,
                    PyBytes_Check(value) ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value),
                    size);
            return Outcome::ok;
        }
        if (PyUnicode_Check(value)) return pack_str(value);
        if (PyDict_Check(value)) return pack_dict(value, nest);
        if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value) &&
            !PyAnySet_CheckExact(value) && !PyMemoryView_Check(value)) {
            if (!cannot_be_ext_type(Py_TYPE(value))) {
                if (!look_up_classes()) return failure();
                int is_ext = PyObject_IsInstance(value, ext_type_.get());
                if (is_ext < 0) return failure();
                if (is_ext) return pack_ext(value);
            }
            if (std::strcmp(Py_TYPE(value)->tp_name, "Timestamp") == 0) {
                if (!look_up_classes()) return failure();
                if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == timestamp_type_.get()) {
                    return pack_timestamp(value);
                }
            }
        }
        if (PyList_Check(value) || PyTuple_Check(value)) return pack_sequence(value, nest);
        if (PyMemoryView_Check(value)) return pack_memoryview(value);
        return will_default ? Outcome::needs_default : Outcome::failed;
    }

    bool look_up_classes() {
        if (!ext_type_) ext_type_ = module_attribute(interned.mod_msgpack_ext, interned.ext_type);
        if (ext_type_ && !timestamp_type_) {
            timestamp_type_ = module_attribute(interned.mod_msgpack_ext, interned.timestamp_type);
        }
        return ext_type_ && timestamp_type_;
    }

    Outcome int_failure(bool will_default) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return failure();
        PyErr_Clear();
        return will_default ? Outcome::needs_default : Outcome::failed;
    }

    Outcome pack_int(PyObject* value, bool will_default) {
        Sink sink{out_};
        bool positive;
        if (PyLong_CheckExact(value)) {
            auto* number_object = reinterpret_cast<PyLongObject*>(value);
            if (PyUnstable_Long_IsCompact(number_object)) {
                write_int(sink, PyUnstable_Long_CompactValue(number_object));
                return Outcome::ok;
            }
            int overflow = 0;
            long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow == 0) {
                write_int(sink, number);
                return Outcome::ok;
            }
            positive = overflow > 0;
        } else {
            // A subclass's own comparison decides the form, as `o > 0` does in the packer.
            PyRef zero = PyRef::steal(PyLong_FromLong(0));
            if (!zero) return failure();
            PyRef greater = PyRef::steal(PyObject_RichCompare(value, zero.get(), Py_GT));
            int truth = greater ? PyObject_IsTrue(greater.get()) : -1;
            if (truth < 0) return int_failure(will_default);
            positive = truth == 1;
        }
        if (positive) {
            unsigned long long number = PyLong_AsUnsignedLongLong(value);
            if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                return int_failure(will_default);
            }
            write_uint(sink, number);
        } else {
            long long number = PyLong_AsLongLong(value);
            if (number == -1 && PyErr_Occurred()) return int_failure(will_default);
            write_int(sink, number);
        }
        return Outcome::ok;
    }

    Outcome pack_str(PyObject* value) {
        if (looks_secret(value)) {
            redacted_ = true;
            return put_marker(out_, value);
        }
        Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        TextSize size = measure(value, length);
        if (size.surrogates) return Outcome::failed;  // UnicodeEncodeError
        if (size.bytes > item_limit) return Outcome::failed;
        if (!fits(size.bytes)) return over_limit();
        put_str(out_, value, length, size.bytes);
        return Outcome::ok;
    }

    Outcome pack_dict(PyObject* dict, int nest) {
        entering_container();
        Entered entered(path_, dict);
        if (entered.cycle()) return Outcome::failed;
        Sink sink{out_};
        if (PyDict_CheckExact(dict)) {
            Py_ssize_t size = PyDict_GET_SIZE(dict);
            write_map_len(sink, checked_length(static_cast<std::size_t>(size)));
            Py_ssize_t position = 0;
            PyObject* k;
            PyObject* v;
            while (true) {
                if (PyDict_GET_SIZE(dict) != size) return Outcome::failed;  // changed size
                if (!PyDict_Next(dict, &position, &k, &v)) return Outcome::ok;
                PyRef key = PyRef::borrow(k);
                PyRef value = PyRef::borrow(v);
                Outcome outcome = pack(key.get(), nest);
                if (outcome == Outcome::ok) outcome = pack_item(key.get(), value.get(), nest);
                if (outcome != Outcome::ok) return outcome;
            }
        }
        // A subclass: its own len() and items(), as the packer calls them.
        Py_ssize_t size = PyObject_Length(dict);
        if (size < 0) return failure();
        if (static_cast<std::size_t>(size) > item_limit) return Outcome::failed;
        write_map_len(sink, static_cast<std::uint32_t>(size));
        PyRef items = PyRef::steal(PyObject_CallMethodNoArgs(dict, interned.items));
        if (!items) return failure();
        if (PyList_CheckExact(items.get()) || PyTuple_CheckExact(items.get())) {
            for (Py_ssize_t i = 0; i < Py_SIZE(items.get()); ++i) {
                PyRef pair = PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
                Outcome outcome = pack_pair(pair.get(), nest);
                if (outcome != Outcome::ok) return outcome;
            }
            return Outcome::ok;
        }
        PyRef iterator = PyRef::steal(PyObject_GetIter(items.get()));
        if (!iterator) return failure();
        while (PyRef pair = PyRef::steal(PyIter_Next(iterator.get()))) {
            Outcome outcome = pack_pair(pair.get(), nest);
            if (outcome != Outcome::ok) return outcome;
        }
        return PyErr_Occurred() ? failure() : Outcome::ok;
    }

    // `for k, v in items`: a tuple must hold two items; anything else is iterated for two.
    Outcome pack_pair(PyObject* pair, int nest) {
        PyRef key;
        PyRef value;
        if (PyTuple_Check(pair)) {
            if (PyTuple_GET_SIZE(pair) != 2) return Outcome::failed;
            key = PyRef::borrow(PyTuple_GET_ITEM(pair, 0));
            value = PyRef::borrow(PyTuple_GET_ITEM(pair, 1));
        } else {
            PyRef iterator = PyRef::steal(PyObject_GetIter(pair));
            if (!iterator) return failure();
            key = PyRef::steal(PyIter_Next(iterator.get()));
            if (key) value = PyRef::steal(PyIter_Next(iterator.get()));
            if (!value) return PyErr_Occurred() ? failure() : Outcome::failed;
            PyRef extra = PyRef::steal(PyIter_Next(iterator.get()));
            if (extra) return Outcome::failed;
            if (PyErr_Occurred()) return failure();
        }
        Outcome outcome = pack(key.get(), nest);
        if (outcome != Outcome::ok) return outcome;
        return pack_item(key.get(), value.get(), nest);
    }

    Outcome pack_sequence(PyObject* sequence, int nest) {
        entering_container();
        Entered entered(path_, sequence);
        if (entered.cycle()) return Outcome::failed;
        Sink sink{out_};
        auto size = static_cast<std::size_t>(Py_SIZE(sequence));
        if (size > item_limit) return Outcome::failed;
        write_array_len(sink, static_cast<std::uint32_t>(size));
        if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
            // Up to the current size at each step: a list may change while its items are packed.
            for (Py_ssize_t i = 0; i < Py_SIZE(sequence); ++i) {
                PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(sequence, i));
                Outcome outcome = pack(item.get(), nest);
                if (outcome != Outcome::ok) return outcome;
            }
            return Outcome::ok;
        }
        // A subclass is iterated as it iterates itself.
        PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
        if (!iterator) return failure();
        while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
            Outcome outcome = pack(item.get(), nest);
            if (outcome != Outcome::ok) return outcome;
        }
        return PyErr_Occurred() ? failure() : Outcome::ok;
    }

    Outcome pack_memoryview(PyObject* view_object) {
        struct Buffer {
            Py_buffer view;
            ~Buffer() { PyBuffer_Release(&view); }
        } buffer;
        if (PyObject_GetBuffer(view_object, &buffer.view, PyBUF_SIMPLE) < 0) {
            buffer.view.obj = nullptr;  // nothing to release
            return failure();
        }
        auto size = static_cast<std::size_t>(buffer.view.len);
        if (size > item_limit) return Outcome::failed;
        if (!fits(size)) return over_limit();
        put_bin(out_, static_cast<const char*>(buffer.view.buf), size);
        return Outcome::ok;
    }

    Outcome pack_ext(PyObject* ext) {
        PyRef data = PyRef::steal(PyObject_GetAttr(ext, interned.data));
        if (!data) return failure();
        const char* bytes;
        std::size_t available;
        if (PyByteArray_Check(data.get())) {
            bytes = PyByteArray_AS_STRING(data.get());
            available = static_cast<std::size_t>(PyByteArray_GET_SIZE(data.get()));
        } else if (PyBytes_Check(data.get())) {
            bytes = PyBytes_AS_STRING(data.get());
            available = static_cast<std::size_t>(PyBytes_GET_SIZE(data.get()));
        } else {
            return Outcome::failed;  // TypeError: not bytes
        }
        PyRef data_again = PyRef::steal(PyObject_GetAttr(ext, interned.data));
        Py_ssize_t length = data_again ? PyObject_Length(data_again.get()) : -1;
        if (length < 0) return failure();
        if (static_cast<std::size_t>(length) > item_limit) return Outcome::failed;
        PyRef code_object = PyRef::steal(PyObject_GetAttr(ext, interned.code));
        long code = code_object ? PyLong_AsLong(code_object.get()) : -1;
        if (code == -1 && PyErr_Occurred()) return failure();
        // The packer writes `length` bytes from the first object: only equal sizes are defined.
        if (static_cast<std::size_t>(length) != available) return Outcome::failed;
        if (!fits(available)) return over_limit();
        Sink sink{out_};
        msgpack::packer<Sink>(sink).pack_ext(available, static_cast<std::int8_t>(code));
        out_.append(bytes, available);
        return Outcome::ok;
    }

    Outcome pack_timestamp(PyObject* timestamp) {
        unlike_copy_ = true;
        PyRef seconds_object = PyRef::steal(PyObject_GetAttr(timestamp, interned.seconds));
        long long seconds = seconds_object ? PyLong_AsLongLong(seconds_object.get()) : -1;
        if (seconds == -1 && PyErr_Occurred()) return failure();
        PyRef nanoseconds_object = PyRef::steal(PyObject_GetAttr(timestamp, interned.nanoseconds));
        unsigned long nanoseconds_long = nanoseconds_object
                                             ? PyLong_AsUnsignedLong(nanoseconds_object.get())
                                             : static_cast<unsigned long>(-1);
        if (nanoseconds_long == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
            return failure();
        }
        auto nanoseconds = static_cast<std::uint32_t>(nanoseconds_long);
        // The timestamp extension in its shortest form: 32, 64 or 96 bits.
        std::string bytes;
        auto put = [&](std::uint64_t value, int size) {
            for (int i = size - 1; i >= 0; --i)
                bytes.push_back(static_cast<char>(value >> (8 * i)));
        };
        if ((seconds >> 34) == 0) {
            std::uint64_t data = (static_cast<std::uint64_t>(nanoseconds) << 34) |
                                 static_cast<std::uint64_t>(seconds);
            if ((data & 0xffffffff00000000ULL) == 0) {
                put(data, 4);
            } else {
                put(data, 8);
            }
        } else {
            put(nanoseconds, 4);
            put(static_cast<std::uint64_t>(seconds), 8);
        }
        Sink sink{out_};
        msgpack::packer<Sink>(sink).pack_ext(bytes.size(), -1);
        out_.append(bytes);
        return Outcome::ok;
    }

    // _default(value), then its result packed without the hook.
    Outcome pack_default(PyObject* value, int nest) {
        PyTypeObject* type = Py_TYPE(value);
        if (PyAnySet_Check(value)) return pack_set(value, nest);
        Outcome outcome = put_fallback(out_, value, type);
        if (outcome != Outcome::ok) return outcome;
        // Its two strs are one level deeper than the map.
        return nest < 0 ? Outcome::failed : Outcome::ok;
    }

    // list(value), packed.
    Outcome pack_set(PyObject* set, int nest) {
        entering_container();
        Entered entered(path_, set);
        if (entered.cycle()) return Outcome::failed;
        Sink sink{out_};
        if (!PyAnySet_CheckExact(set)) {
            PyRef items = PyRef::steal(PySequence_List(set));
            if (!items) return failure();
            write_array_len(sink,
                            checked_length(static_cast<std::size_t>(PyList_GET_SIZE(items.get()))));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
                Outcome outcome = pack(PyList_GET_ITEM(items.get(), i), nest);
                if (outcome != Outcome::ok) return outcome;
            }
            return Outcome::ok;
        }
        // The set itself, without list()'s copy, while no code can change it: the rest is
        // copied before the first item whose packing may run code.
        write_array_len(sink, checked_length(static_cast<std::size_t>(PySet_GET_SIZE(set))));
        PyRef iterator = PyRef::steal(PyObject_GetIter(set));
        if (!iterator) return failure();
        PyRef rest;
        Py_ssize_t index = 0;
        while (true) {
            PyRef item;
            if (!rest) {
                item = PyRef::steal(PyIter_Next(iterator.get()));
                if (!item) return PyErr_Occurred() ? failure() : Outcome::ok;
                if (PySet_CheckExact(set) && !runs_no_code(item.get())) {
                    rest = PyRef::steal(PySequence_List(iterator.get()));
                    if (!rest) return failure();
                }
            } else {
                if (index >= PyList_GET_SIZE(rest.get())) return Outcome::ok;
                item = PyRef::borrow(PyList_GET_ITEM(rest.get(), index++));
            }
            Outcome outcome = pack(item.get(), nest);
            if (outcome != Outcome::ok) return outcome;
        }
    }

    std::string& out_;
    std::size_t limit_end_;
    PackerPath path_;
    bool redacted_ = false;     // a marker was written
    bool unlike_copy_ = false;  // something the copy writes otherwise was met
    PyRef ext_type_;
    PyRef timestamp_type_;
};

// ---- The slow path of the full form: the reference's _Cleaner copy, written as it is made ----

class Cleaner {
  public:
    Cleaner(std::string& out, std::size_t limit_end) : out_(out), limit_end_(limit_end) {}

    Outcome clean(PyObject* value, int depth) {
        Outcome outcome = clean_value(value, depth);
        if (outcome == Outcome::ok && out_.size() > limit_end_) return Outcome::too_large;
        return outcome;
    }

  private:
    bool fits(std::size_t size) const { return out_.size() + size <= limit_end_; }

    Outcome put_bytes(const char* data, std::size_t size) {
        if (!fits(size)) return Outcome::too_large;
        put_bin(out_, data, size);
        return Outcome::ok;
    }

    Outcome clean_value(PyObject* value, int depth) {
        PyTypeObject* type = Py_TYPE(value);
        Sink sink{out_};
        if (value == Py_None) {
            write_nil(sink);
            return Outcome::ok;
        }
        if (type == &PyBool_Type) {
            write_bool(sink, value == Py_True);
            return Outcome::ok;
        }
        if (PyUnicode_Check(value)) {
            if (looks_secret(value)) return put_marker(out_, value);
            Py_ssize_t length = PyUnicode_GET_LENGTH(value);
            TextSize size = measure(value, length);
            if (!fits(size.bytes)) return Outcome::too_large;
            put_str(out_, value, length, size.bytes);
            escaped_ = escaped_ || size.surrogates;
            return Outcome::ok;
        }
        if (PyLong_Check(value)) {
            if (put_int_in_range(out_, value)) return Outcome::ok;
            return put_fallback(out_, value, &PyLong_Type);
        }
        if (PyFloat_Check(value)) {
            write_f64(sink, PyFloat_AS_DOUBLE(value));
            return Outcome::ok;
        }
        if (type == &PyBytes_Type) {
            return put_bytes(PyBytes_AS_STRING(value), static_cast<std::size_t>(Py_SIZE(value)));
        }
        if (type == &PyByteArray_Type) {
            return put_bytes(PyByteArray_AS_STRING(value),
                             static_cast<std::size_t>(Py_SIZE(value)));
        }
        if (PyBytes_Check(value) || PyByteArray_Check(value)) {
            // bytes(value): a subclass may convert itself its own way, or fail.
            PyRef copy = PyRef::steal(
                PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), value));
            if (!copy) return failure();
            return put_bytes(PyBytes_AS_STRING(copy.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(copy.get())));
        }
        if (PyMemoryView_Check(value)) {
            PyRef copy = PyRef::steal(PyObject_CallMethodNoArgs(value, interned.tobytes));
            if (copy && PyBytes_Check(copy.get())) {
                return put_bytes(PyBytes_AS_STRING(copy.get()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(copy.get())));
            }
            if (!copy && failure() == Outcome::fatal) return Outcome::fatal;
            return put_fallback(out_, value, type);
        }
        bool is_dict = PyDict_Check(value);
        if (!is_dict && !is_sequence_or_set(value)) return put_fallback(out_, value, type);
        if (depth >= max_depth) return put_fallback(out_, value, type);
        if (active_.contains(value)) {
            return put_fallback(out_, value, type, is_dict ? "{...}" : "[...]");
        }
        active_.push(value);
        std::size_t start = out_.size();
        Outcome outcome = is_dict ? clean_dict(value, depth) : clean_items(value, depth);
        active_.pop();
        if (outcome != Outcome::failed) return outcome;
        out_.resize(start);
        return put_fallback(out_, value, type);
    }

    Outcome clean_dict(PyObject* dict, int depth) {
        std::size_t header_at = out_.size();
        auto announced = static_cast<std::size_t>(PyDict_GET_SIZE(dict));
        Sink sink{out_};
        write_map_len(sink, checked_length(announced));
        std::vector<Entry> entries;
        entries.reserve(std::min<std::size_t>(announced, 64));
        bool may_merge = false;
        DictItems items(dict);
        while (true) {
            PyRef key;
            PyRef value;
            int next = items.next(key, value);
            if (next < 0) return failure();
            if (next == 0) break;
            Entry entry{out_.size(), 0, 0};
            escaped_ = false;
            Outcome outcome = clean(key.get(), depth + 1);
            if (outcome != Outcome::ok) return outcome;
            may_merge = may_merge || key_may_merge(key.get(), escaped_);
            entry.value_at = out_.size();
            outcome = is_secret_key(key.get()) ? put_marker(out_, value.get())
                                               : clean(value.get(), depth + 1);
            if (outcome != Outcome::ok) return outcome;
            entry.end = out_.size();
            entries.push_back(entry);
        }
        return finish_map(out_, header_at, announced, entries, may_merge);
    }

    // The base type's own iteration: an overridden __iter__ is not asked.
    Outcome clean_items(PyObject* container, int depth) {
        std::size_t header_at = out_.size();
        auto announced = static_cast<std::size_t>(base_length(container));
        Sink sink{out_};
        write_array_len(sink, checked_length(announced));
        std::size_t count = 0;
        if (PyList_Check(container) || PyTuple_Check(container)) {
            for (Py_ssize_t i = 0; i < Py_SIZE(container); ++i) {
                PyRef item =
                    PyRef::borrow(PyList_Check(container) ? PyList_GET_ITEM(container, i)
                                                          : PyTuple_GET_ITEM(container, i));
                Outcome outcome = clean(item.get(), depth + 1);
                if (outcome != Outcome::ok) return outcome;
                ++count;
            }
        } else {
            PyRef iterator = PyRef::steal(PySet_Type.tp_iter(container));
            if (!iterator) return failure();
            while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
                Outcome outcome = clean(item.get(), depth + 1);
                if (outcome != Outcome::ok) return outcome;
                ++count;
            }
            if (PyErr_Occurred()) return failure();
        }
        if (count != announced) rewrite_header(out_, header_at, false, announced, count);
        return Outcome::ok;
    }

    std::string& out_;
    std::size_t limit_end_;
    Path<max_depth> active_;
    bool escaped_ = false;
};

// ---- The lightweight form ----------------------------------------------------------------------

// A str of at most light_str characters, packed; false for a longer one, or one with lone
// surrogates (the packer refuses them, the Lightener escapes them).
[[gnu::always_inline]] inline bool put_plain_str(std::string& out, PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length > light_str || looks_secret(text)) return false;
    TextSize size = measure(text, length);
    if (size.surrogates) return false;
    put_str(out, text, length, size.bytes);
    return true;
}

// put_marker() for the lightweight form's plain walks, which report only whether they could
// write: on a failure (memory), the Lightener that takes over meets it again and reports it.
inline bool put_plain_marker(std::string& out, PyObject* value) {
    if (put_marker(out, value) == Outcome::ok) return true;
    PyErr_Clear();
    return false;
}

// An exact builtin scalar that every lightweight way keeps whole, packed; false for anything else.
[[gnu::always_inline]] inline bool put_plain_scalar(std::string& out, PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    Sink sink{out};
    if (type == &PyUnicode_Type) return put_plain_str(out, value);
    if (type == &PyLong_Type) return put_int_in_range(out, value);
    if (type == &PyBytes_Type) {
        if (Py_SIZE(value) > light_bytes) return false;
        put_bin(out, PyBytes_AS_STRING(value), static_cast<std::size_t>(Py_SIZE(value)));
        return true;
    }
    if (value == Py_None) {
        write_nil(sink);
    } else if (type == &PyBool_Type) {
        write_bool(sink, value == Py_True);
    } else if (type == &PyFloat_Type) {
        write_f64(sink, PyFloat_AS_DOUBLE(value));
    } else {
        return false;
    }
    return true;
}

bool is_plain_container_type(PyTypeObject* type) {
    return type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type;
}

// _plain_budget_left and the packing of a value that passes it, in one walk (both only read
// exact builtins, so the order of the checks cannot matter): false as soon as the value is not
// plain, with partial output for the caller to drop.
class Plain {
  public:
    explicit Plain(std::string& out) : out_(out) {}

    bool write(PyObject* value) {
        if (is_plain_container_type(Py_TYPE(value))) return container(value, 0);
        budget_ -= 1;
        return put_plain_scalar(out_, value);
    }

    // write() of an exact dict holding these pairs, without the dict.
    bool write_pairs(std::span<const LocalVariable> pairs) {
        auto size = static_cast<Py_ssize_t>(pairs.size());
        if (size > light_items) return false;
        budget_ -= 2 * size;
        if (budget_ < 0) return false;
        Sink sink{out_};
        write_map_len(sink, static_cast<std::uint32_t>(size));
        for (const LocalVariable& pair : pairs) {
            if (Py_TYPE(pair.name) != &PyUnicode_Type || !put_plain_str(out_, pair.name)) {
                return false;
            }
            if (!value_of(pair.name, pair.value.get(), 0)) return false;
        }
        return true;
    }

  private:
    bool container(PyObject* value, int depth) {
        bool is_dict = Py_TYPE(value) == &PyDict_Type;
        Py_ssize_t size = is_dict ? PyDict_GET_SIZE(value) : Py_SIZE(value);
        if (size > light_items || depth >= light_depth) return false;
        budget_ -= is_dict ? 2 * size : size;
        if (budget_ < 0) return false;
        Sink sink{out_};
        if (is_dict) {
            write_map_len(sink, static_cast<std::uint32_t>(size));
            Py_ssize_t position = 0;
            PyObject* key;
            PyObject* item_value;
            while (PyDict_Next(value, &position, &key, &item_value)) {
                if (Py_TYPE(key) != &PyUnicode_Type || !put_plain_str(out_, key)) return false;
                if (!value_of(key, item_value, depth)) return false;
            }
            return true;
        }
        write_array_len(sink, static_cast<std::uint32_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (!item(PySequence_Fast_GET_ITEM(value, i), depth)) return false;
        }
        return true;
    }

    bool item(PyObject* value, int depth) {
        if (is_plain_container_type(Py_TYPE(value))) return container(value, depth + 1);
        return put_plain_scalar(out_, value);
    }

    // A dict's value, or the marker the Lightener's copy has in its place when its key names a
    // secret: nothing of a plain value is cut, so the copy is the value with its markers, and
    // a marker counts as the one value the budget already charged for it.
    bool value_of(PyObject* key, PyObject* value, int depth) {
        if (!is_secret_name(key)) return item(value, depth);
        return put_plain_marker(out_, value);
    }

    std::string& out_;
    Py_ssize_t budget_ = light_budget;
};

// The Lightener's copy of an exact dict, list or tuple of which it would cut nothing, its keys
// strs: the container as the packer writes it, found and written in one walk as Plain does, at
// a fraction of the Lightener's cost. False as soon as something would be cut or is not plain,
// with partial output for the caller to drop; a cycle always ends so, at light_depth at the
// latest. The budget counts as the Lightener's does, one for every value met.
class Uncut {
  public:
    // `budget` is the Lightener's, already charged for `container`; on success, what is left.
    static bool write(std::string& out, PyObject* container, int depth, Py_ssize_t& budget) {
        Uncut walk(out, budget);
        if (!walk.container(container, depth)) return false;
        budget = walk.budget_;
        return true;
    }

  private:
    Uncut(std::string& out, Py_ssize_t budget) : out_(out), budget_(budget) {}

    bool container(PyObject* value, int depth) {
        bool is_dict = Py_TYPE(value) == &PyDict_Type;
        Py_ssize_t size = is_dict ? PyDict_GET_SIZE(value) : Py_SIZE(value);
        // An empty one is written whole however deep it is and whatever the budget.
        if (size > 0 && (depth >= light_depth || size > std::min(light_items, budget_))) {
            return false;
        }
        Sink sink{out_};
        if (is_dict) {
            write_map_len(sink, static_cast<std::uint32_t>(size));
            Py_ssize_t position = 0;
            PyObject* key;
            PyObject* item_value;
            while (PyDict_Next(value, &position, &key, &item_value)) {
                --budget_;
                if (Py_TYPE(key) != &PyUnicode_Type || !put_plain_str(out_, key)) return false;
                if (is_secret_name(key)) {
                    --budget_;  // the marker, one value emitted, as the Lightener counts it
                    if (!put_plain_marker(out_, item_value)) return false;
                } else if (!item(item_value, depth + 1)) {
                    return false;
                }
            }
            return true;
        }
        write_array_len(sink, static_cast<std::uint32_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (!item(PySequence_Fast_GET_ITEM(value, i), depth + 1)) return false;
        }
        return true;
    }

    bool item(PyObject* value, int depth) {
        --budget_;
        if (is_plain_container_type(Py_TYPE(value))) return container(value, depth);
        return put_plain_scalar(out_, value);
    }

    std::string& out_;
    Py_ssize_t budget_;
};

// The reference's lightweight form of one value (a memoryview, whose slicing and casting rules
// it follows), appended.
Outcome put_reference_lightweight(std::string& out, PyObject* value) {
    PyRef function = module_attribute(interned.mod_vesk_serialize, interned.reference_lightweight);
    PyRef bytes = function ? PyRef::steal(PyObject_CallOneArg(function.get(), value)) : PyRef();
    if (!bytes) return failure();
    if (!PyBytes_Check(bytes.get())) return Outcome::failed;
    out.append(PyBytes_AS_STRING(bytes.get()),
               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return Outcome::ok;
}

// The reference's _Lightener copy, written as it is made.
class Lightener {
  public:
    explicit Lightener(std::string& out) : out_(out) {}

    Outcome light(PyObject* value, int depth) {
        --budget_;
        PyTypeObject* type = Py_TYPE(value);
        if (PyUnicode_Check(value) && looks_secret(value)) return put_marker(out_, value);
        Sink sink{out_};
        if (type == &PyUnicode_Type && PyUnicode_GET_LENGTH(value) <= light_str) {
            escaped_ = put_safe_str(out_, value, PyUnicode_GET_LENGTH(value)) || escaped_;
            return Outcome::ok;
        }
        if (type == &PyLong_Type && put_int_in_range(out_, value)) return Outcome::ok;
        if (value == Py_None) {
            write_nil(sink);
            return Outcome::ok;
        }
        if (type == &PyBool_Type) {
            write_bool(sink, value == Py_True);
            return Outcome::ok;
        }
        if (type == &PyFloat_Type) {
            write_f64(sink, PyFloat_AS_DOUBLE(value));
            return Outcome::ok;
        }
        if (is_plain_container_type(type)) {
            // Below the top, which Plain has tried already, most containers are plain.
            if (depth > 0) {
                std::size_t start = out_.size();
                if (Uncut::write(out_, value, depth, budget_)) return Outcome::ok;
                out_.resize(start);
            }
            return light_container(value, type, type == &PyDict_Type, depth);
        }
        // Most other values are instances of classes that keep object's repr.
        auto written = put_ordinary_fallback(out_, value);
        if (!written.ok()) return Outcome::fatal;
        if (*written) return Outcome::ok;
        if (PyLong_Check(value)) {
            if (put_int_in_range(out_, value)) return Outcome::ok;
            return put_fallback(out_, value, &PyLong_Type);
        }
        if (PyUnicode_Check(value)) {
            Py_ssize_t length = PyUnicode_GET_LENGTH(value);
            if (length <= light_str) {
                escaped_ = put_safe_str(out_, value, length) || escaped_;
                return Outcome::ok;
            }
            Outcome outcome = put_cut_start(type, length);
            if (outcome == Outcome::ok) put_safe_str(out_, value, light_str);
            return outcome;
        }
        if (PyFloat_Check(value)) {
            write_f64(sink, PyFloat_AS_DOUBLE(value));
            return Outcome::ok;
        }
        if (PyBytes_Check(value) || PyByteArray_Check(value)) {
            auto length = static_cast<std::size_t>(Py_SIZE(value));
            const char* data =
                PyBytes_Check(value) ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value);
            auto head = std::min(length, static_cast<std::size_t>(light_bytes));
            if (length > head) {
                Outcome outcome = put_cut_start(type, length);
                if (outcome != Outcome::ok) return outcome;
            }
            put_bin(out_, data, head);
            return Outcome::ok;
        }
        if (PyMemoryView_Check(value)) return put_reference_lightweight(out_, value);
        bool is_dict = PyDict_Check(value);
        if (!is_dict && !is_sequence_or_set(value)) return put_fallback(out_, value, type);
        return light_container(value, type, is_dict, depth);
    }

    // light() of a dict, list, tuple, set or frozenset (or subclass).
    Outcome light_container(PyObject* value, PyTypeObject* type, bool is_dict, int depth) {
        Sink sink{out_};
        auto length = static_cast<std::size_t>(base_length(value));
        if (depth >= light_depth || budget_ <= 0) {
            if (length > 0) {
                Outcome outcome = put_cut_start(type, length);
                if (outcome != Outcome::ok) return outcome;
            }
            if (is_dict) {
                write_map_len(sink, 0);
            } else {
                write_array_len(sink, 0);
            }
            return Outcome::ok;
        }
        if (active_.contains(value)) {
            return put_fallback(out_, value, type, is_dict ? "{...}" : "[...]");
        }
        active_.push(value);
        std::size_t start = out_.size();
        auto keep = std::min({length, static_cast<std::size_t>(light_items),
                              static_cast<std::size_t>(std::max<Py_ssize_t>(budget_, 1))});
        Outcome outcome = keep < length ? put_cut_start(type, length) : Outcome::ok;
        if (outcome == Outcome::ok) {
            outcome = is_dict ? light_dict(value, keep, depth) : light_sequence(value, keep, depth);
        }
        active_.pop();
        if (outcome != Outcome::failed) return outcome;
        out_.resize(start);
        return put_fallback(out_, value, type);
    }

    // light() of an exact dict holding these pairs, whose keys are different strs, without the
    // dict: no value can hold it, so it need not be on the path. Failed when the dict's fallback
    // map is to be written in its place.
    Outcome light_pairs(std::span<const LocalVariable> pairs) {
        --budget_;
        std::size_t length = pairs.size();
        auto keep = std::min({length, static_cast<std::size_t>(light_items),
                              static_cast<std::size_t>(std::max<Py_ssize_t>(budget_, 1))});
        if (keep < length) {
            Outcome outcome = put_cut_start(&PyDict_Type, length);
            if (outcome != Outcome::ok) return outcome;
        }
        std::size_t header_at = out_.size();
        Sink sink{out_};
        write_map_len(sink, static_cast<std::uint32_t>(keep));
        std::array<Entry, light_items> entries;
        bool may_merge = false;
        for (std::size_t i = 0; i < keep; ++i) {
            Entry& entry = entries[i];
            entry.key_at = out_.size();
            escaped_ = false;
            Outcome outcome = light(pairs[i].name, 1);
            if (outcome != Outcome::ok) return outcome;
            may_merge = may_merge || key_may_merge(pairs[i].name, escaped_);
            entry.value_at = out_.size();
            outcome = light_value(pairs[i].name, pairs[i].value.get(), 1);
            if (outcome != Outcome::ok) return outcome;
            entry.end = out_.size();
        }
        return finish_map(out_, header_at, keep, std::span(entries.data(), keep), may_merge);
    }

  private:
    // light() of a dict's value, or its marker when its key says it is a secret (which counts
    // as one value emitted).
    Outcome light_value(PyObject* key, PyObject* value, int depth) {
        if (!is_secret_key(key)) return light(value, depth);
        --budget_;
        return put_marker(out_, value);
    }

    // _cut(type, length, head) up to its head, which the caller writes.
    Outcome put_cut_start(PyTypeObject* type, std::size_t length) {
        Sink sink{out_};
        write_map_len(sink, 3);
        write_str(sink, "__type__");
        if (!put_type_name(out_, type)) return Outcome::fatal;
        write_str(sink, "__len__");
        write_uint(sink, length);
        write_str(sink, "__head__");
        return Outcome::ok;
    }

    Outcome light_dict(PyObject* dict, std::size_t keep, int depth) {
        std::size_t header_at = out_.size();
        Sink sink{out_};
        write_map_len(sink, static_cast<std::uint32_t>(keep));
        std::array<Entry, light_items> entries;
        std::size_t count = 0;
        bool may_merge = false;
        DictItems items(dict);
        PyRef key;
        PyRef value;
        while (count < keep) {
            int next = items.next(key, value);
            if (next < 0) return failure();
            if (next == 0) break;
            Entry& entry = entries[count++];
            entry.key_at = out_.size();
            escaped_ = false;
            Outcome outcome = light(key.get(), depth + 1);
            if (outcome != Outcome::ok) return outcome;
            may_merge = may_merge || key_may_merge(key.get(), escaped_);
            entry.value_at = out_.size();
            outcome = light_value(key.get(), value.get(), depth + 1);
            if (outcome != Outcome::ok) return outcome;
            entry.end = out_.size();
        }
        // zip() asks the items for one more before it finds range(keep) done.
        if (count == keep && items.next(key, value) < 0) return failure();
        return finish_map(out_, header_at, keep, std::span(entries.data(), count), may_merge);
    }

    Outcome light_sequence(PyObject* container, std::size_t keep, int depth) {
        // The first items, taken before any of them is looked at, as the reference's slice is.
        std::array<PyRef, light_items> items;
        std::size_t count = 0;
        if (PyList_Check(container) || PyTuple_Check(container)) {
            for (; count < keep && static_cast<Py_ssize_t>(count) < Py_SIZE(container); ++count) {
                auto i = static_cast<Py_ssize_t>(count);
                items[count] =
                    PyRef::borrow(PyList_Check(container) ? PyList_GET_ITEM(container, i)
                                                          : PyTuple_GET_ITEM(container, i));
            }
        } else {
            PyRef iterator = PyRef::steal(PySet_Type.tp_iter(container));
            if (!iterator) return failure();
            for (; count < keep; ++count) {
                items[count] = PyRef::steal(PyIter_Next(iterator.get()));
                if (!items[count]) break;
            }
            if (PyErr_Occurred()) return failure();
        }
        Sink sink{out_};
        write_array_len(sink, static_cast<std::uint32_t>(count));
        for (std::size_t i = 0; i < count; ++i) {
            Outcome outcome = light(items[i].get(), depth + 1);
            if (outcome != Outcome::ok) return outcome;
        }
        return Outcome::ok;
    }

    std::string& out_;
    Py_ssize_t budget_ = light_budget;
    Path<light_depth> active_;
    bool escaped_ = false;
};

// ---- The two forms ----------------------------------------------------------------------------

Outcome write_lightweight(std::string& out, PyObject* value) {
    std::size_t start = out.size();
    if (Plain(out).write(value)) return Outcome::ok;
    out.resize(start);
    Outcome outcome = Lightener(out).light(value, 0);
    if (outcome == Outcome::ok || outcome == Outcome::fatal) return outcome;
    out.resize(start);
    return put_last_resort(out, value);
}

PyRef dict_of(std::span<const LocalVariable> pairs) {
    PyRef dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(pairs.size())));
    if (!dict) return {};
    for (const LocalVariable& pair : pairs) {
        if (PyDict_SetItem(dict.get(), pair.name, pair.value.get()) < 0) return {};
    }
    return dict;
}

// write_lightweight() of the dict of these pairs, which is only made if its fallback map is
// written (rarely: when a repr failed in a way that fails the whole dict).
Outcome write_lightweight(std::string& out, std::span<const LocalVariable> pairs) {
    std::size_t start = out.size();
    if (Plain(out).write_pairs(pairs)) return Outcome::ok;
    out.resize(start);
    Outcome outcome = Lightener(out).light_pairs(pairs);
    if (outcome == Outcome::ok || outcome == Outcome::fatal) return outcome;
    out.resize(start);
    PyRef dict = dict_of(pairs);
    if (!dict) return Outcome::fatal;
    outcome = put_fallback(out, dict.get(), &PyDict_Type);
    if (outcome == Outcome::ok || outcome == Outcome::fatal) return outcome;
    out.resize(start);
    return put_last_resort(out, dict.get());
}

// The outcome of writing from `start` as write_value() reports it.
bool succeeded(Outcome outcome, std::string& out, std::size_t start) {
    if (outcome == Outcome::ok) return true;
    out.resize(start);
    if (outcome != Outcome::fatal || !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "a value could not be serialised");
    }
    return false;
}

Outcome write_full(std::string& out, PyObject* value) {
    std::size_t start = out.size();
    Packer packer(out, start + full_limit);
    Outcome outcome = packer.finished(packer.pack(value, packer_nest_limit));
    if (outcome == Outcome::ok || outcome == Outcome::fatal) return outcome;
    out.resize(start);
    if (outcome == Outcome::too_large) return write_lightweight(out, value);
    // Rare: a cycle, deep nesting, a lone surrogate, a container whose iteration raised...
    outcome = Cleaner(out, start + full_limit).clean(value, 0);
    if (outcome == Outcome::ok || outcome == Outcome::fatal) return outcome;
    out.resize(start);
    if (outcome == Outcome::too_large) return write_lightweight(out, value);
    return put_last_resort(out, value);
}

}  // namespace

bool write_locals(std::span<const LocalVariable> locals, ValueForm form, std::string& out) {
    std::size_t start = out.size();
    try {
        if (form == ValueForm::lightweight) {
            return succeeded(write_lightweight(out, locals), out, start);
        }
        // The usual locals pack as they stand; anything else takes the dict's whole way.
        Packer packer(out, start + full_limit);
        if (packer.finished(packer.pack_pairs(locals)) == Outcome::ok) return true;
        out.resize(start);
        if (PyErr_Occurred()) return false;
    } catch (const std::bad_alloc&) {
        out.resize(start);
        PyErr_NoMemory();
        return false;
    } catch (const std::exception& error) {
        out.resize(start);
        raise_panic(error.what());
        return false;
    }
    PyRef dict = dict_of(locals);
    if (!dict) return false;
    return write_value(dict.get(), form, out);
}

bool write_value(PyObject* value, ValueForm form, std::string& out) {
    std::size_t start = out.size();
    try {
        return succeeded(
            form == ValueForm::full ? write_full(out, value) : write_lightweight(out, value), out,
            start);
    } catch (const std::bad_alloc&) {
        out.resize(start);
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        out.resize(start);
        raise_panic(error.what());
    }
    return false;
}

namespace {

PyObject* dump(PyObject* value, ValueForm form) {
    return guarded_entry([&]() -> PyObject* {
        std::string out;
        out.reserve(256);
        if (!write_value(value, form, out)) return nullptr;
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    });
}

}  // namespace

PyObject* native_dump_msgpack(PyObject*, PyObject* value) {
    return dump(value, ValueForm::full);
}

PyObject* native_dump_msgpack_lightweight_repr(PyObject*, PyObject* value) {
    return dump(value, ValueForm::lightweight);
}

}  // namespace vesk
