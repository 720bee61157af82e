#include "values/texts.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "utils/interned.h"
#include "utils/msgpack_writer.h"
#include "utils/redaction.h"
#include "values/fields.h"
#include "values/formats.h"
#include "values/type_names.h"

namespace vesk {

namespace {

constexpr Py_ssize_t repr_limit = 300;

// A new str of this UTF-8 text, added to the text.
bool add_utf8(Text& text, std::string_view utf8) {
    PyRef piece = PyRef::steal(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass"));
    if (!piece) return false;
    text.add(std::move(piece));
    return true;
}

Made propagate_or_not() {
    return drop_ordinary() ? Made::not_so : Made::propagate;
}

// A C repr function's result added, or the failure as the outcome.
Made add_repr_result(PyRef repr, Text& text) {
    if (!repr) return propagate_or_not();
    if (!PyUnicode_Check(repr.get())) return Made::not_so;
    text.add(std::move(repr));
    return Made::text;
}

// type.__name__, as the type's own descriptor gives it.
bool add_type_short_name(PyTypeObject* type, Text& text) {
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name || !PyUnicode_Check(name.get())) return false;
    text.add(std::move(name));
    return true;
}

Made class_text(PyObject* value, Text& text) {
    auto* type = reinterpret_cast<PyTypeObject*>(value);
    Text name;
    if (!add_type_name(type, name)) return Made::propagate;
    // "<class 'qualname'>" for builtins and a module that is not a str: the name's pieces are
    // module, ".", qualname, or the unknown's.
    PyRef qualname = PyRef::steal(PyType_GetQualName(type));
    if (!qualname) return propagate_or_not();
    if (!PyUnicode_Check(qualname.get())) return Made::not_so;
    text.add("<class '");
    bool plain = name.pieces.size() != 3 || name.pieces[0].text == nullptr ||
                 PyUnicode_CompareWithASCIIString(name.pieces[0].text, "builtins") == 0;
    if (!plain) {
        text.add(PyRef::borrow(name.pieces[0].text));
        text.add(".");
    }
    text.add(std::move(qualname));
    text.add("'>");
    return Made::text;
}

Made module_text(PyObject* value, Text& text) {
    PyObject* dict = PyModule_GetDict(value);
    PyObject* name =
        dict != nullptr ? PyDict_GetItemWithError(dict, interned.dunder_name) : nullptr;
    if (name == nullptr && PyErr_Occurred() && !drop_ordinary()) return Made::propagate;
    text.add("<module '");
    if (name != nullptr && PyUnicode_CheckExact(name)) {
        text.add(PyRef::borrow(name));
    } else {
        text.add("?");
    }
    text.add("'>");
    return Made::text;
}

Made method_text(PyObject* value, Text& text) {
    PyObject* function = PyMethod_GET_FUNCTION(value);
    text.add("<bound method ");
    if (PyFunction_Check(function) && Py_IS_TYPE(function, &PyFunction_Type)) {
        text.add(PyRef::borrow(reinterpret_cast<PyFunctionObject*>(function)->func_qualname));
    } else {
        text.add("?");
    }
    text.add(" of ");
    if (!add_type_name(Py_TYPE(PyMethod_GET_SELF(value)), text)) return Made::propagate;
    text.add(" object>");
    return Made::text;
}

bool is_int_or_none(PyObject* part) {
    return part == Py_None || PyLong_CheckExact(part);
}

Made slice_text(PyObject* value, Text& text) {
    auto* slice = reinterpret_cast<PySliceObject*>(value);
    if (!is_int_or_none(slice->start) || !is_int_or_none(slice->stop) ||
        !is_int_or_none(slice->step)) {
        return Made::not_so;
    }
    return add_repr_result(PyRef::steal(PySlice_Type.tp_repr(value)), text);
}

Made uuid_text(PyObject* value, Text& text) {
    PyRef number = slot_value(value, interned.int_attr);
    if (!number) return PyErr_Occurred() ? propagate_or_not() : Made::not_so;
    if (!PyLong_CheckExact(number.get())) return Made::not_so;
    int sign = _PyLong_Sign(number.get());
    if (sign < 0 || _PyLong_NumBits(number.get()) > 128) return Made::not_so;
    std::uint64_t low = PyLong_AsUnsignedLongLongMask(number.get());
    PyRef sixty_four = PyRef::steal(PyLong_FromLong(64));
    PyRef shifted =
        sixty_four ? PyRef::steal(PyNumber_Rshift(number.get(), sixty_four.get())) : PyRef();
    if (!shifted) return propagate_or_not();
    std::uint64_t high = PyLong_AsUnsignedLongLongMask(shifted.get());
    if (!add_type_short_name(Py_TYPE(value), text)) return propagate_or_not();
    text.add("('");
    if (!add_utf8(text, vesk::uuid_text(high, low))) return propagate_or_not();
    text.add("')");
    return Made::text;
}

Made fraction_text(PyObject* value, Text& text) {
    PyRef numerator = slot_value(value, interned.numerator_attr);
    PyRef denominator = numerator ? slot_value(value, interned.denominator_attr) : PyRef();
    if (!denominator) return PyErr_Occurred() ? propagate_or_not() : Made::not_so;
    if (!PyLong_CheckExact(numerator.get()) || !PyLong_CheckExact(denominator.get())) {
        return Made::not_so;
    }
    if (!add_type_short_name(Py_TYPE(value), text)) return propagate_or_not();
    text.add("(");
    Made made = int_text(numerator.get(), text);
    if (made != Made::text) return made;
    text.add(", ");
    made = int_text(denominator.get(), text);
    if (made != Made::text) return made;
    text.add(")");
    return Made::text;
}

// UTF-8 of a str, lone surrogates passed through (they come back as they were).
bool utf8_of(PyObject* text, std::vector<PyRef>& keep, std::string_view& out) {
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out = std::string_view(PyBytes_AS_STRING(bytes.get()),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    keep.push_back(std::move(bytes));
    return true;
}

// The str of a path whose text is not cached yet, from what it was made of; null and no error
// when its fields are not what a path of this interpreter holds.
PyRef joined_path_of(PyObject* value) {
    std::vector<PyRef> keep;
    std::vector<std::string_view> pieces;
    PyRef raw = slot_value(value, interned.raw_paths_attr);
    if (PyErr_Occurred()) return {};
    std::string joined;
    if (raw && PyList_CheckExact(raw.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw.get()); ++i) {
            PyObject* piece = PyList_GET_ITEM(raw.get(), i);
            if (!PyUnicode_CheckExact(piece)) return {};
            std::string_view utf8;
            if (!utf8_of(piece, keep, utf8)) return {};
            pieces.push_back(utf8);
        }
        joined = joined_path(pieces);
    } else {
        PyRef drive = slot_value(value, interned.drv_attr);
        PyRef root = drive ? slot_value(value, interned.root_attr) : PyRef();
        PyRef parts = root ? slot_value(value, interned.parts_attr) : PyRef();
        if (!parts || !PyUnicode_CheckExact(drive.get()) || !PyUnicode_CheckExact(root.get()) ||
            !PyList_CheckExact(parts.get())) {
            return {};
        }
        std::string_view drive_text;
        std::string_view root_text;
        if (!utf8_of(drive.get(), keep, drive_text) || !utf8_of(root.get(), keep, root_text)) {
            return {};
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
            PyObject* part = PyList_GET_ITEM(parts.get(), i);
            if (!PyUnicode_CheckExact(part)) return {};
            std::string_view utf8;
            if (!utf8_of(part, keep, utf8)) return {};
            pieces.push_back(utf8);
        }
        joined = joined_parts(drive_text, root_text, pieces);
    }
    return PyRef::steal(PyUnicode_DecodeUTF8(joined.data(), static_cast<Py_ssize_t>(joined.size()),
                                             "surrogatepass"));
}

Made path_text(PyObject* value, Text& text) {
    PyRef cached = slot_value(value, interned.str_attr);
    if (PyErr_Occurred()) return propagate_or_not();
    PyRef path = cached && PyUnicode_CheckExact(cached.get()) ? cached : joined_path_of(value);
    if (!path) return PyErr_Occurred() ? propagate_or_not() : Made::not_so;
    if (!add_type_short_name(Py_TYPE(value), text)) return propagate_or_not();
    text.add("(");
    if (add_repr_result(PyRef::steal(PyUnicode_Type.tp_repr(path.get())), text) != Made::text) {
        return propagate_or_not();
    }
    text.add(")");
    return Made::text;
}

// The tzinfo shows as its own repr: None, a datetime.timezone, a zoneinfo.ZoneInfo.
bool tz_is_plain(PyObject* tz) {
    if (tz == Py_None) return true;
    PyObject* timezone = loaded_attribute("datetime", "timezone");
    if (timezone != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(tz)) == timezone) return true;
    PyObject* zone_info = loaded_attribute("zoneinfo", "ZoneInfo");
    if (zone_info == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(tz)) != zone_info) return false;
    PyObject* repr = type_lookup(Py_TYPE(tz), interned.dunder_repr);
    return repr != nullptr && Py_IS_TYPE(repr, &PyWrapperDescr_Type);
}

