#pragma once
// Owned interpreter references and the failure convention of the engine.
//
// PyRef is the only owner of a strong reference; borrowed references are plain PyObject*
// that never outlive their owner. An operation that can fail with an interpreter exception
// returns a null PyRef, a failed Fallible<T> or false, and then the interpreter's error
// indicator is set.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "utils/compat.h"

#include <atomic>
#include <optional>
#include <utility>

namespace vesk {

// Set once the interpreter starts to exit (lib/module.cpp). From then on the interpreter ends a
// daemon thread that asks for its lock back by unwinding the thread's stack (a forced unwind),
// through our frames and without the lock: a reference released on that path would be released
// without it, so none is.
extern std::atomic<bool> interpreter_exiting;

inline void release_reference(PyObject* object) noexcept {
    if (interpreter_exiting.load(std::memory_order_relaxed) && !PyGILState_Check()) return;
    Py_DECREF(object);
}

class PyRef {
  public:
    PyRef() noexcept = default;
    PyRef(const PyRef& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~PyRef() {
        if (ptr_ != nullptr) release_reference(ptr_);
    }

    // Takes over a new reference (or null, as interpreter calls return on failure).
    static PyRef steal(PyObject* object) noexcept {
        PyRef ref;
        ref.ptr_ = object;
        return ref;
    }
    // Adds a reference of our own to a borrowed one.
    static PyRef borrow(PyObject* object) noexcept { return steal(Py_XNewRef(object)); }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller, e.g. as an entry point's result.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { PyRef().swap(*this); }
    void swap(PyRef& other) noexcept { std::swap(ptr_, other.ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    PyObject* ptr_ = nullptr;
};

// Tag for a failed outcome: `return failed;` with the interpreter's error indicator set.
struct Failed {};
inline constexpr Failed failed{};

template <class T>
class [[nodiscard]] Fallible {
  public:
    Fallible(Failed) noexcept {}
    Fallible(T value) : value_(std::move(value)) {}

    bool ok() const noexcept { return value_.has_value(); }
    T& operator*() noexcept { return *value_; }
    T* operator->() noexcept { return &*value_; }

  private:
    std::optional<T> value_;
};

// A function with keyword arguments as the PyCFunction a method table stores (the interpreter
// calls it with the right signature, as METH_KEYWORDS tells it).
template <class Function>
PyCFunction as_method(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The pending exception, taken out of the indicator to be carried and reported later.
inline PyRef take_pending_exception() noexcept {
    return PyRef::steal(PyErr_GetRaisedException());
}

}  // namespace vesk
