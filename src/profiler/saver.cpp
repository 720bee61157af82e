#include "profiler/saver.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <new>
#include <set>
#include <string_view>

#include "companion/companion.h"
#include "profiler/failure.h"
#include "profiler/record_store.h"
#include "profiler/state.h"
#include "profiler/trace_writer.h"
#include "utils/errors.h"
#include "utils/finalize.h"
#include "utils/interned.h"
#include "utils/msgpack_writer.h"

namespace vesk {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiter on the main thread looks for signals to handle while it waits.
constexpr auto kSignalCheck = std::chrono::milliseconds(100);

struct Counts {
    std::size_t pending = 0;  // parts in the queue or being written
    std::size_t waiters = 0;  // threads waiting for them
};

struct Periodic {
    ProfilerState* state;
    Clock::duration interval;
    Clock::time_point last;
};

// Everything below `mutex` is read and changed with it held, and never held while the interpreter
// lock is waited for or interpreter code runs. Made once and never freed: a fork's child builds
// its locks anew in place.
struct Saver {
    std::mutex mutex;
    std::condition_variable wake;   // for the saver thread: parts, a stop, a cut due
    std::condition_variable tried;  // for waiters: a part was tried
    std::deque<std::unique_ptr<Part>> queue;
    std::deque<std::unique_ptr<Part>> kept;  // failed, in order, for the next try
    std::map<std::uint64_t, Counts> counts;  // by recording; 0 stands for all of them
    std::size_t pending = 0;                 // parts in the queue or being written, in all
    std::uint64_t next_number = 1;
    bool running = false;   // the thread was started and has not ended
    bool stopping = false;  // it ends once the queue is empty
    bool finished = false;  // the interpreter exits: nothing more is written
    bool periodic = false;  // some recording is cut periodically
    pthread_t thread{};
    // A fork's copies of the parent's parts, released (with the interpreter lock) at the next use.
    std::vector<std::unique_ptr<Part>> orphans;
};

Saver& saver() {
    static Saver* instance = new Saver();
    return *instance;
}

// Read and changed with the interpreter lock held.
std::vector<Periodic> periodic_cuts;

// The saver thread's thread state while it runs.
std::atomic<PyThreadState*> saver_thread_state{nullptr};

// Takes the saver's mutex while holding the interpreter lock: it is held only briefly, but never
// waited for with the interpreter lock held.
std::unique_lock<std::mutex> lock_holding_interpreter() {
    std::unique_lock<std::mutex> lock(saver().mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        Py_BEGIN_ALLOW_THREADS lock.lock();
        Py_END_ALLOW_THREADS
    }
    return lock;
}

// ---- Forks.

void before_fork() {
    saver().mutex.lock();
}

void after_fork_in_parent() {
    saver().mutex.unlock();
}

// The child has only the forking thread: the saver thread is gone, the locks are made anew, and
// the parts the parent had not written are its own (the interpreter lock is not to be used yet:
// they are released at the next use).
void after_fork_in_child() {
    Saver& s = saver();
    new (&s.mutex) std::mutex();
    new (&s.wake) std::condition_variable();
    new (&s.tried) std::condition_variable();
    for (auto& part : s.queue) s.orphans.push_back(std::move(part));
    for (auto& part : s.kept) s.orphans.push_back(std::move(part));
    s.queue.clear();
    s.kept.clear();
    s.counts.clear();
    s.pending = 0;
    s.running = false;
    s.stopping = false;
}

// ---- Writing one part, on the saver thread with the interpreter lock.

// The program's threading module knows no thread of ours: one that logging asked about (for a
// record's thread name) is taken out of its table again.
void stay_unknown_to_threading() {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* threading = PyDict_GetItemWithError(modules, interned.mod_threading);
    if (threading == nullptr) {
        PyErr_Clear();
        return;
    }
    PyRef active = PyRef::steal(PyObject_GetAttr(threading, interned.threading_active));
    PyRef ident = PyRef::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
    if (active && ident && PyDict_Check(active.get()) &&
        PyDict_Contains(active.get(), ident.get()) == 1) {
        PyDict_DelItem(active.get(), ident.get());
    }
    PyErr_Clear();
}

bool write_part(Part& part) {
    if (!part.bytes) {
        part.bytes = trace_bytes(part);
        if (!part.bytes) return false;
    }
    PyRef saver_function = module_attribute(interned.mod_vesk_db, interned.save_trace_in_sqlite);
    if (!saver_function) return false;
    PyRef keywords = PyRef::steal(PyDict_New());
    if (!keywords) return false;
    PyRef timeout = PyRef::steal(PyLong_FromUnsignedLongLong(part.timeout));
    if (!timeout || PyDict_SetItem(keywords.get(), interned.timeout, timeout.get()) < 0 ||
        PyDict_SetItem(keywords.get(), interned.msgpack, part.bytes.get()) < 0) {
        return false;
    }
    const std::string& id = part.header.trace_id;
    PyRef arguments = PyRef::steal(Py_BuildValue("(s#s#)", part.db_path.data(),
                                                 static_cast<Py_ssize_t>(part.db_path.size()),
                                                 id.data(), static_cast<Py_ssize_t>(id.size())));
    if (!arguments) return false;
    PyRef result =
        PyRef::steal(PyObject_Call(saver_function.get(), arguments.get(), keywords.get()));
    return static_cast<bool>(result);
}

void log_failure(const Part& part, const char* fate) {
    PyRef failure = part.failure;
    PyErr_SetRaisedException(failure.release());
    std::string text = "vesk: a part of the trace " + part.header.trace_id +
                       " could not be saved in " + part.db_path + " (" +
                       take_pending_error_description() + "); " + fate;
    log_warning_text(text.c_str());
}

// ---- The saver thread.

void run_periodic_cuts() {
    const Clock::time_point now = Clock::now();
    // A cut hands its part off, which may run no code: the list does not change meanwhile.
    for (Periodic& cut : periodic_cuts) {
        if (now - cut.last < cut.interval) continue;
        cut.last = now;
        ProfilerState& state = *cut.state;
        if (state.stopped || state.held_bytes == 0) continue;
        std::unique_ptr<Part> part = cut_part(state);
        if (part) {
            hand_off(std::move(part));
        } else if (PyErr_Occurred()) {
            log_warning_text(
                ("vesk: a part could not be cut: " + take_pending_error_description()).c_str());
        }
    }
}

// A recording with nothing under way and nobody waiting needs no counts. With the mutex held.
void forget_if_idle(Saver& s, std::uint64_t recording) {
    auto found = s.counts.find(recording);
    if (found != s.counts.end() && found->second.pending == 0 && found->second.waiters == 0) {
        s.counts.erase(found);
    }
}

// Tried and failed: kept with every part of its trace behind it, so that they stay in order.
void keep(Saver& s, std::unique_ptr<Part> part) {
    const std::string& trace = part->header.trace_id;
    std::deque<std::unique_ptr<Part>> rest;
    for (auto& queued : s.queue) {
        if (queued->header.trace_id == trace) {
            --s.counts[queued->recording].pending;
            --s.pending;
            s.kept.push_back(std::move(queued));
        } else {
            rest.push_back(std::move(queued));
        }
    }
    s.queue.swap(rest);
    s.kept.push_front(std::move(part));
    // The kept parts stay in the order they were cut.
    std::stable_sort(s.kept.begin(), s.kept.end(),
                     [](const auto& a, const auto& b) { return a->number < b->number; });
}

void* saver_main(void*) {
    // Signals sent to the process go to the program's threads, which expect to be woken by them.
    // Those that this thread's own faults raise stay its own (faulthandler reports them).
    sigset_t sent;
    sigfillset(&sent);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) {
        sigdelset(&sent, fault);
    }
    pthread_sigmask(SIG_BLOCK, &sent, nullptr);

