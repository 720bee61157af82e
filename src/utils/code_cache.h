#pragma once
// What the engine remembers about a code object, attached to the code object itself (its extra
// slot) and freed with it: no answer can outlive the code it was computed for.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "utils/pyref.h"

namespace vesk {

struct CodeCache {
    // The code's co_filename and co_name as UTF-8, borrowed from the code object's strs.
    bool names_read = false;
    std::string_view filename;
    std::string_view code_name;

    // The filename relative to the working directory (a view into `filename`), for the reading
    // of the directory whose generation is given (0: none yet).
    std::uint64_t relative_generation = 0;
    std::string_view relative_path;

    // The frame filters' answer for this code's file name, for one profiler (see frame_filters).
    std::uintptr_t filter_answer = 0;
    // Whether one profiler has plugins for this code's name: the profiler's serial, shifted, and
    // the answer in the lowest bit.
    std::uintptr_t plugin_answer = 0;
    // Whether any recording live through sys.monitoring may want this code's events: the live
    // recordings' version, shifted, and the answer in the lowest bit.
    std::uintptr_t flow_answer = 0;

    // The file name of the code that last called this one (held), and whether it is where attrs
    // makes its methods (see frame_filters).
    PyRef attrs_caller_file;
    bool attrs_caller_answer = false;

    // Line numbers by instruction offset: a frame's current line is asked again and again at the
    // same offsets (the call sites of a loop, its returns), and computing it scans the line table.
    struct Line {
        int offset = -1;
        int line = 0;
    };
    std::array<Line, 8> lines{};

    // The qualified name "<module>.<co_qualname>" last computed for frames of this code, and the
    // module name object it was computed for (held): while a frame's globals give the same
    // object, the text is the same.
    PyRef qualname_module;
    std::string qualname;
    std::size_t qualname_module_length = 0;  // bytes of the module part, before the dot
};

// Reserves the code objects' extra slot; once, at module initialisation. Without it (every slot
// taken by other tools) nothing is remembered.
void reserve_code_cache();

// The code object's cache, created on first use; null when there is none.
CodeCache* code_cache(PyObject* code);

// The frame's current line (as PyFrame_GetLineNumber computes it), remembered per offset in the
// cache of the frame's code (when there is one).
int frame_line(PyFrameObject* frame, CodeCache* cache);
int frame_line(PyFrameObject* frame);

}  // namespace vesk
