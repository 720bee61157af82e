#pragma once
// Per-thread values of a profiler: each interpreter thread sees only its own, created empty on
// its first use, so the profile callback touches them without any lock.
//
// A thread's values are released when the thread ends, from the thread state's dictionary, which
// the interpreter clears with its lock held while the thread state is torn down (the values hold
// strong references to frames, so they must be released where that is legal). Values still held
// when the profiler goes away are released with it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "plugins/registry.h"
#include "utils/frames.h"
#include "utils/ids.h"
#include "utils/names.h"
#include "utils/pyref.h"

namespace vesk {

struct UserCodeFrame {
    PyRef frame;  // keeps the frame alive while its call is on the stack
    Id frame_id;
    // Where it was called from, for its return's record too: the caller waits at that same line.
    std::optional<CallSite> call_site;
    bool resumed = false;  // a generator's frame resumed after a suspension, not started
};

// What is recorded of an exception: "<module>.<qualname>" of its type, and its str() in the
// serialiser's lightweight form.
struct ExceptionDescription {
    std::string type_name;
    std::string message;  // MessagePack: its str(), or nil
    std::string value;    // MessagePack: the exception as a value
};

// Where an exception that reached a frame comes from.
enum class ExceptionOrigin : unsigned char { unknown, raised, callee };

// An exception in a recorded frame, from the moment it reaches the frame until the frame either
// catches it or is left by it: at most one per frame, innermost last.
struct ExceptionPassage {
    PyRef frame;
    Id frame_id;
    // By identity only: held, it would keep the exception, its traceback and their frames' locals
    // alive past the handler that caught it, until the frame's next event. It is alive while it
    // propagates through the frame and while the frame handles it; past that it is only compared.
    const PyObject* exception = nullptr;
    std::shared_ptr<const ExceptionDescription> description;  // null when it could not be read
    ExceptionOrigin origin = ExceptionOrigin::unknown;
    bool handled = false;  // one of the frame's handlers runs for it
};

// The exception that left a frame last, by identity only (never dereferenced: it may be gone),
// so that the frame it reaches next can tell that it came from a callee; and its description,
// which that frame records again.
struct UnwoundException {
    const void* exception = nullptr;
    const void* traceback = nullptr;  // its traceback as it left the frame
    const void* described = nullptr;  // the exception `description` is of
    std::shared_ptr<const ExceptionDescription> description;
};

struct ThreadValues {
    std::vector<UserCodeFrame> user_code_stack;  // recorded calls not yet returned, innermost last
    // Ids of calls whose event failed before their frame was pushed, by frame address.
    std::unordered_map<std::uintptr_t, Id> frame_ids;
    std::optional<ThreadIdentity> thread_identity_cache;
    // Per plugin of the table (by its index), the ids of its records of calls not yet returned.
    std::vector<PluginFrameIds> plugin_frame_ids;
    // The locals of the event being recorded, and its serialised values when the engine writes
    // them itself, kept for their capacity.
    std::vector<LocalVariable> locals;
    std::string serialized;
    // Exceptions on their way through recorded frames (from 3.12, see profiler/exceptions.h).
    std::vector<ExceptionPassage> passages;
    UnwoundException unwound;
    // Events of this thread under way for this profiler (nested when recorded code runs inside
    // one): while there are, the values are the thread's to change.
    unsigned busy = 0;

    // Lets go of every object of the program held here, once the recording stopped: a call whose
    // return it will not see would otherwise keep its frame, and the frame its locals. Releasing
    // them may run the program's finalisers.
    void release_held();
};

// Marks an event of the thread under way for as long as it lives; when the last one ends and the
// recording stopped meanwhile (`stopped`), the values let go of what they hold.
class BusyValues {
  public:
    BusyValues(ThreadValues* values, const bool& stopped) noexcept
        : values_(values), stopped_(stopped) {
        if (values_ != nullptr) ++values_->busy;
    }
    ~BusyValues() {
        if (values_ != nullptr && --values_->busy == 0 && stopped_) values_->release_held();
    }
    BusyValues(const BusyValues&) = delete;
    BusyValues& operator=(const BusyValues&) = delete;

  private:
    ThreadValues* values_;
    const bool& stopped_;
};

class ThreadHome;

class PerThreadValues {
  public:
    PerThreadValues();
    ~PerThreadValues();  // with the interpreter lock held
    PerThreadValues(const PerThreadValues&) = delete;
    PerThreadValues& operator=(const PerThreadValues&) = delete;

    // The calling thread's values. A null value means the thread is being torn down and its
    // values are already gone; a failed outcome has the error indicator set.
    Fallible<ThreadValues*> current();

    // Visits the frames on every thread's stack of recorded calls, for the cycle collector
    // (which runs with the interpreter lock held, when no thread is changing its stack).
    int traverse(visitproc visit, void* arg) const;

    // Called with a thread's values when the thread ends, before they are released (with the
    // interpreter lock held).
    std::function<void(ThreadValues&)> on_thread_end;

    // After the recording stopped: every thread that is not inside one of its events lets go of
    // what it holds of the program (see ThreadValues::release_held); one that is does so when the
    // event ends.
    void release_idle_threads();

  private:
    friend class ThreadHome;
    Fallible<ThreadValues*> current_slow();

    std::uint64_t serial_;
    std::vector<ThreadHome*> homes_;
};

// After the interpreter finalised: the calling thread's record of its thread state is void.
void forget_thread_homes();

// Hot path: one comparison when the thread asked this profiler last.
struct ThreadValuesCache {
    std::uint64_t serial;
    ThreadValues* values;
};
extern thread_local ThreadValuesCache t_values_cache;

inline Fallible<ThreadValues*> PerThreadValues::current() {
    if (t_values_cache.serial == serial_) return t_values_cache.values;
    return current_slow();
}

}  // namespace vesk
