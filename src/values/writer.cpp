// The walk over a value: the reference's _Writer, in the same order of checks and writes.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "utils/errors.h"
#include "utils/interned.h"
#include "utils/msgpack_writer.h"
#include "utils/redaction.h"
#include "values/bounds.h"
#include "values/fields.h"
#include "values/kinds.h"
#include "values/text.h"
#include "values/texts.h"
#include "values/type_names.h"
#include "values/values.h"

namespace vesk {

namespace {

// Where a value is written: in memory of its own (on the stack for most values) and appended to
// the caller's buffer once whole. Its bytes go in one at a time, with no call per byte.
class Output {
  public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    [[gnu::always_inline]] void put(char byte) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = byte;
    }
    // The stream interface of the MessagePack writers.
    [[gnu::always_inline]] void write(const char* bytes, std::size_t count) {
        if (capacity_ - size_ < count) grow(count);
        std::memcpy(data_ + size_, bytes, count);
        size_ += count;
    }
    void append(std::string_view bytes) { write(bytes.data(), bytes.size()); }
    std::string_view view() const { return {data_, size_}; }
    std::size_t size() const { return size_; }
    void truncate(std::size_t size) { size_ = std::min(size, size_); }

    // What a writer of strings (the text units') writes, appended: true when it succeeded.
    template <class Function>
    bool through(Function&& function) {
        std::string& scratch = scratch_text();
        scratch.clear();
        bool ok = function(scratch);
        append(scratch);
        return ok;
    }

  private:
    [[gnu::noinline]] void grow(std::size_t count) {
        std::size_t capacity = std::max(capacity_ * 2, size_ + count + 256);
        auto bigger = std::make_unique<char[]>(capacity);
        std::memcpy(bigger.get(), data_, size_);
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = capacity;
    }

    static std::string& scratch_text() {
        thread_local std::string scratch;
        return scratch;
    }

    std::array<char, 1024> room_;
    std::unique_ptr<char[]> heap_;
    char* data_ = room_.data();
    std::size_t size_ = 0;
    std::size_t capacity_ = room_.size();
};

// Headers as the packer writes them, the small ones (most) at once.
void put_map_header(Output& out, std::size_t count) {
    if (count < 16) {
        out.put(static_cast<char>(0x80 | count));
        return;
    }
    write_map_len(out, static_cast<std::uint32_t>(count));
}

void put_array_header(Output& out, std::size_t count) {
    if (count < 16) {
        out.put(static_cast<char>(0x90 | count));
        return;
    }
    write_array_len(out, static_cast<std::uint32_t>(count));
}

void put_key(Output& out, std::string_view key) {
    out.put(static_cast<char>(0xa0 | key.size()));
    out.append(key);
}

// The containers and objects being written, outermost first: a walk never goes deeper than
// Bounds::max_depth.
class Path {
  public:
    void push(PyObject* object) {
        if (size_ == items_.size()) internal_fault("a value nests deeper than its walk allows");
        items_[size_++] = object;
    }
    void pop() noexcept { --size_; }
    bool contains(PyObject* object) const noexcept {
        return std::find(items_.begin(), items_.begin() + size_, object) != items_.begin() + size_;
    }

  private:
    std::array<PyObject*, Bounds::max_depth + 2> items_;
    std::size_t size_ = 0;
};

class OnPath {
  public:
    OnPath(Path& path, PyObject* object) : path_(path) { path.push(object); }
    ~OnPath() { path_.pop(); }
    OnPath(const OnPath&) = delete;
    OnPath& operator=(const OnPath&) = delete;

  private:
    Path& path_;
};

// Where a value stands in its record, as a piece of the path that a reference to it shows: made
// into text only when the value is met again.
enum class PieceKind : std::uint8_t {
    none,   // not referable: a dict's key, or inside what has no place
    text,   // ASCII as it is: a root ("arg", "locals", "value") or ".args"
    field,  // ".name", an object's field or a local
    key,    // "['key']" or "[3]", a dict's entry
    index,  // "[3]", an item
};

struct Piece {
    PieceKind kind = PieceKind::none;
    const char* text = nullptr;  // kind text
    PyObject* name = nullptr;    // kind field or key; borrowed
    Py_ssize_t index = 0;        // kind index
};

// Of a str whose first `keep` characters are kept, the characters that are looked at for the
// shape of a secret (the reference's _secret_scan): a secret that starts in what is kept is
// found whole, and what is not kept is never scanned.
constexpr Py_ssize_t secret_scan(std::ptrdiff_t keep) {
    constexpr Py_ssize_t margin = 1024;
    return keep > 0 ? keep + margin : 0;
}

// Places a record keeps for references (the reference's SEEN_LIMIT): an object met again past
// them is written again.
constexpr int seen_limit = 64;
constexpr int nowhere = -2;              // the place of what has none
constexpr Py_ssize_t piece_limit = 100;  // longest name or key a path shows

// The places of what a record's values looked into, each holding its object and its name alive
// until the record is written, so that an address met again is the same object.
class Places {
  public:
    Places() = default;
    Places(const Places&) = delete;
    Places& operator=(const Places&) = delete;
    ~Places() { forget_from(0); }

    int size() const noexcept { return count_; }