    Saver& s = saver();
    PyGILState_STATE gil = PyGILState_Ensure();
    saver_thread_state.store(PyThreadState_Get());
    PyThreadState* thread_state = PyEval_SaveThread();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        if (s.queue.empty() && !s.stopping) {
            if (s.periodic) {
                s.wake.wait_for(lock, std::chrono::milliseconds(250));
            } else {
                s.wake.wait(lock);
            }
        }
        if (s.periodic && !s.stopping) {
            lock.unlock();
            PyEval_RestoreThread(thread_state);
            run_periodic_cuts();
            thread_state = PyEval_SaveThread();
            lock.lock();
        }
        if (s.queue.empty()) {
            if (s.stopping) break;
            continue;
        }
        std::unique_ptr<Part> part = std::move(s.queue.front());
        s.queue.pop_front();
        lock.unlock();

        PyEval_RestoreThread(thread_state);
        const std::uint64_t recording = part->recording;
        if (write_part(*part)) {
            part.reset();  // with the interpreter lock: it holds the bytes
        } else {
            part->failure = take_pending_exception();
            bool waited_for;
            {
                auto check = lock_holding_interpreter();
                waited_for = s.counts[recording].waiters > 0 || s.counts[0].waiters > 0;
            }
            // A waiter raises the failure itself; at the exit, the last try tells what is lost.
            // Each part is told of once, not at every try.
            if (!waited_for && !s.stopping && !part->told) {
                log_failure(*part, "it is kept for the next save into that database");
            }
            part->told = true;
        }
        stay_unknown_to_threading();
        thread_state = PyEval_SaveThread();

