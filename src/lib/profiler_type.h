#pragma once
// The interpreter-visible class VeskProfiler: no constructor, instances are made only when a
// profiler is registered.

#include <memory>

#include "profiler/state.h"
#include "utils/pyref.h"

namespace vesk {

// Wraps the state in a new VeskProfiler, creating the class on first use.
PyRef new_profiler_object(std::unique_ptr<ProfilerState> state);

}  // namespace vesk