    // The place of `object` (null for a place of none, as the locals'): its piece from `parent`.
    int add(int parent, const Piece& piece, PyObject* object) {
        if (count_ >= seen_limit) return nowhere;
        new (&entries_[count_]) Entry{parent, piece};
        Py_XINCREF(piece.name);
        objects_[count_] = Py_XNewRef(object);
        return count_++;
    }

    // The place of an object looked into, or -1.
    [[gnu::always_inline]] int find(PyObject* object) const noexcept {
        for (int i = 0; i < count_; ++i) {
            if (objects_[i] == object) return i;
        }
        return -1;
    }

    // Lets go of the places from `size` on: what a value that could not be written added.
    void forget_from(int size) noexcept {
        while (count_ > size) {
            --count_;
            PyRef::steal(std::exchange(objects_[count_], nullptr));
            PyRef::steal(entries_[count_].piece.name);
        }
    }

    // The path to the place, root first: false with an exception pending.
    bool path(int place, Text& text) const {
        std::array<int, seen_limit> chain;
        int length = 0;
        for (; place >= 0; place = entries_[place].parent) chain[length++] = place;
        while (length > 0) {
            if (!add_piece(entries_[chain[--length]].piece, text)) return false;
        }
        return true;
    }

  private:
    struct Entry {
        int parent;
        Piece piece;
    };
    // Raw room, made into entries one at a time: most records never use it, and a record is
    // written at every event.
    union Room {
        Room() {}
        std::array<Entry, seen_limit> entries;
    };

    static bool shown_name(PyObject* name) {
        return PyUnicode_CheckExact(name) && PyUnicode_GET_LENGTH(name) <= piece_limit &&
               !looks_secret(name);
    }

    static void add_subscript(Text& text, const std::string& number) {
        text.add("[");
        text.add_copy(number);
        text.add("]");
    }

    static bool add_piece(const Piece& piece, Text& text) {
        switch (piece.kind) {
            case PieceKind::text:
                text.add(piece.text);
                return true;
            case PieceKind::field:
                if (!shown_name(piece.name)) break;
                text.add(".");
                text.add(PyRef::borrow(piece.name));
                return true;
            case PieceKind::key:
                if (shown_name(piece.name)) {
                    PyRef repr = PyRef::steal(PyUnicode_Type.tp_repr(piece.name));
                    if (!repr) return false;
                    text.add("[");
                    text.add(std::move(repr));
                    text.add("]");
                    return true;
                }
                if (PyLong_CheckExact(piece.name)) {
                    int overflow = 0;
                    long long small = PyLong_AsLongLongAndOverflow(piece.name, &overflow);
                    if (overflow == 0) {
                        add_subscript(text, std::to_string(small));
                        return true;
                    }
                    unsigned long long large =
                        overflow > 0 ? PyLong_AsUnsignedLongLong(piece.name) : 0;
                    if (overflow > 0 && !PyErr_Occurred()) {
                        add_subscript(text, std::to_string(large));
                        return true;
                    }
                    PyErr_Clear();
                }
                break;
            case PieceKind::index:
                add_subscript(text, std::to_string(piece.index));
                return true;
            case PieceKind::none:
                break;
        }
        text.add("[...]");
        return true;
    }

    Room room_;
    std::array<Entry, seen_limit>& entries_ = room_.entries;
    std::array<PyObject*, seen_limit> objects_;
    int count_ = 0;
};

// The values an object map holds besides its type.
struct ObjectParts {
    PyObject* args = nullptr;                   // "__args__": a tuple
    std::vector<PyRef>* items = nullptr;        // "__items__": those kept
    std::pmr::vector<Field>* fields = nullptr;  // "__fields__": those kept
    std::ptrdiff_t more = 0;                    // "__more__": how many were left out
};

class Writer {
  public:
    Writer(const Bounds& bounds, bool call_repr)
        : bounds_(bounds), values_(bounds.values), text_(bounds.text), call_repr_(call_repr) {}

    // False with an exception pending (an ordinary one leaves the whole value unserialisable).
    bool write(PyObject* value, int depth) {
        if (write_plain(value)) return true;
        --values_;
        PyTypeObject* type = Py_TYPE(value);
        if (type == &PyLong_Type) return write_int(value, type);
        if (type == &PyUnicode_Type) return write_str(value, type);
        if (type == &PyBytes_Type) {
            return write_bytes(type, PyBytes_AS_STRING(value), Py_SIZE(value));
        }
        if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) {
            return write_container(value, type, depth);
        }
        return write_other(value, type, depth);
    }

    // A value of the record under its own name ("arg", "locals", "value"), with its share of
    // what is left among the `parts` values still to write.
    bool write_root(PyObject* value, const char* name, std::ptrdiff_t parts) {
        if (write_plain(value)) return true;
        if (is_leaf(value)) return write(value, 0);
        return shared(parts, Piece{PieceKind::text, name}, [&] { return write(value, 0); });
    }

