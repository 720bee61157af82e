#pragma once
// What differs between the interpreter versions the engine is built for (CPython 3.11 to 3.13),
// kept in this one place: the newer interfaces the engine uses, given to the older versions, and
// the switches for what an older version does not have at all.

// Included by pyref.h, right after Python.h.

#if PY_VERSION_HEX < 0x030C0000

// The pending exception as one object, its traceback attached.
inline PyObject* PyErr_GetRaisedException() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Sets the exception (a reference is taken over) as the pending one; null clears it.
inline void PyErr_SetRaisedException(PyObject* exception) {
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}

// An int that fits one digit, read without converting it.
inline int PyUnstable_Long_IsCompact(const PyLongObject* number) {
    return Py_ABS(Py_SIZE(number)) <= 1;
}
inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject* number) {
    Py_ssize_t size = Py_SIZE(number);
    auto digit = static_cast<Py_ssize_t>(number->ob_digit[0]);
    return size == 0 ? 0 : size > 0 ? digit : -digit;
}

// A new reference to the type's dictionary.
inline PyObject* PyType_GetDict(PyTypeObject* type) {
    return Py_XNewRef(type->tp_dict);
}

// Dict watchers come with 3.12: before, asking for one fails, and the serialiser's lookup, which
// they would let it remember, is made at every event.
using PyDict_WatchEvent = int;
using PyDict_WatchCallback = int (*)(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*);
inline int PyDict_AddWatcher(PyDict_WatchCallback) {
    return -1;
}
inline int PyDict_Watch(int, PyObject*) {
    return -1;
}

#define PyUnstable_Code_GetExtra _PyCode_GetExtra
#define PyUnstable_Code_SetExtra _PyCode_SetExtra
#define PyUnstable_Eval_RequestCodeExtraIndex _PyEval_RequestCodeExtraIndex

#endif

// The digits of an int as the interpreter keeps them, least significant first, and how many:
// read in place, so that what is told of a big int costs the same whatever its size.
inline const digit* long_digits(const PyLongObject* number) {
#if PY_VERSION_HEX >= 0x030C0000
    return number->long_value.ob_digit;
#else
    return number->ob_digit;
#endif
}
inline Py_ssize_t long_digit_count(const PyLongObject* number) {
#if PY_VERSION_HEX >= 0x030C0000
    return static_cast<Py_ssize_t>(number->long_value.lv_tag >> 3);
#else
    return Py_ABS(Py_SIZE(number));
#endif
}

#if PY_VERSION_HEX < 0x030D0000
// Whether the interpreter is finalising: public from 3.13.
inline int Py_IsFinalizing() {
    return _Py_IsFinalizing();
}
#endif

#if PY_VERSION_HEX >= 0x030D0000
// Whether the calling thread is the main thread: internal since 3.13, still exported.
extern "C" PyAPI_FUNC(int) _PyOS_IsMainThread(void);
#endif

#if PY_VERSION_HEX >= 0x030D0000
// Setting another thread's profile function: public up to 3.12, internal since (and still
// exported, as PyEval_SetProfileAllThreads is built on it).
extern "C" PyAPI_FUNC(int)
    _PyEval_SetProfile(PyThreadState* thread, Py_tracefunc function, PyObject* context);
#endif

namespace vesk::compat {

// sys.monitoring (3.12) reports where an exception is raised, re-raised and caught, and which
// frames it leaves. Before it, a profile function only sees that a frame was left by an
// exception: its return event carries no value.
inline constexpr bool exception_events = PY_VERSION_HEX >= 0x030C0000;

// Whether the type's version tag stands for its current state. 3.13 no longer sets the flag
// that said so: a tag is valid there when it is not 0.
inline bool type_version_is_valid(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag != 0;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

}  // namespace vesk::compat

#ifdef VESK_FRAME_INTERNALS
// The interpreter's own layout of frames and code objects, from its internal headers: only for
// the file that reads frames (it defines VESK_FRAME_INTERNALS before any include).
#if PY_VERSION_HEX >= 0x030D0000
#define Py_BUILD_CORE 1
#else
#define Py_BUILD_CORE_MODULE 1
#endif
#include <internal/pycore_code.h>
#include <internal/pycore_frame.h>
#include <opcode.h>

namespace vesk::compat {

inline PyCodeObject* frame_code(_PyInterpreterFrame* frame) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyFrame_GetCode(frame);
#else
    return frame->f_code;
#endif
}

// The first frame from `frame` down that has started running Python code.
inline _PyInterpreterFrame* first_complete(_PyInterpreterFrame* frame) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return _PyFrame_GetFirstComplete(frame);
#else
    while (frame != nullptr && _PyFrame_IsIncomplete(frame)) frame = frame->previous;
    return frame;
#endif
}

// The kind of a comprehension's variables inlined into their function's frame (3.12): fast
// locals that are not the function's own.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr _PyLocals_Kind hidden_local = CO_FAST_HIDDEN;
#else
inline constexpr _PyLocals_Kind hidden_local = 0;
#endif

// The instructions with which a frame returns for good, as co_code spells them: a suspended
// generator's frame stands at its yield (3.11, 3.12) or at the resumption after it (3.13).
inline bool is_return_opcode(int opcode) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return opcode == RETURN_VALUE || opcode == RETURN_CONST;
#else
    return opcode == RETURN_VALUE;
#endif
}

}  // namespace vesk::compat
#endif
