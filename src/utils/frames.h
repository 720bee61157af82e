#pragma once
// Reading a running frame without materialising what the interpreter would build for Python
// code: its local variables straight from the frame's fast locals (no f_locals dictionary), and
// its caller's code (no frame object for the caller).

#include <cstddef>
#include <vector>

#include "utils/pyref.h"

namespace vesk {

struct LocalVariable {
    PyObject* name;  // borrowed from the code object, which outlives the frame's event
    PyRef value;     // held: code run while the event is recorded may rebind the variable
};

// The frame's bound local variables in the order of its code's fast locals (arguments, other
// locals, cells, then free variables), as the frame's locals mapping lists them, into `out`
// (cleared first). False when the frame keeps its locals in a mapping of its own (module and
// class bodies, code run by exec): then `out` is empty and the mapping is what to read.
bool read_fast_locals(PyFrameObject* frame, std::vector<LocalVariable>& out);

// The code object of the frame that called this one, as f_back names it; null when there is
// none. Borrowed: valid while the frame is running.
PyCodeObject* caller_code(PyFrameObject* frame) noexcept;

// The code object of the frame below the caller (the caller's caller); null when there is none.
PyCodeObject* callers_caller_code(PyFrameObject* frame) noexcept;

// Generators and coroutines: the profile function sees a frame of such code suspended (by a yield
// or an await) as a return, and resumed as a call. Their code has one of these flags.
inline bool is_generator_code(const PyCodeObject* code) noexcept {
    return (code->co_flags & (CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR)) != 0;
}

// At a call event of generator code: whether the frame resumes after a suspension rather than
// starts. False with the error indicator set when the code's instructions cannot be read.
Fallible<bool> resumes_suspended(PyFrameObject* frame, PyCodeObject* code);

// At a return event of generator code that no exception causes: whether the frame is suspended
// rather than finished.
Fallible<bool> is_suspended(PyFrameObject* frame, PyCodeObject* code);

// Whether the frame of generator code stands at the instruction that drives an awaited or
// delegated-to iterator (await, yield from). The StopIteration with which such an iterator ends is
// reported to the exception events as raised there, but it is that instruction's own result: the
// frame goes on with its value and never handles it. False with the error indicator set when the
// code's instructions cannot be read.
Fallible<bool> is_at_delegation(PyFrameObject* frame, PyCodeObject* code);

}  // namespace vesk