    // The exact dict of these pairs, whose names are strs, at depth 0: the locals, in the place
    // "locals".
    bool write_pairs(std::span<const LocalVariable> pairs) {
        --values_;
        auto length = static_cast<std::ptrdiff_t>(pairs.size());
        std::ptrdiff_t keep = items_kept(length, bounds_.items, values_);
        if (keep < length && !cut_start(&PyDict_Type, static_cast<std::uint64_t>(length))) {
            return false;
        }
        put_map_header(out_, static_cast<std::size_t>(keep));
        InPlace in_place(*this, places_.add(current_, Piece{PieceKind::text, "locals"}, nullptr));
        auto kept = pairs.first(static_cast<std::size_t>(keep));
        std::ptrdiff_t deep = 0;
        for (const LocalVariable& pair : kept) deep += !is_leaf(pair.value.get());
        for (const LocalVariable& pair : kept) {
            if (!write_name(pair.name, 1)) return false;
            if (!write_entry_shared(pair.name, pair.value.get(), 1, deep, PieceKind::field)) {
                return false;
            }
        }
        return true;
    }

    // What a value that could not be written leaves: the budget and the places as they were
    // before it, and its bytes taken out.
    struct Mark {
        std::size_t bytes;
        std::ptrdiff_t values;
        std::ptrdiff_t text;
        int places;
    };
    Mark mark() const { return Mark{out_.size(), values_, text_, places_.size()}; }
    void back_to(const Mark& mark) {
        out_.truncate(mark.bytes);
        values_ = mark.values;
        text_ = mark.text;
        places_.forget_from(mark.places);
        next_ = Piece{};
        last_same_place_ = -1;
    }

  private:
    // The container or object being written stands at this place while its values are written.
    class InPlace {
      public:
        InPlace(Writer& writer, int place) : writer_(writer), outer_(writer.current_) {
            writer.current_ = place;
        }
        ~InPlace() { writer_.current_ = outer_; }
        InPlace(const InPlace&) = delete;
        InPlace& operator=(const InPlace&) = delete;

      private:
        Writer& writer_;
        int outer_;
    };

    // body() writes a value standing at `piece`, given its share of the values left among the
    // `parts` still to write: every value gets its top before any gets its depth.
    template <class Body>
    bool shared(std::ptrdiff_t parts, const Piece& piece, Body&& body) {
        std::ptrdiff_t total = values_;
        // Rounded up, the first values getting what does not divide (and up, toward zero, for a
        // budget spent already: any share of none is none).
        std::ptrdiff_t share = total > 0 ? (total + parts - 1) / parts : total / parts;
        values_ = share;
        next_ = current_ == nowhere ? Piece{} : piece;
        bool ok = body();
        values_ = total - (share - values_);
        return ok;
    }

    // The place of a container or object about to be looked into, which what it holds stands
    // in; nowhere when it has none.
    int look_into(PyObject* value) {
        Piece piece = std::exchange(next_, Piece{});
        if (piece.kind == PieceKind::none) return nowhere;
        return places_.add(current_, piece, value);
    }

    // {"__type__": T, "__same__": <path>} when `value` was looked into already in this record
    // and is not being written now; `written` says whether it was.
    bool met_again(PyObject* value, PyTypeObject* type, bool& written) {
        written = false;
        if (places_.size() == 0) return true;
        int place = places_.find(value);
        if (place < 0 || path_.contains(value)) return true;
        written = true;
        // An object met many times is referred to many times: its map is made once.
        if (place != last_same_place_) {
            Text path;
            last_same_.clear();
            if (!places_.path(place, path) || !put_same_map(last_same_, type, path)) return false;
            last_same_place_ = place;
        }
        out_.append(last_same_);
        return true;
    }

    // The name of a local or a field: a str never cut by the record's text budget (only by the
    // bound of a str), so that a map of them keeps str keys.
    bool write_name(PyObject* name, int depth) {
        next_ = Piece{};
        if (!PyUnicode_CheckExact(name)) return write(name, depth);
        std::ptrdiff_t text = std::exchange(text_, PTRDIFF_MAX);
        bool ok = write(name, depth);
        text_ = text;
        return ok;
    }

    // What holds no other value (the reference's _LEAVES): written whatever the budget, it needs
    // no share of it.
    [[gnu::always_inline]] static bool is_leaf(PyObject* value) noexcept {
        PyTypeObject* type = Py_TYPE(value);
        return type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type ||
               type == &PyBool_Type || type == &PyBytes_Type || value == Py_None;
    }

    // A dict's entry or an object's field (its name written already): one that may hold others
    // with its share among the `deep` such values still to write, which it counts down.
    bool write_entry_shared(PyObject* name, PyObject* value, int depth, std::ptrdiff_t& deep,
                            PieceKind kind) {
        if (is_leaf(value)) return write_entry(name, value, depth);
        return shared(deep--, Piece{kind, nullptr, name},
                      [&] { return write_entry(name, value, depth); });
    }

    // An item, the same way.
    bool write_item(PyObject* item, int depth, std::ptrdiff_t& deep, std::ptrdiff_t index) {
        if (is_leaf(item)) return write(item, depth);
        return shared(deep--, Piece{PieceKind::index, nullptr, nullptr, index},
                      [&] { return write(item, depth); });
    }

    // The type's name, as remembered when it is.
    bool put_type(PyTypeObject* type) {
        auto known = known_type(type);
        if (!known.ok()) return false;
        if (*known != nullptr) {
            out_.append((*known)->packed_name);
            return true;
        }
        return out_.through([&](std::string& s) { return put_type_name(s, type); });
    }

