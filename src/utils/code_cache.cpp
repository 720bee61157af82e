#include "utils/code_cache.h"

#include "utils/finalize.h"

namespace vesk {

namespace {

Py_ssize_t extra_index = -1;

// Called by the interpreter, with its lock held, when the code object goes.
void free_cache(void* cache) {
    delete static_cast<CodeCache*>(cache);
}

}  // namespace

void reserve_code_cache() {
    if (extra_index >= 0) return;
    extra_index = PyUnstable_Eval_RequestCodeExtraIndex(free_cache);
    // The index belongs to this interpreter: the next one hands out its own.
    if (extra_index >= 0) forget_at_finalize([] { extra_index = -1; });
}

CodeCache* code_cache(PyObject* code) {
    if (extra_index < 0) return nullptr;
    void* extra = nullptr;
    if (PyUnstable_Code_GetExtra(code, extra_index, &extra) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    if (extra != nullptr) return static_cast<CodeCache*>(extra);
    auto* cache = new CodeCache();
    if (PyUnstable_Code_SetExtra(code, extra_index, cache) < 0) {
        PyErr_Clear();
        delete cache;
        return nullptr;
    }
    return cache;
}

int frame_line(PyFrameObject* frame) {
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    return frame_line(frame, code_cache(code.get()));
}

int frame_line(PyFrameObject* frame, CodeCache* cache) {
    int offset = PyFrame_GetLasti(frame);
    if (cache == nullptr || offset < 0) return PyFrame_GetLineNumber(frame);
    CodeCache::Line& slot = cache->lines[static_cast<unsigned>(offset >> 1) % cache->lines.size()];
    if (slot.offset != offset) {
        slot.line = PyFrame_GetLineNumber(frame);
        slot.offset = offset;
    }
    return slot.line;
}

}  // namespace vesk
