#pragma once
// Parts of traces on their way to the database: cut where the records are (in the profile hook, at
// a test's end, when a save is asked for), numbered in the order they are cut, and written in that
// order by one saver thread of the process, never by the program's threads, which only hand them
// over. A part that cannot be written is kept, with every later part of its trace, for the next
// try: the next part handed over, a save asked for, or the process's exit (the last try; what
// fails then is lost, and the log says so).
//
// The saver thread is not one of the threading module's: the program does not see it. It takes the
// interpreter lock only to call the companion's saver, never while it waits. A fork() copies none
// of it: the child starts a saver of its own when it first needs one, and the parts the parent had
// not written stay the parent's.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "profiler/record_chunks.h"
#include "utils/pyref.h"

namespace vesk {

struct ProfilerState;

// What a trace says besides its records (see docs/stored-layout.md).
struct TraceHeader {
    std::vector<std::string> argv;
    std::string version;
    std::optional<std::string> commit_sha;
    std::string trace_id;
    std::optional<std::uint64_t> main_thread_id;
    std::string source;
    double timestamp = 0.0;
};

struct Part {
    std::uint64_t recording = 0;  // the serial of the profiler that cut it
    std::uint64_t number = 0;     // the order in which parts are cut in the process
    std::string db_path;
    std::uint64_t timeout = 60;
    TraceHeader header;
    RecordChunks stored;
    std::map<std::uint64_t, RecordChunks> frames;
    std::uint64_t bytes = 0;  // of its records, as they wait to be written
    PyRef trace;              // the trace, once built for its first try (the records are gone then)
    PyRef failure;            // why its last try failed
    bool told = false;        // the log said that it failed
};

// The trace of a part as bytes, the records moved out of it.
PyRef trace_bytes(Part& part);

// Numbers the part and hands it to the saver thread (started now if need be), after the parts kept
// by failed tries to write into the same database, which are tried again first. Never waits for a
// write. With the interpreter lock.
void hand_off(std::unique_ptr<Part> part);

// Waits, with the interpreter lock released, until every part that the recording `recording`
// (0: any recording) handed off has been tried, after giving the parts that failed earlier one more
// try. Returns the failure of its first part that is still kept (null when all were written), with
// a note that it is kept. False with the error indicator set when a signal handler raised meanwhile
// (the parts are written all the same).
bool wait_for_parts(std::uint64_t recording, const std::string* db_path, PyRef& failure);

// The bytes of records in the parts handed off and not yet tried (queued or being written), of
// every recording: read without a lock, as the recording thread decides whether to cut the next
// part. Parts kept after a failed try are not counted: they wait for the next save, not for the
// saver.
std::uint64_t bytes_waiting() noexcept;

// Waits, with the interpreter lock released, until at most `room` bytes of records wait to be
// written (see bytes_waiting); gives up once the saver thread has finished no part for `stall`.
// Whether they are that few now.
bool wait_for_room(std::uint64_t room, std::chrono::milliseconds stall);

// Whether the thread state is the saver thread's, which no recording is to take.
bool is_saver_thread(PyThreadState* thread);

// How many parts of the recording are kept after a failed try.
std::size_t kept_parts(std::uint64_t recording);

// Drops every part kept after a failed try (for tests, which must not leave them to the next);
// returns how many.
std::size_t discard_kept_parts();

// The saver thread ended for a fork while recordings are cut periodically: the next event
// recorded starts it again (os.fork tells the program about its threads only after every handler
// of the fork ran, in the parent, since 3.13, and this must come after). With the interpreter
// lock; one load when there is nothing to do, as every event recorded asks.
extern std::atomic<bool> saver_resume_wanted;
void resume_saver_now();
inline void resume_saver_after_fork() {
    if (saver_resume_wanted.load(std::memory_order_relaxed)) resume_saver_now();
}

// In a child made by fork(): the parts the parent had not written are forgotten.
void forget_parents_parts();

// At the interpreter's exit (atexit): every part gets its last try, then the saver thread ends;
// parts handed off afterwards are not written.
void finish_saving();

// A recording whose parts are handed off as they fill, and also every `interval` seconds while it
// holds records (a child process, which the program may end by a signal at any moment): the saver
// thread cuts them with the interpreter lock held. Registered and unregistered with the
// interpreter lock held.
void cut_periodically(ProfilerState* state, double interval);
void stop_cutting(ProfilerState* state);

// After the interpreter finalised (it may be initialised again in this process).
void reset_saver_after_finalize();

}  // namespace vesk