    // The scalars most values are made of, written at once: true when `value` was one. Nothing
    // else is read, so a container's item needs no reference of ours to be written so.
    [[gnu::always_inline]] bool write_plain(PyObject* value) {
        PyTypeObject* type = Py_TYPE(value);
        if (type == &PyLong_Type) {
            auto* number = reinterpret_cast<PyLongObject*>(value);
            if (!PyUnstable_Long_IsCompact(number)) return false;
            Py_ssize_t small = PyUnstable_Long_CompactValue(number);
            if (small >= 0 && small < 128) {
                out_.put(static_cast<char>(small));
            } else {
                vesk::write_int(out_, small);
            }
        } else if (type == &PyFloat_Type) {
            write_f64(out_, PyFloat_AS_DOUBLE(value));
        } else if (value == Py_None) {
            out_.put(static_cast<char>(0xc0));
        } else if (type == &PyBool_Type) {
            out_.put(static_cast<char>(value == Py_True ? 0xc3 : 0xc2));
        } else if (type == &PyUnicode_Type && PyUnicode_IS_ASCII(value) &&
                   PyUnicode_GET_LENGTH(value) < redaction_detail::shape_min &&
                   PyUnicode_GET_LENGTH(value) <= text_) {
            // A short word: too short for any secret's shape, and within every bound of a str.
            Py_ssize_t length = PyUnicode_GET_LENGTH(value);
            text_ -= length;
            out_.put(static_cast<char>(0xa0 | length));
            out_.write(static_cast<const char*>(PyUnicode_DATA(value)),
                       static_cast<std::size_t>(length));
        } else {
            return false;
        }
        --values_;
        return true;
    }

    bool write_other(PyObject* value, PyTypeObject* type, int depth) {
        TypeFacts facts;
        auto known = known_type(type);
        if (!known.ok()) return false;
        std::vector<PyRef> members;
        std::span<const PyRef> member_view;
        if (*known != nullptr) {
            facts = (*known)->facts;
            member_view = (*known)->members;
        } else {
            facts = classify(type);
            if (PyErr_Occurred()) return false;
            if (facts.kind == Kind::fields) {
                member_descriptors(type, members);
                member_view = members;
            }
        }
        switch (facts.kind) {
            case Kind::enumeration:
                return write_made_text(value, type, facts);
            case Kind::exception:
                return write_exception(value, type, depth);
            case Kind::named_tuple:
                if (PyObject* names = named_fields(value)) {
                    return write_named_tuple(value, type, depth, names);
                }
                return write_container(value, type, depth);
            case Kind::int_like:
                return write_int(value, type);
            case Kind::float_like: {
                write_f64(out_, PyFloat_AS_DOUBLE(value));
                return true;
            }
            case Kind::str_like:
                return write_str(value, type);
            case Kind::bytes_like:
                return write_bytes(type, PyBytes_AS_STRING(value), Py_SIZE(value));
            case Kind::bytearray_like:
                return write_bytes(type, PyByteArray_AS_STRING(value), Py_SIZE(value));
            case Kind::memoryview:
                return write_memoryview(value, type);
            case Kind::container:
                return write_container(value, type, depth);
            case Kind::deque:
                return write_deque(value, type, depth);
            default:
                break;
        }
        if (call_repr_) {
            Text text;
            if (repr_text(value, text) == Made::propagate) return false;
            return out_.through([&](std::string& s) { return put_text_map(s, type, text); });
        }
        if (facts.kind != Kind::fields && facts.kind != Kind::opaque) {
            Text text;
            Made made = made_text(value, facts, text);
            if (made == Made::propagate) return false;
            if (made == Made::text)
                return out_.through([&](std::string& s) { return put_text_map(s, type, text); });
            // Not what the text is made for: its fields, as any object's.
            if (*known == nullptr || members.empty()) {
                member_descriptors(type, members);
                member_view = members;
            }
            return write_fields(value, type, depth, member_view);
        }
        return write_fields(value, type, depth, member_view);
    }

    bool write_made_text(PyObject* value, PyTypeObject* type, const TypeFacts& facts) {
        Text text;
        if (made_text(value, facts, text) == Made::propagate) return false;
        return out_.through([&](std::string& s) { return put_text_map(s, type, text); });
    }

