#include "profiler/thread_slots.h"

#include <algorithm>
#include <atomic>

#include "utils/finalize.h"
#include "utils/interned.h"

namespace vesk {

thread_local ThreadValuesCache t_values_cache{0, nullptr};

namespace {

constexpr const char* kCapsuleName = "vesk._vesk.thread_home";

std::atomic<std::uint64_t> next_serial{1};

// The home of the thread state running on this OS thread, and its thread state's id.
thread_local ThreadHome* t_home = nullptr;
thread_local std::uint64_t t_home_state_id = 0;
// Id of a thread state whose values were released while it was being torn down: events that
// finalisers raise afterwards on that thread state are not recorded.
thread_local std::uint64_t t_released_state_id = 0;

void destroy_home(PyObject* capsule);

}  // namespace

// Everything one interpreter thread holds for the profilers it has seen.
class ThreadHome {
  public:
    std::vector<std::pair<PerThreadValues*, std::unique_ptr<ThreadValues>>> entries;

    ThreadValues* values_for(PerThreadValues* owner) {
        for (auto& [entry_owner, values] : entries) {
            if (entry_owner == owner) return values.get();
        }
        entries.emplace_back(owner, std::make_unique<ThreadValues>());
        owner->homes_.push_back(this);
        return entries.back().second.get();
    }

    // Detaches every entry from its owner, which hears that the thread ended; the values are
    // returned to be released last.
    std::vector<std::unique_ptr<ThreadValues>> detach_all() {
        std::vector<std::unique_ptr<ThreadValues>> released;
        for (auto& [owner, values] : entries) {
            if (owner->on_thread_end) owner->on_thread_end(*values);
            auto& homes = owner->homes_;
            homes.erase(std::remove(homes.begin(), homes.end(), this), homes.end());
            if (t_values_cache.values == values.get()) t_values_cache = {0, nullptr};
            released.push_back(std::move(values));
        }
        entries.clear();
        return released;
    }

    std::unique_ptr<ThreadValues> detach(PerThreadValues* owner) {
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->first == owner) {
                auto values = std::move(it->second);
                entries.erase(it);
                return values;
            }
        }
        return nullptr;
    }
};

namespace {

void destroy_home(PyObject* capsule) {
    auto* home = static_cast<ThreadHome*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (home == nullptr) {
        PyErr_Clear();
        return;
    }
    // The interpreter may clear another thread's state from this one (after fork, at exit):
    // only our own thread's bookkeeping is ours to change.
    if (t_home == home) {
        t_released_state_id = t_home_state_id;
        t_home = nullptr;
        t_home_state_id = 0;
    }
    auto released = home->detach_all();
    delete home;
    // Releasing frames may run finalisers; every structure is consistent by now.
    released.clear();
}

Fallible<ThreadHome*> home_of_current_thread() {
    PyThreadState* state = PyThreadState_Get();
    std::uint64_t state_id = static_cast<std::uint64_t>(PyThreadState_GetID(state));
    if (t_home != nullptr && t_home_state_id == state_id) return t_home;
    if (state_id == t_released_state_id) return static_cast<ThreadHome*>(nullptr);

    PyObject* dict = PyThreadState_GetDict();  // borrowed
    if (dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the thread state has no dictionary");
        return failed;
    }
    PyObject* existing = PyDict_GetItemWithError(dict, interned.thread_home_key);  // borrowed
    ThreadHome* home = nullptr;
    if (existing != nullptr && PyCapsule_IsValid(existing, kCapsuleName)) {
        home = static_cast<ThreadHome*>(PyCapsule_GetPointer(existing, kCapsuleName));
    } else {
        if (PyErr_Occurred()) return failed;
        auto fresh = std::make_unique<ThreadHome>();
        PyRef capsule = PyRef::steal(PyCapsule_New(fresh.get(), kCapsuleName, destroy_home));
        if (!capsule) return failed;
        home = fresh.release();  // owned by the capsule from here on
        if (PyDict_SetItem(dict, interned.thread_home_key, capsule.get()) < 0) return failed;
    }
    t_home = home;
    t_home_state_id = state_id;
    return home;
}

}  // namespace

PerThreadValues::PerThreadValues() : serial_(next_serial.fetch_add(1)) {}

void forget_thread_homes() {
    // Only the finalising thread is left to run Python again; its homes went with its state.
    t_home = nullptr;
    t_home_state_id = 0;
    t_released_state_id = 0;
}

PerThreadValues::~PerThreadValues() {
    std::vector<std::unique_ptr<ThreadValues>> released;
    for (ThreadHome* home : homes_) released.push_back(home->detach(this));
    homes_.clear();
    if (t_values_cache.serial == serial_) t_values_cache = {0, nullptr};
    released.clear();
}

int PerThreadValues::traverse(visitproc visit, void* arg) const {
    for (const ThreadHome* home : homes_) {
        for (const auto& [owner, values] : home->entries) {
            if (owner != this) continue;
            for (const UserCodeFrame& pair : values->user_code_stack) Py_VISIT(pair.frame.get());
            for (const ExceptionPassage& passage : values->passages) Py_VISIT(passage.frame.get());
        }
    }
    return 0;
}

void ThreadValues::release_held() {
    // Moved out first: the finalisers that releasing runs find every structure consistent.
    std::vector<UserCodeFrame> stack;
    stack.swap(user_code_stack);
    std::vector<ExceptionPassage> held_passages;
    held_passages.swap(passages);
    std::vector<LocalVariable> held_locals;
    held_locals.swap(locals);
    frame_ids.clear();
    unwound = UnwoundException{};
}

void PerThreadValues::release_idle_threads() {
    std::vector<ThreadValues*> idle;
    for (const ThreadHome* home : homes_) {
        for (const auto& [owner, values] : home->entries) {
            if (owner == this && values->busy == 0) idle.push_back(values.get());
        }
    }
    // A finaliser that runs meanwhile may end a thread, and with it its values: each is looked for
    // again before it is released.
    for (ThreadValues* values : idle) {
        bool still_here = false;
        for (const ThreadHome* home : homes_) {
            for (const auto& entry : home->entries) still_here |= entry.second.get() == values;
        }
        if (still_here && values->busy == 0) values->release_held();
    }
}

Fallible<ThreadValues*> PerThreadValues::current_slow() {
    auto home = home_of_current_thread();
    if (!home.ok()) return failed;
    if (*home == nullptr) return static_cast<ThreadValues*>(nullptr);
    ThreadValues* values = (*home)->values_for(this);
    t_values_cache = {serial_, values};
    return values;
}

}  // namespace vesk
