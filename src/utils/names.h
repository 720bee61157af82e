#pragma once
// Names the engine reads off the interpreter: the qualified name of the code running in a frame,
// and the name and native id of the running thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "utils/pyref.h"

namespace vesk {

// The text of an object, its str(). When str() raises, the error goes to the unraisable hook and
// the text is "<unprintable T object>". Null only when memory is exhausted.
PyRef text_of(PyObject* object);

// "<module>.<qualname>" in two parts: the text of the frame's globals' "__name__" (so code run
// with borrowed globals is named after them; none when they have no "__name__") and the code
// object's co_qualname. The views are borrowed from the two text objects held here.
struct QualifiedName {
    PyRef module_text;
    PyRef qualname_text;
    std::optional<std::string_view> module;
    std::string_view qualname;
};

Fallible<QualifiedName> get_qualname(PyFrameObject* frame);

struct CodeCache;

// The same, remembered in the frame's code's cache (when there is one) for as long as the
// frame's globals give the same "__name__" object: the views then point into the cache.
Fallible<QualifiedName> cached_qualname(PyFrameObject* frame, CodeCache* cache);

struct ThreadIdentity {
    std::string name;
    std::optional<std::uint64_t> native_id;
};

// threading.current_thread()'s name (a str) and native id (absent when the attribute is missing
// or None).
Fallible<ThreadIdentity> current_thread_info();

}  // namespace vesk