// A time or datetime with a tzinfo of the program's class: its repr from its fields, that
// class's name in place of the tzinfo's repr.
Made clock_text(PyObject* value, PyTypeObject* base, PyObject* tz, Text& text) {
    const bool is_datetime =
        base == reinterpret_cast<PyTypeObject*>(loaded_attribute("datetime", "datetime"));
    auto number = [&](PyObject* name, long long& out) {
        PyRef field = getter_value(value, base, name);
        if (!field) return false;
        out = PyLong_AsLongLong(field.get());
        return !(out == -1 && PyErr_Occurred());
    };
    std::vector<PyObject*> names;
    if (is_datetime) {
        names = {interned.year_attr, interned.month_attr, interned.day_attr, interned.hour_attr,
                 interned.minute_attr};
    } else {
        names = {interned.hour_attr, interned.minute_attr};
    }
    std::vector<long long> leading(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!number(names[i], leading[i])) return propagate_or_not();
    }
    long long second = 0;
    long long microsecond = 0;
    long long fold = 0;
    if (!number(interned.second_attr, second) || !number(interned.microsecond_attr, microsecond) ||
        !number(interned.fold_attr, fold)) {
        return propagate_or_not();
    }
    PyTypeObject* type = Py_TYPE(value);
    if (type == base) {
        text.add("datetime.");
    }
    if (!add_type_short_name(type, text)) return propagate_or_not();
    text.add("(");
    text.add_copy(clock_arguments(leading, second, microsecond));
    if (fold != 0) text.add(", fold=1");
    text.add(", tzinfo=<");
    if (!add_type_name(Py_TYPE(tz), text)) return Made::propagate;
    text.add(">)");
    return Made::text;
}

