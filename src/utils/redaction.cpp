#include "utils/redaction.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "utils/errors.h"
#include "utils/finalize.h"

namespace vesk {

namespace {

// ---- Names ------------------------------------------------------------------------------------

using Pattern = std::vector<std::string>;
std::vector<Pattern> patterns;

bool is_upper(Py_UCS4 c) {
    return c >= 'A' && c <= 'Z';
}
bool is_lower(Py_UCS4 c) {
    return c >= 'a' && c <= 'z';
}
bool is_digit(Py_UCS4 c) {
    return c >= '0' && c <= '9';
}

// The word parts of a name, lower-cased, as vesk.filters.secrets splits it: runs of capitals
// before a capitalised word ("HTTPHeader": http, header), capitalised or lower-case words, and
// digits; any other character separates parts.
template <class Char>
std::vector<std::string> parts_of(const Char* chars, Py_ssize_t count) {
    std::vector<std::string> parts;
    auto run = [&](Py_ssize_t from, bool (*in)(Py_UCS4)) {
        while (from < count && in(chars[from])) ++from;
        return from;
    };
    auto add = [&](Py_ssize_t from, Py_ssize_t to) {
        std::string& part = parts.emplace_back();
        for (Py_ssize_t i = from; i < to; ++i) {
            auto c = static_cast<char>(chars[i]);
            part.push_back(is_upper(chars[i]) ? static_cast<char>(c | 0x20) : c);
        }
    };
    Py_ssize_t i = 0;
    while (i < count) {
        Py_UCS4 c = chars[i];
        if (is_upper(c)) {
            Py_ssize_t capitals_end = run(i, is_upper);
            bool word_follows = capitals_end < count && is_lower(chars[capitals_end]);
            if (!word_follows || capitals_end - i >= 2) {
                // All the capitals, or all but the one that starts the word after them.
                Py_ssize_t end = word_follows ? capitals_end - 1 : capitals_end;
                add(i, end);
                i = end;
                continue;
            }
            Py_ssize_t end = run(i + 1, is_lower);
            add(i, end);
            i = end;
        } else if (is_lower(c)) {
            Py_ssize_t end = run(i, is_lower);
            add(i, end);
            i = end;
        } else if (is_digit(c)) {
            Py_ssize_t end = run(i, is_digit);
            add(i, end);
            i = end;
        } else {
            ++i;
        }
    }
    return parts;
}

// Equal, or in the plural ("tokens" for "token").
bool part_matches(std::string_view part, std::string_view wanted) {
    return part == wanted ||
           (part.size() == wanted.size() + 1 && part.back() == 's' && part.starts_with(wanted));
}

// A part that runs a pattern's words together at its end ("csrftoken", "userpassword",
// "sessionid" for "session id"), as the usual cookie and field names do.
bool runs_together(std::string_view part, const Pattern& pattern) {
    std::string joined;
    for (const std::string& word : pattern) joined += word;
    return part.ends_with(joined) || (part.ends_with('s') && part.size() > joined.size() &&
                                      part.substr(0, part.size() - 1).ends_with(joined));
}

bool matches_patterns(const std::vector<std::string>& parts) {
    for (const Pattern& pattern : patterns) {
        for (const std::string& part : parts) {
            if (runs_together(part, pattern)) return true;
        }
        if (pattern.size() > parts.size()) continue;
        for (std::size_t at = 0; at + pattern.size() <= parts.size(); ++at) {
            std::size_t k = 0;
            while (k < pattern.size() && part_matches(parts[at + k], pattern[k])) ++k;
            if (k == pattern.size()) return true;
        }
    }
    return false;
}

bool name_is_secret(PyObject* name) {
    Py_ssize_t count = PyUnicode_GET_LENGTH(name);
    const void* data = PyUnicode_DATA(name);
    switch (PyUnicode_KIND(name)) {
        case PyUnicode_1BYTE_KIND:
            return matches_patterns(parts_of(static_cast<const Py_UCS1*>(data), count));
        case PyUnicode_2BYTE_KIND:
            return matches_patterns(parts_of(static_cast<const Py_UCS2*>(data), count));
        default:
            return matches_patterns(parts_of(static_cast<const Py_UCS4*>(data), count));
    }
}

using redaction_detail::known_name_slot;
using redaction_detail::known_names;
using redaction_detail::KnownName;

constexpr Py_ssize_t known_name_longest = 64;  // a longer str is not kept alive for this
bool known_names_armed = false;

void forget_known_names() {
    for (KnownName& known : known_names) Py_XDECREF(std::exchange(known.name, nullptr));
}

// ---- Shapes -----------------------------------------------------------------------------------

// The bounds and alphabets of vesk.filters.secrets.looks_secret.
constexpr Py_ssize_t shape_scan = 64 * 1024;
constexpr Py_ssize_t auth_token_min = 8;
constexpr Py_ssize_t jwt_min = 20;
constexpr std::string_view pem_begin = "-----BEGIN ";
constexpr std::string_view pem_dashes = "-----";
constexpr std::string_view pem_label_ends[] = {"PRIVATE KEY", "PRIVATE KEY BLOCK"};
constexpr std::string_view url_separator = "://";
// A password taken out already (vesk.filters.secrets.redacted_inside): no secret.
constexpr std::string_view redacted = "[redacted]";

bool is_alnum(Py_UCS4 c) {
    return is_upper(c) || is_lower(c) || is_digit(c);
}
bool is_token68(Py_UCS4 c) {
    return is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '+' || c == '/' ||
           c == '=';
}
bool is_base64url_or_dot(Py_UCS4 c) {
    return is_alnum(c) || c == '-' || c == '_' || c == '.';
}

template <class Char>
struct Chars {
    const Char* data;
    Py_ssize_t count;

