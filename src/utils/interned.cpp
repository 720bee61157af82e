#include "utils/interned.h"

#include "utils/finalize.h"

namespace vesk {

InternedNames interned;

bool intern_names() {
    if (interned.config != nullptr) return true;
    InternedNames names;
#define VESK_INTERN_NAME(field, text)               \
    names.field = PyUnicode_InternFromString(text); \
    if (names.field == nullptr) return false;
    VESK_INTERNED_NAMES(VESK_INTERN_NAME)
#undef VESK_INTERN_NAME
    // Kept for the life of the interpreter: the strong references are never released.
    interned = names;
    forget_at_finalize([] { interned = InternedNames{}; });
    return true;
}

}  // namespace vesk
