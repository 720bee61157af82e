#pragma once
// A value behind a mutex of ours, taken without ever blocking while holding the interpreter lock:
// a holder may itself be waiting for the interpreter lock inside interpreter code, so a thread
// that finds the mutex taken releases the interpreter lock while it waits.
//
// A holder that leaves through an internal fault marks the value as broken; taking it again is
// itself an internal fault, since the value may be half-updated.

#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "utils/fault.h"
#include "utils/pyref.h"

namespace vesk {

template <class T>
class Guarded {
  public:
    template <class... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    class Access {
      public:
        T& operator*() const noexcept { return owner_->value_; }
        T* operator->() const noexcept { return &owner_->value_; }

        Access(Access&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)),
              lock_(std::move(other.lock_)),
              uncaught_(other.uncaught_) {}
        Access(const Access&) = delete;
        ~Access() {
            if (owner_ != nullptr && std::uncaught_exceptions() > uncaught_) owner_->broken_ = true;
        }

      private:
        friend class Guarded;
        Access(Guarded* owner, std::unique_lock<std::mutex> lock)
            : owner_(owner), lock_(std::move(lock)), uncaught_(std::uncaught_exceptions()) {}

        Guarded* owner_;
        std::unique_lock<std::mutex> lock_;
        int uncaught_;
    };

    // The caller holds the interpreter lock.
    Access lock() {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            Py_BEGIN_ALLOW_THREADS lock.lock();
            Py_END_ALLOW_THREADS
        }
        if (broken_) internal_fault("a lock of the profiler was left broken by an earlier fault");
        return Access(this, std::move(lock));
    }

    // Without the lock, for the cycle collector: only for parts that never change once built.
    const T& unlocked() const noexcept { return value_; }

  private:
    std::mutex mutex_;
    bool broken_ = false;
    T value_;
};

}  // namespace vesk