Made c_text(PyObject* value, const TypeFacts& facts, Text& text) {
    PyTypeObject* type = Py_TYPE(value);
    if (facts.kind == Kind::c_text_clock) {
        PyRef tz = getter_value(value, facts.base, interned.tzinfo_attr);
        if (!tz) return propagate_or_not();
        if (!tz_is_plain(tz.get())) return clock_text(value, facts.base, tz.get(), text);
    } else if (facts.kind == Kind::c_text_pattern) {
        PyRef pattern = getter_value(value, type, interned.pattern_attr);
        if (!pattern) return propagate_or_not();
        if (!PyUnicode_CheckExact(pattern.get()) && !PyBytes_CheckExact(pattern.get())) {
            return Made::not_so;
        }
    }
    return add_repr_result(PyRef::steal(type->tp_repr(value)), text);
}

Made enum_text(PyObject* value, Text& text) {
    PyRef fields = instance_dict(value);
    PyObject* name = nullptr;
    PyObject* member = nullptr;
    if (fields) {
        name = PyDict_GetItemWithError(fields.get(), interned.enum_name);
        if (name == nullptr && PyErr_Occurred()) return propagate_or_not();
        member = PyDict_GetItemWithError(fields.get(), interned.enum_value);
        if (member == nullptr && PyErr_Occurred()) return propagate_or_not();
    }
    text.add("<");
    if (!add_type_short_name(Py_TYPE(value), text)) return propagate_or_not();
    if (name != nullptr && PyUnicode_CheckExact(name)) {
        text.add(".");
        text.add(PyRef::borrow(name));
    }
    text.add(": ");
    if (member == nullptr) {
        text.add("...");
    } else if (PyLong_CheckExact(member)) {
        Made made = int_text(member, text);
        if (made != Made::text) return made;
    } else if (member == Py_None || PyBool_Check(member) || PyFloat_CheckExact(member)) {
        if (add_repr_result(PyRef::steal(PyObject_Repr(member)), text) != Made::text) {
            return propagate_or_not();
        }
    } else if (PyUnicode_CheckExact(member) && looks_secret(member)) {
        text.add_copy("<redacted str, " + std::to_string(PyUnicode_GET_LENGTH(member)) + " chars>");
    } else if (PyUnicode_CheckExact(member) || PyBytes_CheckExact(member)) {
        // The repr of its start: the text is cut to the repr limit anyway.
        PyRef head = PyRef::steal(PySequence_GetSlice(member, 0, repr_limit));
        PyRef repr = head ? PyRef::steal(PyObject_Repr(head.get())) : PyRef();
        if (add_repr_result(std::move(repr), text) != Made::text) return propagate_or_not();
    } else {
        text.add("...");
    }
    text.add(">");
    return Made::text;
}

}  // namespace