        lock.lock();
        --s.counts[recording].pending;
        --s.pending;
        if (part) keep(s, std::move(part));
        forget_if_idle(s, recording);
        s.tried.notify_all();
    }
    lock.unlock();
    PyEval_RestoreThread(thread_state);
    saver_thread_state.store(nullptr);
    PyGILState_Release(gil);
    return nullptr;
}

// With the mutex held.
bool start_thread(Saver& s) {
    if (s.running) return true;
    static bool at_fork = false;
    if (!at_fork) {
        if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) {
            return false;
        }
        at_fork = true;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 1 << 20);
    int started = pthread_create(&s.thread, &attributes, saver_main, nullptr);
    pthread_attr_destroy(&attributes);
    if (started != 0) return false;
    s.running = true;
    s.stopping = false;
    return true;
}

// The parts kept after a failure to write into `db_path` (null: any database) go before any other,
// for one more try. With the mutex held.
void retry_kept(Saver& s, const std::string* db_path) {
    std::deque<std::unique_ptr<Part>> again;
    std::deque<std::unique_ptr<Part>> still;
    for (auto& part : s.kept) {
        (db_path == nullptr || part->db_path == *db_path ? again : still)
            .push_back(std::move(part));
    }
    s.kept.swap(still);
    while (!again.empty()) {
        ++s.counts[again.back()->recording].pending;
        ++s.pending;
        s.queue.push_front(std::move(again.back()));
        again.pop_back();
    }
}

void release_orphans(Saver& s) {
    if (s.orphans.empty()) return;
    std::vector<std::unique_ptr<Part>> orphans;
    {
        auto lock = lock_holding_interpreter();
        orphans.swap(s.orphans);
    }
    orphans.clear();  // with the interpreter lock, without the mutex
}

}  // namespace

PyRef trace_bytes(Part& part) {
    SizeCounter counter;
    write_trace(counter, part.header, part.stored, part.frames, false);
    PyRef trace =
        PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(counter.size())));
    if (!trace) return {};
    // The bytes are ours alone until they are returned: copied without the interpreter lock.
    SpanStream out(PyBytes_AS_STRING(trace.get()), counter.size());
    PyThreadState* thread_state = PyEval_SaveThread();
    write_trace(out, part.header, part.stored, part.frames, true);
    PyEval_RestoreThread(thread_state);
    if (out.remaining() != 0) internal_fault("Writing to memory, not I/O: the trace is short");
    return trace;
}

void hand_off(std::unique_ptr<Part> part) {
    Saver& s = saver();
    release_orphans(s);
    auto lock = lock_holding_interpreter();
    if (s.finished) {
        // After the exit's last try (an exit function that ran after ours recorded and saved):
        // written here, as the process ends anyway.
        lock.unlock();
        if (!write_part(*part)) {
            part->failure = take_pending_exception();
            log_failure(*part, "it is lost");
        }
        return;
    }
    part->number = s.next_number++;
    ++s.counts[part->recording].pending;
    ++s.pending;
    retry_kept(s, &part->db_path);
    s.queue.push_back(std::move(part));
    if (!start_thread(s)) {
        // No thread can be made (the process is out of them): the part waits for the next try.
        --s.counts[s.queue.back()->recording].pending;
        --s.pending;
        s.kept.push_back(std::move(s.queue.back()));
        s.queue.pop_back();
        return;
    }
    s.wake.notify_one();
}

