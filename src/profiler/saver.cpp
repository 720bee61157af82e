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
    Clock::time_point tried_at{};            // when the saver thread last finished a part
    std::uint64_t next_number = 1;
    bool running = false;   // the thread was started and has not been joined
    bool stopping = false;  // it ends once the queue is empty
    bool quitting = false;  // it ends now, its queue empty (a fork is under way)
    bool busy = false;      // it holds the interpreter lock, or waits for it
    bool finished = false;  // the interpreter exits: nothing more is written
    bool periodic = false;  // some recording is cut periodically
    pthread_t thread{};
};

Saver& saver() {
    static Saver* instance = new Saver();
    return *instance;
}

// Saver::pending as the recording thread reads it, without the mutex, and the bytes of records in
// those parts.
std::atomic<std::size_t> waiting_parts{0};
std::atomic<std::uint64_t> waiting_bytes{0};

// How long the saver thread writes parts one after another with the interpreter lock held.
constexpr auto kBatch = std::chrono::milliseconds(50);

// Read and changed with the interpreter lock held.
std::vector<Periodic> periodic_cuts;

// The saver thread's thread state while it runs.
std::atomic<PyThreadState*> saver_thread_state{nullptr};

// Takes the saver's mutex for a thread that holds the interpreter lock. Whoever holds the mutex
// never waits for the interpreter lock (a fork waits for the mutex holding it): when the mutex is
// taken, the interpreter lock is let go until the mutex is free, and the mutex is tried again only
// once the interpreter lock is back.
std::unique_lock<std::mutex> lock_holding_interpreter() {
    std::unique_lock<std::mutex> lock(saver().mutex, std::try_to_lock);
    while (!lock.owns_lock()) {
        Py_BEGIN_ALLOW_THREADS {
            std::lock_guard<std::mutex> free(saver().mutex);
        }
        Py_END_ALLOW_THREADS lock.try_lock();
    }
    return lock;
}

bool start_thread(Saver& s);

// ---- Forks.

// A fork waits for the mutex (its holders never wait for the interpreter lock, which the forking
// thread holds). An idle saver thread ends first: the program that forks is told about its own
// threads only (3.12 warns of a fork in a process with more than one). The parent starts it again
// with the next part handed off, or, when recordings are cut periodically, with the next event it
// records. One that is writing goes on.
void before_fork() {
    Saver& s = saver();
    s.mutex.lock();
    if (!s.running || s.busy || !s.queue.empty() || s.stopping) return;
    s.quitting = true;
    s.wake.notify_one();
    s.mutex.unlock();
    pthread_join(s.thread, nullptr);  // it takes no interpreter lock on its way out
    s.mutex.lock();
    s.running = false;
    s.quitting = false;
    if (s.periodic) saver_resume_wanted.store(true, std::memory_order_relaxed);
}

void after_fork_in_parent() {
    saver().mutex.unlock();
}

// A fork's copy of a part of the parent's, which the parent writes: its pooled blocks go back to
// the system, and nothing else of it is touched (see RecordChunks::unmap_pooled); its memory and
// its references, which no interpreter lock may be taken for here, are left to the process's end.
void abandon(const Part& part) {
    part.stored.unmap_pooled();
    for (const auto& [_, frames] : part.frames) frames.unmap_pooled();
}

