// The layout of frames and code objects is the interpreter's own; it is read through its
// internal headers, compiled for the version the engine is built for.
#define VESK_FRAME_INTERNALS 1
#include "utils/frames.h"

namespace vesk {

namespace {

PyCodeObject* code_of(_PyInterpreterFrame* frame) noexcept {
    return compat::frame_code(frame);
}

// What f_back would give: the frame object's own link, else the first complete frame below.
_PyInterpreterFrame* caller_of(_PyInterpreterFrame* frame, PyFrameObject* object) noexcept {
    if (object != nullptr && object->f_back != nullptr) return object->f_back->f_frame;
    return compat::first_complete(frame->previous);
}

// The opcode and argument of the instruction the frame stands at, as co_code spells it (without
// the interpreter's specialised and instrumented forms); none when it has no such instruction.
struct Instruction {
    int opcode = -1;
    int argument = 0;
};

Fallible<Instruction> current_instruction(PyFrameObject* frame, PyCodeObject* code) {
    int offset = PyFrame_GetLasti(frame);
    if (offset < 0) return Instruction{};
    // Kept on the code object once computed: asking again costs a reference.
    PyRef bytes = PyRef::steal(PyCode_GetCode(code));
    if (!bytes) return failed;
    if (offset + 1 >= PyBytes_GET_SIZE(bytes.get())) return Instruction{};
    const auto* units = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    return Instruction{units[offset], units[offset + 1]};
}

}  // namespace

Fallible<bool> resumes_suspended(PyFrameObject* frame, PyCodeObject* code) {
    auto instruction = current_instruction(frame, code);
    if (!instruction.ok()) return failed;
    // A start stands at the code's first RESUME, whose argument says so; a frame resumed by a
    // value (send) or an exception (throw, close) stands at its yield or the RESUME after it.
    return !(instruction->opcode == RESUME && (instruction->argument & 3) == 0);
}

Fallible<bool> is_suspended(PyFrameObject* frame, PyCodeObject* code) {
    auto instruction = current_instruction(frame, code);
    if (!instruction.ok()) return failed;
    return instruction->opcode >= 0 && !compat::is_return_opcode(instruction->opcode);
}

Fallible<bool> is_at_delegation(PyFrameObject* frame, PyCodeObject* code) {
    auto instruction = current_instruction(frame, code);
    if (!instruction.ok()) return failed;
    return instruction->opcode == SEND;
}

bool read_fast_locals(PyFrameObject* frame_object, std::vector<LocalVariable>& out) {
    out.clear();
    _PyInterpreterFrame* frame = frame_object->f_frame;
    PyCodeObject* code = code_of(frame);
    if (!(code->co_flags & CO_OPTIMIZED)) return false;
    const int count = code->co_nlocalsplus;
    for (int i = 0; i < count; ++i) {
        _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
        // A comprehension's variables live in its function's frame, but are not its locals.
        if (kind & compat::hidden_local) continue;
        PyObject* value = frame->localsplus[i];
        if (value == nullptr) continue;
        // Every event comes after the code's prologue has made its cells, so a cell or free
        // variable's slot holds the cell, whose content is the variable's value.
        if ((kind & (CO_FAST_CELL | CO_FAST_FREE)) && PyCell_Check(value)) {
            value = PyCell_GET(value);
            if (value == nullptr) continue;
        }
        out.push_back({PyTuple_GET_ITEM(code->co_localsplusnames, i), PyRef::borrow(value)});
    }
    return true;
}

PyCodeObject* caller_code(PyFrameObject* frame) noexcept {
    _PyInterpreterFrame* caller = caller_of(frame->f_frame, frame);
    return caller != nullptr ? code_of(caller) : nullptr;
}

PyCodeObject* callers_caller_code(PyFrameObject* frame) noexcept {
    _PyInterpreterFrame* caller = caller_of(frame->f_frame, frame);
    if (caller == nullptr) return nullptr;
    _PyInterpreterFrame* next = caller_of(caller, caller->frame_obj);
    return next != nullptr ? code_of(next) : nullptr;
}

}  // namespace vesk