std::string_view approximate_int_text(PyObject* value, std::int64_t bits, ApproximateInt& room) {
    static_assert(PyLong_SHIFT == 30, "four digits hold the top 64 bits of a big int");
    const auto* number = reinterpret_cast<const PyLongObject*>(value);
    const digit* digits = long_digits(number);
    Py_ssize_t count = long_digit_count(number);  // five at least, past 128 bits
    unsigned __int128 head = 0;
    for (Py_ssize_t i = count - 1; i >= count - 4; --i) head = (head << PyLong_SHIFT) | digits[i];
    std::int64_t below = PyLong_SHIFT * (count - 4);  // bits under the four top digits
    auto top = static_cast<std::uint64_t>(head >> (bits - 64 - below));
    // log10 of the number, which is about top * 2**(bits - 64), and ten to its fraction: through
    // log2 and exp, the cheapest of the C library's, in the reference's order of operations. The
    // constants are log10(2) and ln(10) as doubles, written out as the reference writes them; each
    // product is kept apart from the sum after it, which a fused multiply-add would round
    // otherwise.
    volatile double log = (std::log2(static_cast<double>(top)) + static_cast<double>(bits - 64)) *
                          0.30102999566398120;
    double exponent = std::floor(log);
    volatile double scaled = (log - exponent) * 2.302585092994046;
    double mantissa = std::exp(scaled);
    // Four decimals, rounded exactly as the reference's format rounds (half to even), from the
    // double's own bits: the mantissa is in [1, 10), so it is M * 2**(shift - 52) with M < 2**53.
    int shift = 0;
    std::uint64_t bits_of;
    std::memcpy(&bits_of, &mantissa, sizeof bits_of);
    shift = static_cast<int>((bits_of >> 52) & 0x7ff) - 1023;  // 0 to 3
    unsigned __int128 scaled_up =
        static_cast<unsigned __int128>((bits_of & ((std::uint64_t{1} << 52) - 1)) |
                                       (std::uint64_t{1} << 52)) *
        10000;
    int drop = 52 - shift;
    auto tenths = static_cast<std::uint64_t>(scaled_up >> drop);  // the mantissa times 10**4
    unsigned __int128 rest = scaled_up & ((static_cast<unsigned __int128>(1) << drop) - 1);
    unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
    if (rest > half || (rest == half && (tenths & 1) != 0)) ++tenths;
    auto power = static_cast<long long>(exponent);
    if (tenths >= 100000) {  // rounded up to the next power of ten
        tenths /= 10;
        ++power;
    }
    char shown[6] = {
        static_cast<char>('0' + tenths / 10000),     '.',
        static_cast<char>('0' + tenths / 1000 % 10), static_cast<char>('0' + tenths / 100 % 10),
        static_cast<char>('0' + tenths / 10 % 10),   static_cast<char>('0' + tenths % 10)};
    const char* shown_end = shown + sizeof shown;            // "d.dddd"
    char* at = std::copy_n("\xe2\x89\x88", 3, room.data());  // U+2248, almost equal to
    if (_PyLong_Sign(value) < 0) *at++ = '-';
    at = std::copy(static_cast<const char*>(shown), shown_end, at);
    at = std::copy_n("e+", 2, at);
    at = std::to_chars(at, room.data() + room.size(), power).ptr;
    at = std::copy_n(" (", 2, at);
    at = std::to_chars(at, room.data() + room.size(), power + 1).ptr;
    at = std::copy_n(" digits)", 8, at);
    return std::string_view(room.data(), static_cast<std::size_t>(at - room.data()));
}