// The child has only the forking thread: the saver thread is gone, the locks are made anew, and
// the parts the parent had not written are the parent's to write (see abandon).
void after_fork_in_child() {
    Saver& s = saver();
    new (&s.mutex) std::mutex();
    new (&s.wake) std::condition_variable();
    new (&s.tried) std::condition_variable();
    for (auto* parts : {&s.queue, &s.kept}) {
        for (const auto& part : *parts) abandon(*part);
        new (parts) std::deque<std::unique_ptr<Part>>();  // the old one is never destroyed
    }
    s.counts.clear();
    s.pending = 0;
    waiting_parts.store(0, std::memory_order_relaxed);
    waiting_bytes.store(0, std::memory_order_relaxed);
    s.running = false;
    s.stopping = false;
    s.quitting = false;
    s.busy = false;
    saver_resume_wanted.store(false, std::memory_order_relaxed);
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
    if (!part.trace) {
        part.trace = trace_bytes(part);
        if (!part.trace) return false;
    }
    PyRef saver_function = module_attribute(interned.mod_vesk_db, interned.save_trace_in_sqlite);
    if (!saver_function) return false;
    PyRef keywords = PyRef::steal(PyDict_New());
    if (!keywords) return false;
    PyRef timeout = PyRef::steal(PyLong_FromUnsignedLongLong(part.timeout));
    if (!timeout || PyDict_SetItem(keywords.get(), interned.timeout, timeout.get()) < 0 ||
        PyDict_SetItem(keywords.get(), interned.msgpack, part.trace.get()) < 0) {
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
            waiting_parts.store(s.pending, std::memory_order_relaxed);
            waiting_bytes.fetch_sub(queued->bytes, std::memory_order_relaxed);
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

// One part written, with the interpreter lock; false when it is to be kept for the next try.
bool try_part(Saver& s, Part& part) {
    if (write_part(part)) return true;
    part.failure = take_pending_exception();
    bool waited_for;
    {
        auto check = lock_holding_interpreter();
        waited_for = s.counts[part.recording].waiters > 0 || s.counts[0].waiters > 0;
    }
    // A waiter raises the failure itself; at the exit, the last try tells what is lost. Each
    // part is told of once, not at every try.
    if (!waited_for && !s.stopping && !part.told) {
        log_failure(part, "it is kept for the next save into that database");
    }
    part.told = true;
    return false;
}

// The thread holds the interpreter lock only while it writes or cuts, with a thread state made
// for that: between them it holds nothing of the interpreter's, and can end at a fork.
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
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        if (s.quitting) break;
        if (s.queue.empty() && !s.stopping) {
            if (s.periodic) {
                s.wake.wait_for(lock, std::chrono::milliseconds(250));
            } else {
                s.wake.wait(lock);
            }
            if (s.quitting) break;
        }
        const bool cut = s.periodic && !s.stopping;
        std::unique_ptr<Part> part;
        if (!s.queue.empty()) {
            part = std::move(s.queue.front());
            s.queue.pop_front();
        }
        if (!part && !cut) {
            if (s.stopping) break;
            continue;
        }
        s.busy = true;
        lock.unlock();

        PyGILState_STATE gil = PyGILState_Ensure();
        saver_thread_state.store(PyThreadState_Get());
        if (cut) run_periodic_cuts();
        // The parts that wait are written while the interpreter lock is held: taken again for
        // each, it would cost a switch interval each while the program runs, which small parts
        // would pile up behind. For kBatch at most: the program's threads run meanwhile too.
        const Clock::time_point started = Clock::now();
        while (part) {
            const std::uint64_t recording = part->recording;
            const std::uint64_t bytes = part->bytes;
            // Released with the interpreter lock: it holds the bytes.
            if (try_part(s, *part)) part.reset();
            auto relock = lock_holding_interpreter();
            s.tried_at = Clock::now();
            --s.counts[recording].pending;
            --s.pending;
            waiting_parts.store(s.pending, std::memory_order_relaxed);
            waiting_bytes.fetch_sub(bytes, std::memory_order_relaxed);
            if (part) keep(s, std::move(part));
            forget_if_idle(s, recording);
            s.tried.notify_all();
            if (!s.queue.empty() && !s.quitting && Clock::now() - started < kBatch) {
                part = std::move(s.queue.front());
                s.queue.pop_front();
            }
        }
        stay_unknown_to_threading();
        saver_thread_state.store(nullptr);
        PyGILState_Release(gil);

        lock.lock();
        s.busy = false;
    }
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
        waiting_parts.store(s.pending, std::memory_order_relaxed);
        waiting_bytes.fetch_add(again.back()->bytes, std::memory_order_relaxed);
        s.queue.push_front(std::move(again.back()));
        again.pop_back();
    }
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
    waiting_parts.store(s.pending, std::memory_order_relaxed);
    waiting_bytes.fetch_add(part->bytes, std::memory_order_relaxed);
    retry_kept(s, &part->db_path);
    s.queue.push_back(std::move(part));
    if (!start_thread(s)) {
        // No thread can be made (the process is out of them): the part waits for the next try.
        --s.counts[s.queue.back()->recording].pending;
        --s.pending;
        waiting_parts.store(s.pending, std::memory_order_relaxed);
        waiting_bytes.fetch_sub(s.queue.back()->bytes, std::memory_order_relaxed);
        s.kept.push_back(std::move(s.queue.back()));
        s.queue.pop_back();
        return;
    }
    s.wake.notify_one();
}

bool wait_for_parts(std::uint64_t recording, const std::string* db_path, PyRef& failure) {
    Saver& s = saver();
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
        Py_BEGIN_ALLOW_THREADS {
            // Let go before the interpreter lock is taken back: see lock_holding_interpreter.
            std::unique_lock<std::mutex> lock(s.mutex);
            auto finished = [&] {
                return (recording == 0 ? s.pending : s.counts[recording].pending) == 0 ||
                       !s.running;
            };
            if (main_thread) {
                done = s.tried.wait_for(lock, kSignalCheck, finished);
            } else {
                s.tried.wait(lock, finished);
                done = true;
            }
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

std::uint64_t bytes_waiting() noexcept {
    return waiting_bytes.load(std::memory_order_relaxed);
}

bool wait_for_room(std::uint64_t room, std::chrono::milliseconds stall) {
    Saver& s = saver();
    bool found = false;
    Py_BEGIN_ALLOW_THREADS {
        // Let go before the interpreter lock is taken back: see lock_holding_interpreter.
        std::unique_lock<std::mutex> lock(s.mutex);
        const Clock::time_point asked = Clock::now();
        for (;;) {
            found = waiting_bytes.load(std::memory_order_relaxed) <= room;
            if (found || !s.running) break;
            if (Clock::now() - std::max(asked, s.tried_at) >= stall) break;
            s.tried.wait_for(lock, stall / 4);
        }
    }
    Py_END_ALLOW_THREADS return found;
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

std::atomic<bool> saver_resume_wanted{false};

void resume_saver_now() {
    saver_resume_wanted.store(false, std::memory_order_relaxed);
    Saver& s = saver();
    auto lock = lock_holding_interpreter();
    if (s.periodic && !s.running && !s.finished && start_thread(s)) s.wake.notify_one();
}

void forget_parents_parts() {
    Saver& s = saver();
    if (!periodic_cuts.empty()) {
        auto lock = lock_holding_interpreter();
        if (start_thread(s)) s.wake.notify_one();
    }
}

void finish_saving() {
    Saver& s = saver();
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
    saver_resume_wanted.store(false, std::memory_order_relaxed);
    periodic_cuts.clear();
}

}  // namespace vesk
