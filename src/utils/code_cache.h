#pragma once
// What the engine remembers about a code object, attached to the code object itself (its extra
// slot) and freed with it: no answer can outlive the code it was computed for.

#include <array>
#include <cstdint>

#include "utils/pyref.h"

namespace vesk {

struct CodeCache {
    // The frame filters' answer for this code's file name, for one profiler (see frame_filters).
    std::uintptr_t filter_answer = 0;
    // Whether one profiler has plugins for this code's name: the profiler's serial, shifted, and
    // the answer in the lowest bit.
    std::uintptr_t plugin_answer = 0;

    // Line numbers by instruction offset: a frame's current line is asked again and again at the
    // same offsets (the call sites of a loop, its returns), and computing it scans the line table.
    struct Line {
        int offset = -1;
        int line = 0;
    };
    std::array<Line, 8> lines{};
};

// Reserves the code objects' extra slot; once, at module initialisation. Without it (every slot
// taken by other tools) nothing is remembered.
void reserve_code_cache();

// The code object's cache, created on first use; null when there is none.
CodeCache* code_cache(PyObject* code);

// The frame's current line (as PyFrame_GetLineNumber computes it), remembered per offset.
// `code` is the frame's code object, when the caller already holds it.
int frame_line(PyFrameObject* frame, PyObject* code);
int frame_line(PyFrameObject* frame);

}  // namespace vesk