Made int_text(PyObject* value, Text& text) {
    std::int64_t bits = _PyLong_NumBits(value);
    if (bits < 0) return propagate_or_not();
    if (bits > int_text_bits) {
        ApproximateInt room;
        std::string_view made = approximate_int_text(value, bits, room);
        // Not ASCII (its first character): a str, so that it is measured in characters.
        PyRef shown = PyRef::steal(
            PyUnicode_FromStringAndSize(made.data(), static_cast<Py_ssize_t>(made.size())));
        if (!shown) return propagate_or_not();
        text.add(std::move(shown));
        return Made::text;
    }
    PyRef digits = PyRef::steal(PyLong_Type.tp_repr(value));
    if (!digits) return propagate_or_not();
    text.add(std::move(digits));
    return Made::text;
}

Made made_text(PyObject* value, const TypeFacts& facts, Text& text) {
    switch (facts.kind) {
        case Kind::enumeration:
            return enum_text(value, text);
        case Kind::class_object:
            return class_text(value, text);
        case Kind::module:
            return module_text(value, text);
        case Kind::method:
            return method_text(value, text);
        case Kind::slice:
            return slice_text(value, text);
        case Kind::uuid:
            return uuid_text(value, text);
        case Kind::fraction:
            return fraction_text(value, text);
        case Kind::path:
            return path_text(value, text);
        case Kind::c_text:
        case Kind::c_text_clock:
        case Kind::c_text_pattern:
            return c_text(value, facts, text);
        default:
            return Made::not_so;
    }
}

Made repr_text(PyObject* value, Text& text) {
    PyRef repr = PyRef::steal(PyObject_Repr(value));
    if (repr) {
        text.add(std::move(repr));
        return Made::text;
    }
    PyObject* type = PyErr_Occurred();
    if (type != nullptr && must_propagate(type)) return Made::propagate;
    PyRef exception = take_pending_exception();
    text.clear();
    text.add("<repr() raised ");
    if (!add_type_name(Py_TYPE(exception.get()), text)) return Made::propagate;
    text.add(">");
    return Made::text;
}

namespace {

// {"__type__": <name of type>, <key (8 characters)>: <text, cut to the repr limit>}.
bool put_type_and_text(std::string& out, PyTypeObject* type, std::string_view key,
                       const Text& text) {
    out.push_back(static_cast<char>(0x82));
    out.push_back(static_cast<char>(0xa8));
    out.append("__type__");
    if (!put_type_name(out, type)) return false;
    out.push_back(static_cast<char>(0xa8));
    out.append(key);
    put_text(out, text.pieces, repr_limit);
    return true;
}

}  // namespace

bool put_text_map(std::string& out, PyTypeObject* type, const Text& text) {
    return put_type_and_text(out, type, "__repr__", text);
}

bool put_same_map(std::string& out, PyTypeObject* type, const Text& path) {
    return put_type_and_text(out, type, "__same__", path);
}

}  // namespace vesk
