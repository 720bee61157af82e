#include "profiler/callback.h"

#include "profiler/profiler_object.h"
#include "utils/errors.h"

namespace vesk {

int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* /*arg*/) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
    ProfilerState* state = profiler_state_of(profiler);
    if (state == nullptr) {
        if (profiler == nullptr) {
            raise_panic("the profile function has no profiler");
        } else {
            set_type_mismatch(profiler, "VeskProfiler");
        }
        return -1;
    }
    if (frame == nullptr) {
        raise_panic("Python gives us a PyFrame");
        return -1;
    }
    return 0;
}

int noop_profile_callback(PyObject*, PyFrameObject*, int, PyObject*) {
    return 0;
}

}  // namespace vesk