    Py_UCS4 operator[](Py_ssize_t i) const { return data[i]; }

    // Where `needle` (ASCII) first starts at or after `from` and before `end`; -1 if nowhere.
    Py_ssize_t find(std::string_view needle, Py_ssize_t from, Py_ssize_t end) const {
        auto size = static_cast<Py_ssize_t>(needle.size());
        if constexpr (sizeof(Char) == 1) {
            // Latin-1 bytes: an ASCII needle is found byte for byte, its first byte by memchr.
            const auto* bytes = reinterpret_cast<const char*>(data);
            while (from + size <= end) {
                const void* first = std::memchr(bytes + from, needle[0],
                                                static_cast<std::size_t>(end - size - from + 1));
                if (first == nullptr) return -1;
                Py_ssize_t at = static_cast<const char*>(first) - bytes;
                if (std::memcmp(bytes + at + 1, needle.data() + 1, needle.size() - 1) == 0)
                    return at;
                from = at + 1;
            }
            return -1;
        } else {
            for (Py_ssize_t at = from; at + size <= end; ++at) {
                Py_ssize_t k = 0;
                while (k < size && data[at + k] == static_cast<Py_UCS4>(needle[k])) ++k;
                if (k == size) return at;
            }
            return -1;
        }
    }

    bool equals(Py_ssize_t from, Py_ssize_t end, std::string_view ascii) const {
        return end - from == static_cast<Py_ssize_t>(ascii.size()) && ends_with(from, end, ascii);
    }