    bool write_int(PyObject* value, PyTypeObject* type) {
        auto* number = reinterpret_cast<PyLongObject*>(value);
        if (PyUnstable_Long_IsCompact(number)) {
            vesk::write_int(out_, PyUnstable_Long_CompactValue(number));
            return true;
        }
        // Its size first: a conversion that overflows costs an exception.
        std::int64_t bits = _PyLong_NumBits(value);
        if (bits < 0) return false;
        bool negative = _PyLong_Sign(value) < 0;
        if (bits <= 64) {
            if (!negative) {
                unsigned long long large = PyLong_AsUnsignedLongLong(value);
                if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
                write_uint(out_, large);
                return true;
            }
            int overflow = 0;
            long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (small == -1 && PyErr_Occurred()) return false;
            if (overflow == 0) {
                vesk::write_int(out_, small);
                return true;
            }
        }
        if (bits <= int_text_bits) {
            // Its digits: ASCII, and never as long as the repr limit, so written as they are.
            PyRef digits = PyRef::steal(PyLong_Type.tp_repr(value));
            if (!digits) return false;
            return put_int_text(
                type,
                std::string_view(static_cast<const char*>(PyUnicode_DATA(digits.get())),
                                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(digits.get()))));
        }
        ApproximateInt room;
        return put_int_text(type, approximate_int_text(value, bits, room));
    }

    // The text map of an int, its text in UTF-8 and shorter than the repr limit.
    bool put_int_text(PyTypeObject* type, std::string_view text) {
        out_.put(static_cast<char>(0x82));
        put_key(out_, "__type__");
        if (!put_type(type)) return false;
        put_key(out_, "__repr__");
        char header[5];
        out_.write(header, str_header(header, text.size()));
        out_.append(text);
        return true;
    }

    bool write_str(PyObject* value, PyTypeObject* type) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        std::ptrdiff_t keep = text_kept(length, bounds_.chars, text_);
        if (looks_secret(value, secret_scan(keep)))
            return out_.through([&](std::string& s) { return put_marker(s, value); });
        text_ -= keep;
        if (keep < length && !cut_start(type, static_cast<std::uint64_t>(length))) return false;
        out_.through([&](std::string& s) {
            put_safe_str(s, value, keep);
            return true;
        });
        return true;
    }

    bool write_bytes(PyTypeObject* type, const char* data, Py_ssize_t length) {
        std::ptrdiff_t keep = text_kept(length, bounds_.bytes, text_);
        text_ -= keep;
        if (keep < length && !cut_start(type, static_cast<std::uint64_t>(length))) return false;
        out_.through([&](std::string& s) {
            put_bin(s, data, static_cast<std::size_t>(keep));
            return true;
        });
        return true;
    }

    bool write_memoryview(PyObject* value, PyTypeObject* type) {
        auto* view = reinterpret_cast<PyMemoryViewObject*>(value);
        if ((view->flags & _Py_MEMORYVIEW_RELEASED) != 0) {
            Text text;
            PyRef repr = PyRef::steal(PyMemoryView_Type.tp_repr(value));
            if (!repr) return false;
            text.add(std::move(repr));
            return out_.through([&](std::string& s) { return put_text_map(s, type, text); });
        }
        Py_buffer* buffer = PyMemoryView_GET_BUFFER(value);
        Py_ssize_t length = buffer->len;
        std::ptrdiff_t keep = 0;
        if ((view->flags & _Py_MEMORYVIEW_C) != 0) {
            keep = text_kept(length, bounds_.bytes, text_);
            text_ -= keep;
        }
        // Bytes not in one piece: only the size is told.
        if (keep < length && !cut_start(type, static_cast<std::uint64_t>(length))) return false;
        out_.through([&](std::string& s) {
            put_bin(s, static_cast<const char*>(buffer->buf), static_cast<std::size_t>(keep));
            return true;
        });
        return true;
    }

    // A cut map up to its head, which the caller writes.
    bool cut_start(PyTypeObject* type, std::uint64_t length) {
        out_.put(static_cast<char>(0x83));
        put_key(out_, "__type__");
        if (!put_type(type)) return false;
        put_key(out_, "__len__");
        write_uint(out_, length);
        put_key(out_, "__head__");
        return true;
    }

    static Py_ssize_t base_length(PyObject* container) {
        // Lists and tuples first: telling a set apart walks the type's bases.
        if (PyList_Check(container) || PyTuple_Check(container)) return Py_SIZE(container);
        if (PyDict_Check(container)) return PyDict_GET_SIZE(container);
        if (PyAnySet_Check(container)) return PySet_GET_SIZE(container);
        return Py_SIZE(container);
    }

    bool write_container(PyObject* value, PyTypeObject* type, int depth) {
        const bool is_dict = PyDict_Check(value);
        Py_ssize_t length = base_length(value);
        auto empty = [&] {
            if (is_dict) {
                put_map_header(out_, 0);
            } else {
                put_array_header(out_, 0);
            }
        };
        if (length > 0) {
            bool written;
            if (!met_again(value, type, written)) return false;
            if (written) return true;
        }
        if (depth >= bounds_.depth || values_ <= 0) {
            if (length > 0 && !cut_start(type, static_cast<std::uint64_t>(length))) return false;
            empty();
            return true;
        }
        if (path_.contains(value)) {
            Text text;
            text.add(is_dict ? "{...}" : "[...]");
            return out_.through([&](std::string& s) { return put_text_map(s, type, text); });
        }
        std::ptrdiff_t keep = items_kept(length, bounds_.items, values_);
        if (keep < length && !cut_start(type, static_cast<std::uint64_t>(length))) return false;
        OnPath on_path(path_, value);
        InPlace in_place(*this, length > 0 ? look_into(value) : nowhere);
        if (is_dict) return write_dict_items(value, keep, depth);
        if (PyList_Check(value) || PyTuple_Check(value)) {
            put_array_header(out_, static_cast<std::size_t>(keep));
            PyObject** held = PyList_Check(value)
                                  ? reinterpret_cast<PyListObject*>(value)->ob_item
                                  : reinterpret_cast<PyTupleObject*>(value)->ob_item;
            std::ptrdiff_t deep = 0;
            for (std::ptrdiff_t i = 0; i < keep; ++i) deep += !is_leaf(held[i]);
            for (std::ptrdiff_t i = 0; i < keep; ++i) {
                // Held: nothing of ours runs the program's code, but an allocation may run a
                // finalizer on 3.11, which may change the list.
                if (i >= Py_SIZE(value)) {
                    out_.put(static_cast<char>(0xc0));
                    continue;
                }
                PyObject* borrowed =
                    PyList_Check(value) ? PyList_GET_ITEM(value, i) : PyTuple_GET_ITEM(value, i);
                if (write_plain(borrowed)) continue;
                PyRef item = PyRef::borrow(borrowed);
                if (!write_item(item.get(), depth + 1, deep, i)) return false;
            }
            return true;
        }
        std::vector<PyRef> items;
        if (!take_items(PyRef::steal(PySet_Type.tp_iter(value)), keep, items)) return false;
        return write_array(items, keep, depth);
    }

    // The first `keep` items of an iterator of the interpreter's, before any is written.
    static bool take_items(PyRef iterator, std::ptrdiff_t keep, std::vector<PyRef>& items) {
        if (!iterator) return false;
        items.reserve(static_cast<std::size_t>(keep));
        while (static_cast<std::ptrdiff_t>(items.size()) < keep) {
            PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
            if (!item) return !PyErr_Occurred();
            items.push_back(std::move(item));
        }
        return true;
    }

    // An array of `count` values: those taken, nil for any the container no longer had.
    bool write_array(const std::vector<PyRef>& items, std::ptrdiff_t count, int depth) {
        put_array_header(out_, static_cast<std::size_t>(count));
        std::ptrdiff_t deep = 0;
        for (const PyRef& item : items) deep += !is_leaf(item.get());
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            if (i >= static_cast<std::ptrdiff_t>(items.size())) {
                out_.put(static_cast<char>(0xc0));
                continue;
            }
            PyObject* item = items[static_cast<std::size_t>(i)].get();
            if (!write_plain(item) && !write_item(item, depth + 1, deep, i)) return false;
        }
        return true;
    }

    bool write_dict_items(PyObject* dict, std::ptrdiff_t keep, int depth) {
        put_map_header(out_, static_cast<std::size_t>(keep));
        Py_ssize_t position = 0;
        std::ptrdiff_t written = 0;
        PyObject* key;
        PyObject* item;
        std::ptrdiff_t deep = 0;
        while (written < keep && PyDict_Next(dict, &position, &key, &item)) {
            ++written;
            deep += !is_leaf(item);
        }
        position = 0;
        written = 0;
        while (written < keep && PyDict_Next(dict, &position, &key, &item)) {
            ++written;
            // Most entries are a short word and a scalar: written without references of ours.
            if (PyUnicode_CheckExact(key) && write_plain(key)) {
                if (!is_secret_name(key) && write_plain(item)) continue;
                PyRef held_key = PyRef::borrow(key);
                PyRef held_item = PyRef::borrow(item);
                if (!write_entry_shared(held_key.get(), held_item.get(), depth + 1, deep,
                                        PieceKind::key)) {
                    return false;
                }
                continue;
            }
            PyRef held_key = PyRef::borrow(key);
            PyRef held_item = PyRef::borrow(item);
            next_ = Piece{};
            if (!write(held_key.get(), depth + 1) ||
                !write_entry_shared(held_key.get(), held_item.get(), depth + 1, deep,
                                    PieceKind::key)) {
                return false;
            }
        }
        for (; written < keep; ++written) {  // the dict shrank meanwhile
            out_.put(static_cast<char>(0xc0));
            out_.put(static_cast<char>(0xc0));
        }
        return true;
    }

    // A dict's value or an object's field, or its marker when the name is a secret's.
    bool write_entry(PyObject* name, PyObject* value, int depth) {
        if ((PyUnicode_Check(name) && is_secret_name(name)) || is_secret_bytes_name(name)) {
            --values_;
            return out_.through([&](std::string& s) { return put_marker(s, value); });
        }
        return write(value, depth);
    }

    // A name in bytes (os.environ keeps its entries so) that names a secret.
    static bool is_secret_bytes_name(PyObject* name) {
        if (!PyBytes_CheckExact(name)) return false;
        PyRef text = PyRef::steal(
            PyUnicode_DecodeLatin1(PyBytes_AS_STRING(name), PyBytes_GET_SIZE(name), nullptr));
        if (!text) {
            PyErr_Clear();
            return true;  // unknown: redacted, as the safer reading
        }
        return is_secret_name(text.get());
    }

    // {"__type__": T, "__more__": nil} when the object is not to be looked into; true then.
    bool not_looked_into(PyObject* value, PyTypeObject* type, int depth, bool& written) {
        if (!met_again(value, type, written)) return false;
        if (written) return true;
        if (depth < bounds_.depth && values_ > 0 && !path_.contains(value)) return true;
        out_.put(static_cast<char>(0x82));
        put_key(out_, "__type__");
        if (!put_type(type)) return false;
        put_key(out_, "__more__");
        out_.put(static_cast<char>(0xc0));
        written = true;
        return true;
    }

    bool object_map(PyObject* value, PyTypeObject* type, int depth, const ObjectParts& parts) {
        std::uint32_t entries = 1 + (parts.args != nullptr) + (parts.items != nullptr) +
                                (parts.fields != nullptr) + (parts.more > 0);
        put_map_header(out_, entries);
        put_key(out_, "__type__");
        if (!put_type(type)) return false;
        {
            InPlace in_place(*this, look_into(value));
            OnPath on_path(path_, value);
            if (parts.args != nullptr) {
                put_key(out_, "__args__");
                if (!shared(1, Piece{PieceKind::text, ".args"},
                            [&] { return write(parts.args, depth + 1); })) {
                    return false;
                }
            }
            if (parts.items != nullptr) {
                put_key(out_, "__items__");
                auto count = static_cast<std::ptrdiff_t>(parts.items->size());
                if (!write_array(*parts.items, count, depth)) return false;
            }
            if (parts.fields != nullptr) {
                put_key(out_, "__fields__");
                put_map_header(out_, parts.fields->size());
                std::ptrdiff_t deep = 0;
                for (const Field& field : *parts.fields) deep += !is_leaf(field.value.get());
                for (const Field& field : *parts.fields) {
                    if (!write_name(field.name.get(), depth + 1) ||
                        !write_entry_shared(field.name.get(), field.value.get(), depth + 1, deep,
                                            PieceKind::field)) {
                        return false;
                    }
                }
            }
        }
        if (parts.more > 0) {
            put_key(out_, "__more__");
            write_uint(out_, static_cast<std::uint64_t>(parts.more));
        }
        return true;
    }

    // Of `count` fields, those kept: slots first, then the dict's entries.
    bool keep_fields(std::pmr::vector<Field>& slots, PyObject* dict, std::pmr::vector<Field>& kept,
                     std::ptrdiff_t& more) {
        auto count = static_cast<std::ptrdiff_t>(slots.size()) +
                     (dict != nullptr ? PyDict_GET_SIZE(dict) : 0);
        std::ptrdiff_t keep = items_kept(count, bounds_.items, values_);
        for (Field& slot : slots) {
            if (static_cast<std::ptrdiff_t>(kept.size()) >= keep) break;
            kept.push_back(std::move(slot));
        }
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* item;
        while (dict != nullptr && static_cast<std::ptrdiff_t>(kept.size()) < keep &&
               PyDict_Next(dict, &position, &key, &item)) {
            kept.push_back(Field{PyRef::borrow(key), PyRef::borrow(item)});
        }
        more += count - static_cast<std::ptrdiff_t>(kept.size());
        return true;
    }

    bool write_exception(PyObject* value, PyTypeObject* type, int depth) {
        bool written;
        if (!not_looked_into(value, type, depth, written)) return false;
        if (written) return true;
        auto* exception = reinterpret_cast<PyBaseExceptionObject*>(value);
        PyRef args = exception->args != nullptr && PyTuple_Check(exception->args)
                         ? PyRef::borrow(exception->args)
                         : PyRef::steal(PyTuple_New(0));
        if (!args) return false;
        PyRef dict = PyRef::borrow(exception->dict);
        ObjectParts parts;
        parts.args = args.get();
        FieldRoom slots;
        FieldRoom kept;
        if (dict && PyDict_CheckExact(dict.get()) && PyDict_GET_SIZE(dict.get()) > 0) {
            keep_fields(slots.fields, dict.get(), kept.fields, parts.more);
            parts.fields = &kept.fields;
        }
        return object_map(value, type, depth, parts);
    }

    bool write_named_tuple(PyObject* value, PyTypeObject* type, int depth, PyObject* names) {
        bool written;
        if (!not_looked_into(value, type, depth, written)) return false;
        if (written) return true;
        Py_ssize_t count = PyTuple_GET_SIZE(names);
        std::ptrdiff_t keep = items_kept(count, bounds_.items, values_);
        FieldRoom kept;
        for (std::ptrdiff_t i = 0; i < keep; ++i) {
            kept.fields.push_back(Field{PyRef::borrow(PyTuple_GET_ITEM(names, i)),
                                        PyRef::borrow(PyTuple_GET_ITEM(value, i))});
        }
        ObjectParts parts;
        parts.fields = &kept.fields;
        parts.more = count - keep;
        return object_map(value, type, depth, parts);
    }

    bool write_deque(PyObject* value, PyTypeObject* type, int depth) {
        bool written;
        if (!not_looked_into(value, type, depth, written)) return false;
        if (written) return true;
        auto* deque_type =
            reinterpret_cast<PyTypeObject*>(loaded_attribute("_collections", "deque"));
        if (deque_type == nullptr || !PyType_Check(deque_type)) {
            return write_fields(value, type, depth, {});
        }
        Py_ssize_t count = Py_SIZE(value);
        std::ptrdiff_t keep = items_kept(count, bounds_.items, values_);
        std::vector<PyRef> items;
        if (!take_items(PyRef::steal(deque_type->tp_iter(value)), keep, items)) return false;
        ObjectParts parts;
        parts.items = &items;
        parts.more = count - static_cast<std::ptrdiff_t>(items.size());
        return object_map(value, type, depth, parts);
    }

    bool write_fields(PyObject* value, PyTypeObject* type, int depth,
                      std::span<const PyRef> members) {
        if (members.empty() && !has_instance_dict(type)) {
            out_.put(static_cast<char>(0x81));
            put_key(out_, "__type__");
            return put_type(type);
        }
        bool written;
        if (!not_looked_into(value, type, depth, written)) return false;
        if (written) return true;
        FieldRoom slots;
        if (!read_slots(value, members, slots.fields)) return false;
        PyRef dict = instance_dict(value);
        if (PyErr_Occurred()) return false;
        FieldRoom kept;
        ObjectParts parts;
        keep_fields(slots.fields, dict.get(), kept.fields, parts.more);
        parts.fields = &kept.fields;
        return object_map(value, type, depth, parts);
    }

  public:
    Output out_;

  private:
    const Bounds bounds_;
    std::ptrdiff_t values_;
    std::ptrdiff_t text_;
    bool call_repr_;
    Path path_;
    Places places_;
    int current_ = -1;  // the place of the container or object being written
    Piece next_;        // where the value written next stands
    int last_same_place_ = -1;
    std::string last_same_;  // the same map last written, which refers to that place
};

