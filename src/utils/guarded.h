#pragma once
// A value behind a mutex of ours. Holders hold the interpreter lock and never run interpreter code
// or release it while they hold the mutex, so the mutex is never found taken by a thread that
// holds the interpreter lock, and a fork() never copies it locked. Should it be found taken all
// the same, the waiter releases the interpreter lock while it waits.
//
// An operation that fails part-way (an exception while the value is held) must leave the value
// as it was or whole: the value stays usable after any failure.

#include <mutex>
#include <utility>

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
        T& operator*() const noexcept { return *value_; }
        T* operator->() const noexcept { return value_; }

      private:
        friend class Guarded;
        Access(T* value, std::unique_lock<std::mutex> lock)
            : value_(value), lock_(std::move(lock)) {}

        T* value_;
        std::unique_lock<std::mutex> lock_;
    };

    // The caller holds the interpreter lock.
    Access lock() {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            Py_BEGIN_ALLOW_THREADS lock.lock();
            Py_END_ALLOW_THREADS
        }
        return Access(&value_, std::move(lock));
    }

  private:
    std::mutex mutex_;
    T value_;
};

}  // namespace vesk
