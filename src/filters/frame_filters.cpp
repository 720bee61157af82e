#include "filters/frame_filters.h"

#include "filters/builtin_filters.h"
#include "utils/code_cache.h"
#include "utils/errors.h"
#include "utils/frames.h"

namespace vesk {

namespace {

std::string_view filename_of(PyCodeObject* code) {
    PyObject* filename = code->co_filename;
    if (filename == nullptr || !PyUnicode_Check(filename)) {
        internal_fault("A code object has a filename.");
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(filename, &size);
    if (text == nullptr) internal_fault_from_pending("A filename is a string.");
    return {text, static_cast<std::size_t>(size)};
}

}  // namespace

bool attrs_generated_filter(PyFrameObject* frame, std::string_view filename, CodeCache* cache) {
    if (attrs_generated_name(filename)) return true;
    // Read off the interpreter's frames: asking for f_back would build a frame object for the
    // caller at every event.
    PyCodeObject* caller = caller_code(frame);
    if (caller == nullptr) return false;
    // The answer depends on the caller's file name alone, and a function is mostly called from
    // one file: the last one is remembered with the callee's code, its name held.
    PyObject* caller_file = caller->co_filename;
    if (cache != nullptr && cache->attrs_caller_file.get() == caller_file) {
        return cache->attrs_caller_answer;
    }
    std::string_view name = filename_of(caller);
    if (name.empty()) {
        // One frame without a file name (a native trampoline) is skipped; never more.
        caller = callers_caller_code(frame);
        if (caller == nullptr) return false;
        return attrs_maker_file(filename_of(caller));
    }
    bool answer = attrs_maker_file(name);
    if (cache != nullptr) {
        cache->attrs_caller_file = PyRef::borrow(caller_file);
        cache->attrs_caller_answer = answer;
    }
    return answer;
}

namespace {

// Remembered per code object as one value: the cache key, and two bits.
constexpr std::uintptr_t kIncluded = 1;
constexpr std::uintptr_t kExcluded = 2;

struct NameDecision {
    bool included;
    bool excluded;  // by a built-in test on the name or by an ignore fragment
};

NameDecision decide_by_name(const FrameFilters& filters, std::string_view filename) {
    bool include = any_found_in(filters.include_frames, filename);
    bool library = library_filter(filename);
    bool frozen = frozen_filter(filename);
    bool own_package = own_package_filter(filename);
    bool exec_string = exec_string_filter(filename);
    bool pytest_expression = pytest_expression_filter(filename);
    bool generated = generated_name_filter(filename);
    bool ignore = any_found_in(filters.ignore_frames, filename);
    return {include, library || frozen || own_package || exec_string || pytest_expression ||
                         generated || ignore};
}

NameDecision decision_for(const FrameFilters& filters, CodeCache* cache,
                          std::string_view filename) {
    const std::uintptr_t tag = static_cast<std::uintptr_t>(filters.cache_key) << 2;
    if (cache != nullptr && cache->filter_answer != 0 &&
        (cache->filter_answer & ~std::uintptr_t{3}) == tag) {
        return {(cache->filter_answer & kIncluded) != 0, (cache->filter_answer & kExcluded) != 0};
    }
    NameDecision decision = decide_by_name(filters, filename);
    if (cache != nullptr) {
        cache->filter_answer =
            tag | (decision.included ? kIncluded : 0) | (decision.excluded ? kExcluded : 0);
    }
    return decision;
}

}  // namespace

bool may_be_of_interest(const FrameFilters& filters, CodeCache* cache, std::string_view filename) {
    NameDecision by_name = decision_for(filters, cache, filename);
    return by_name.included || !by_name.excluded;
}

bool is_frame_of_interest(const FrameFilters& filters, PyFrameObject* frame, CodeCache* cache,
                          std::string_view filename) {
    NameDecision by_name = decision_for(filters, cache, filename);
    // The caller is looked at only where its answer counts: the name decides most events (every
    // one of library code), and looking has no effect of its own.
    if (by_name.included) return true;
    if (by_name.excluded) return false;
    return !attrs_generated_filter(frame, filename, cache);
}

}  // namespace vesk