    bool ends_with(Py_ssize_t from, Py_ssize_t end, std::string_view suffix) const {
        auto size = static_cast<Py_ssize_t>(suffix.size());
        if (end - from < size) return false;
        for (Py_ssize_t k = 0; k < size; ++k) {
            if (data[end - size + k] != static_cast<Py_UCS4>(suffix[k])) return false;
        }
        return true;
    }
};

template <class Char>
bool is_authorization(Chars<Char> text) {
    for (std::string_view scheme : {std::string_view("bearer"), std::string_view("basic")}) {
        auto size = static_cast<Py_ssize_t>(scheme.size());
        Py_ssize_t k = 0;
        while (k < size && k < text.count) {
            Py_UCS4 c = text[k];
            if ((is_upper(c) ? (c | 0x20) : c) != static_cast<Py_UCS4>(scheme[k])) break;
            ++k;
        }
        if (k < size) continue;
        Py_ssize_t token = size;
        while (token < text.count && text[token] == ' ') ++token;
        if (token == size) return false;  // no space after the scheme
        if (text.count - token < auth_token_min) return false;
        for (Py_ssize_t i = token; i < text.count; ++i) {
            if (!is_token68(text[i])) return false;
        }
        return true;
    }
    return false;
}

template <class Char>
bool is_jwt(Chars<Char> text) {
    if (text.count < jwt_min || text[1] != 'y' || text[2] != 'J') return false;
    Py_ssize_t dots = 0;
    for (Py_ssize_t i = 0; i < text.count; ++i) {
        Py_UCS4 c = text[i];
        if (!is_base64url_or_dot(c)) return false;
        dots += c == '.';
    }
    return dots >= 2;
}

template <class Char>
bool has_private_pem(Chars<Char> text) {
    Py_ssize_t end = std::min(text.count, shape_scan);
    Py_ssize_t at = text.find(pem_begin, 0, end);
    while (at >= 0) {
        Py_ssize_t label = at + static_cast<Py_ssize_t>(pem_begin.size());
        Py_ssize_t dashes = text.find(pem_dashes, label, end);
        if (dashes < 0) return false;
        for (std::string_view suffix : pem_label_ends) {
            if (text.ends_with(label, dashes, suffix)) return true;
        }
        at = text.find(pem_begin, dashes, end);
    }
    return false;
}

bool ends_url_user(Py_UCS4 c) {
    return c == '/' || c == '?' || c == '#' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

template <class Char>
bool has_url_password(Chars<Char> text) {
    Py_ssize_t end = std::min(text.count, shape_scan);
    Py_ssize_t at = text.find(url_separator, 0, end);
    while (at >= 0) {
        Py_ssize_t colon = -1;
        for (Py_ssize_t i = at + 3; i < end; ++i) {
            Py_UCS4 c = text[i];
            if (c == '@') {
                if (colon >= 0 && colon < i - 1 && !text.equals(colon + 1, i, redacted))
                    return true;
                break;
            }
            if (ends_url_user(c)) break;
            if (c == ':' && colon < 0) colon = i;
        }
        at = text.find(url_separator, at + 3, end);
    }
    return false;
}

template <class Char>
bool has_shape(Chars<Char> text) {
    Py_UCS4 first = text[0];
    if ((first == 'B' || first == 'b') && is_authorization(text)) return true;
    if (first == 'e' && is_jwt(text)) return true;
    return has_private_pem(text) || has_url_password(text);
}

}  // namespace

namespace redaction_detail {

std::array<KnownName, std::size_t{1} << known_name_bits> known_names;

bool is_secret_name_slowly(PyObject* name) {
    if (patterns.empty()) return false;
    if (!PyUnicode_CheckExact(name) || PyUnicode_GET_LENGTH(name) > known_name_longest) {
        return name_is_secret(name);
    }
    KnownName& slot = known_name_slot(name);
    bool secret = name_is_secret(name);
    if (!known_names_armed) {
        // After the interpreter is gone: its objects are not released, only forgotten.
        forget_at_finalize([] {
            for (KnownName& known : known_names) known.name = nullptr;
            known_names_armed = false;
        });
        known_names_armed = true;
    }
    Py_XDECREF(std::exchange(slot.name, Py_NewRef(name)));
    slot.secret = secret;
    return secret;
}

bool has_secret_shape(PyObject* text, Py_ssize_t count) {
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return has_shape(Chars<Py_UCS1>{static_cast<const Py_UCS1*>(data), count});
        case PyUnicode_2BYTE_KIND:
            return has_shape(Chars<Py_UCS2>{static_cast<const Py_UCS2*>(data), count});
        default:
            return has_shape(Chars<Py_UCS4>{static_cast<const Py_UCS4*>(data), count});
    }
}

}  // namespace redaction_detail

PyObject* set_redaction(PyObject*, PyObject* given) {
    return guarded_entry([&]() -> PyObject* {
        std::vector<Pattern> parsed;
        PyRef outer = PyRef::steal(PySequence_Fast(given, "patterns must be a sequence"));
        if (!outer) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(outer.get()); ++i) {
            PyRef inner = PyRef::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(outer.get(), i),
                                                       "a pattern must be a sequence of parts"));
            if (!inner) return nullptr;
            Pattern& pattern = parsed.emplace_back();
            for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(inner.get()); ++k) {
                PyObject* part = PySequence_Fast_GET_ITEM(inner.get(), k);
                Py_ssize_t size = 0;
                const char* text =
                    PyUnicode_Check(part) ? PyUnicode_AsUTF8AndSize(part, &size) : nullptr;
                if (text == nullptr) {
                    if (!PyErr_Occurred()) {
                        PyErr_SetString(PyExc_TypeError, "a pattern's parts must be strs");
                    }
                    return nullptr;
                }
                pattern.emplace_back(text, static_cast<std::size_t>(size));
            }
            if (pattern.empty()) parsed.pop_back();  // would match every name
        }
        patterns = std::move(parsed);
        forget_known_names();
        Py_RETURN_NONE;
    });
}

}  // namespace vesk