// {"__type__": <type>, "__repr__": "<unserialisable>"}: what a value that could not be read
// becomes (a reading that failed for want of memory, or the like).
bool put_unserialisable(std::string& out, PyTypeObject* type) {
    Text text;
    text.add("<unserialisable>");
    return put_text_map(out, type, text);
}

template <class Body>
bool guarded_write(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const InternalFault& fault) {
        raise_panic(fault.what());
    }
    return false;
}

}  // namespace

namespace {

// Writes one of a record's values with `body`; when it cannot be read (an ordinary exception:
// memory running out, or the like), its type alone, the writer as it was before it. False only
// with what must propagate pending.
template <class Body>
bool write_part(Writer& writer, PyTypeObject* type, Body&& body) {
    Writer::Mark mark = writer.mark();
    if (guarded_write(body)) return true;
    if (!PyErr_Occurred() || !drop_ordinary()) return false;
    writer.back_to(mark);
    return writer.out_.through([&](std::string& s) { return put_unserialisable(s, type); });
}

}  // namespace

bool write_value(PyObject* value, const ValueStyle& style, std::string& out) {
    return guarded_write([&] {
        Writer writer(style.bounds(), style.call_repr);
        if (!write_part(writer, Py_TYPE(value),
                        [&] { return writer.write_root(value, "value", 1); }))
            return false;
        out.append(writer.out_.view());
        return true;
    });
}

