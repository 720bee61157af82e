#pragma once
// Whether a frame is of interest: the configured include fragments force it in, the built-in
// filters and the configured ignore fragments keep it out.

#include <cstdint>
#include <string_view>
#include <vector>

#include "filters/path_fragment.h"
#include "utils/code_cache.h"
#include "utils/pyref.h"

namespace vesk {

// True when the calling frame (or, past one frame without a file name, the one below it) runs
// attrs' code generator. Broken frame invariants are internal faults. The frame's code cache, when
// there is one, remembers the answer for the last caller's file.
bool attrs_generated_filter(PyFrameObject* frame, std::string_view filename, CodeCache* cache);

struct FrameFilters {
    const std::vector<PathFragment>& include_frames;
    const std::vector<PathFragment>& ignore_frames;
    // Identifies these fragment lists among all profilers: answers that depend on the file name
    // alone are remembered on the code object under it.
    std::uint64_t cache_key;
};

// The eight tests: include, library, frozen, own package, "<string>", pytest expression, attrs,
// ignore. Of interest: included, or caught by none. The tests on the file name are answered once
// per code object; the attrs test, which looks at the caller, only when the others leave the
// answer open.
// `cache` is the frame's code's cache (null when there is none).
bool is_frame_of_interest(const FrameFilters& filters, PyFrameObject* frame, CodeCache* cache,
                          std::string_view filename);

// Whether a frame of code from this file may be of interest, whatever its caller: the tests on the
// file name alone. False: no frame of that code ever is.
bool may_be_of_interest(const FrameFilters& filters, CodeCache* cache, std::string_view filename);

}  // namespace vesk
