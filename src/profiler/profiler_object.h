#pragma once
// The interpreter object that carries a profiler state. Its class surface (type creation,
// methods) belongs to the module entry; the layout and the type check are needed here, where
// the profile callback receives the object as its context.

#include "profiler/state.h"
#include "utils/pyref.h"

namespace vesk {

struct ProfilerObject {
    PyObject_HEAD ProfilerState* state;  // owned; never null in an instance handed out
};

// Set once, when the class surface creates the type.
extern PyTypeObject* profiler_type;

// The state of a VeskProfiler (or subclass instance); null when `object` is not one (or is one
// the cycle collector already cleared).
inline ProfilerState* profiler_state_of(PyObject* object) noexcept {
    if (profiler_type == nullptr || !PyObject_TypeCheck(object, profiler_type)) return nullptr;
    return reinterpret_cast<ProfilerObject*>(object)->state;
}

}  // namespace vesk
