#pragma once
// What the engine keeps in statics for the life of an interpreter (interned names, classes,
// caches) dies with it. Each is registered here when first filled, and emptied once the
// interpreter has finalised, so that a program that initialises Python again starts afresh
// instead of using freed objects.

#include "utils/pyref.h"

namespace vesk {

// Arranges the clean-up for the running interpreter; called at module initialisation. False with
// the error indicator set when the interpreter has no room for it.
bool arm_finalize_reset();

// `slot` is set to null at finalisation (the interpreter frees the object itself).
void forget_at_finalize(PyObject** slot);

// `reset` runs at finalisation, after the interpreter is gone: it may not call into it.
void forget_at_finalize(void (*reset)());

}  // namespace vesk