bool wait_for_parts(std::uint64_t recording, const std::string* db_path, PyRef& failure) {
    Saver& s = saver();
    release_orphans(s);
    const bool main_thread = _PyOS_IsMainThread();
    {
        auto lock = lock_holding_interpreter();
        if (!s.finished && !s.kept.empty()) {
            retry_kept(s, db_path);
            if (start_thread(s)) s.wake.notify_one();
        }
        ++s.counts[recording].waiters;
    }
    bool interrupted = false;
    for (;;) {
        bool done = false;
        Py_BEGIN_ALLOW_THREADS std::unique_lock<std::mutex> lock(s.mutex);
        auto finished = [&] {
            return (recording == 0 ? s.pending : s.counts[recording].pending) == 0 || !s.running;
        };
        if (main_thread) {
            done = s.tried.wait_for(lock, kSignalCheck, finished);
        } else {
            s.tried.wait(lock, finished);
            done = true;
        }
        Py_END_ALLOW_THREADS if (done) break;
        if (PyErr_CheckSignals() < 0) {
            interrupted = true;
            break;
        }
    }
    auto lock = lock_holding_interpreter();
    --s.counts[recording].waiters;
    forget_if_idle(s, recording);
    if (interrupted) return false;
    failure.reset();
    for (const auto& part : s.kept) {
        if (recording != 0 && part->recording != recording) continue;
        if (part->failure) {
            failure = part->failure;
            break;
        }
        // Never tried: no thread could be made to write it.
        PyErr_SetString(PyExc_RuntimeError, "vesk's saver thread could not be started");
        failure = take_pending_exception();
        break;
    }
    return true;
}

std::size_t kept_parts(std::uint64_t recording) {
    auto lock = lock_holding_interpreter();
    std::size_t count = 0;
    for (const auto& part : saver().kept) count += part->recording == recording;
    return count;
}

bool is_saver_thread(PyThreadState* thread) {
    return thread != nullptr && thread == saver_thread_state.load();
}

std::size_t discard_kept_parts() {
    std::deque<std::unique_ptr<Part>> dropped;
    {
        auto lock = lock_holding_interpreter();
        dropped.swap(saver().kept);
    }
    return dropped.size();  // released with the interpreter lock, without the mutex
}

void forget_parents_parts() {
    Saver& s = saver();
    release_orphans(s);
    if (!periodic_cuts.empty()) {
        auto lock = lock_holding_interpreter();
        if (start_thread(s)) s.wake.notify_one();
    }
}

void finish_saving() {
    Saver& s = saver();
    release_orphans(s);
    bool join = false;
    {
        auto lock = lock_holding_interpreter();
        if (s.finished) return;
        retry_kept(s, nullptr);
        if (!s.queue.empty()) start_thread(s);
        join = s.running;
        s.stopping = true;
        s.wake.notify_one();
    }
    if (join) {
        Py_BEGIN_ALLOW_THREADS pthread_join(s.thread, nullptr);
        Py_END_ALLOW_THREADS
    }
    std::deque<std::unique_ptr<Part>> lost;
    {
        auto lock = lock_holding_interpreter();
        s.running = false;
        s.finished = true;
        lost.swap(s.kept);
        // A part whose thread could not be made is lost too.
        for (auto& part : s.queue) lost.push_back(std::move(part));
        s.queue.clear();
    }
    // One line per database: how many parts of how many traces, and why the last one failed.
    std::map<std::string, std::vector<const Part*>> by_database;
    for (const auto& part : lost) by_database[part->db_path].push_back(part.get());
    for (const auto& [db_path, parts] : by_database) {
        std::set<std::string_view> traces;
        for (const Part* part : parts) traces.insert(part->header.trace_id);
        PyRef failure = parts.back()->failure;
        PyErr_SetRaisedException(failure.release());
        std::string reason = PyErr_Occurred() ? take_pending_error_description() : "not tried";
        std::string text = "vesk: " + std::to_string(parts.size()) + " part(s) of " +
                           std::to_string(traces.size()) + " trace(s) could not be saved in " +
                           db_path + " (" + reason + "); they are lost";
        log_warning_text(text.c_str());
    }
    lost.clear();
    periodic_cuts.clear();
}

void cut_periodically(ProfilerState* state, double interval) {
    auto duration =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
    periodic_cuts.push_back(Periodic{state, duration, Clock::now()});
    Saver& s = saver();
    auto lock = lock_holding_interpreter();
    s.periodic = true;
    if (!s.finished && start_thread(s)) s.wake.notify_one();
}

void stop_cutting(ProfilerState* state) {
    std::erase_if(periodic_cuts, [state](const Periodic& cut) { return cut.state == state; });
    if (!periodic_cuts.empty()) return;
    auto lock = lock_holding_interpreter();
    saver().periodic = false;
}

void reset_saver_after_finalize() {
    Saver& s = saver();
    s.finished = false;
    s.running = false;
    s.stopping = false;
    s.periodic = false;
    // The interpreter is gone: whatever is left is not ours to release.
    for (auto& part : s.orphans) static_cast<void>(part.release());
    s.orphans.clear();
    periodic_cuts.clear();
}

}  // namespace vesk