bool write_record_values(PyObject* arg, std::span<const LocalVariable> locals, PyObject* mapping,
                         const ValueStyle& style, std::string& out, std::size_t& arg_size) {
    return guarded_write([&] {
        Writer writer(style.bounds(), style.call_repr);
        if (!write_part(writer, Py_TYPE(arg), [&] { return writer.write_root(arg, "arg", 2); }))
            return false;
        arg_size = writer.out_.size();
        bool ok =
            mapping != nullptr
                ? write_part(writer, &PyDict_Type,
                             [&] { return writer.write_root(mapping, "locals", 1); })
                : write_part(writer, &PyDict_Type, [&] { return writer.write_pairs(locals); });
        if (!ok) return false;
        out.append(writer.out_.view());
        return true;
    });
}

namespace {

PyObject* dump(ValueForm form, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
    return guarded_entry([&]() -> PyObject* {
        static const char* const names[] = {"", "call_repr", "value_scale"};
        if (count != 1) {
            PyErr_SetString(PyExc_TypeError,
                            "dump_msgpack() takes exactly one positional argument");
            return nullptr;
        }
        ValueStyle style;
        style.form = form;
        if (keywords != nullptr) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keywords); ++i) {
                PyObject* name = PyTuple_GET_ITEM(keywords, i);
                PyObject* given = args[count + i];
                if (PyUnicode_CompareWithASCIIString(name, names[1]) == 0) {
                    int truth = PyObject_IsTrue(given);
                    if (truth < 0) return nullptr;
                    style.call_repr = truth != 0;
                } else if (PyUnicode_CompareWithASCIIString(name, names[2]) == 0) {
                    if (!PyLong_CheckExact(given)) {
                        PyErr_SetString(PyExc_TypeError, "value_scale must be an int");
                        return nullptr;
                    }
                    long scale = PyLong_AsLong(given);
                    if (scale == -1 && PyErr_Occurred()) return nullptr;
                    if (scale < 1 || scale > 1024) {
                        PyErr_SetString(PyExc_ValueError, "value_scale must be from 1 to 1024");
                        return nullptr;
                    }
                    style.scale = static_cast<int>(scale);
                } else {
                    PyErr_Format(PyExc_TypeError,
                                 "dump_msgpack() got an unexpected keyword argument '%U'", name);
                    return nullptr;
                }
            }
        }
        std::string out;
        out.reserve(256);
        if (!write_value(args[0], style, out)) return nullptr;
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    });
}

}  // namespace

PyObject* native_dump_msgpack(PyObject*, PyObject* const* args, Py_ssize_t count,
                              PyObject* keywords) {
    return dump(ValueForm::full, args, PyVectorcall_NARGS(count), keywords);
}

PyObject* native_dump_msgpack_lightweight_repr(PyObject*, PyObject* const* args, Py_ssize_t count,
                                               PyObject* keywords) {
    return dump(ValueForm::lightweight, args, PyVectorcall_NARGS(count), keywords);
}

}  // namespace vesk
