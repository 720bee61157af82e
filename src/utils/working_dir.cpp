#include "utils/working_dir.h"

#include <cxxabi.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "utils/separator.h"

namespace vesk {

namespace {

using Clock = std::chrono::steady_clock;

// A change of directory is a system call's work: one announced this long ago is done.
constexpr auto kChangeSettled = std::chrono::seconds(1);

// All of this is touched with the interpreter lock held.
struct DirectoryCache {
    std::string text;    // the last reading; empty when the directory could not be read
    bool valid = false;  // text is the current directory
    // A change announced by "os.chdir" on the thread state `changing_state_id`, not yet seen
    // done: until then every reading asks the system again.
    bool change_pending = false;
    std::string before;    // the directory when the change was announced
    bool compare = false;  // `before` could be read
    std::uint64_t changing_state_id = 0;
    Clock::time_point announced;
};

DirectoryCache cache;

// Moves on whenever a reading differs from the one before: never reset, so that an answer
// remembered for one reading is never taken for another.
std::uint64_t generation = 1;

bool read_directory(std::string& into);

int audit_hook(const char* event, PyObject*, void*) {
    if (std::strcmp(event, "os.chdir") == 0) {
        cache.valid = false;
        cache.change_pending = true;
        cache.changing_state_id = PyThreadState_GetID(PyThreadState_Get());
        cache.announced = Clock::now();
        try {
            // Read on the changing thread before it changes: a later reading that differs tells
            // that the change is done.
            cache.compare = read_directory(cache.before);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            cache.compare = false;
        }
    }
    return 0;
}

// The directory, or false when it cannot be read (removed, or no longer reachable).
bool read_directory(std::string& into) {
    char stack_buffer[4096];
    if (getcwd(stack_buffer, sizeof stack_buffer) != nullptr) {
        into.assign(stack_buffer);
        return true;
    }
    if (errno == ERANGE) {
        // Longer than PATH_MAX-sized buffers: let the C library size it.
        char* allocated = getcwd(nullptr, 0);
        if (allocated != nullptr) {
            into.assign(allocated);
            std::free(allocated);
            return true;
        }
    }
    return false;
}

// Whether the announced change has happened: the changing thread runs Python code again, the
// directory reads differently from before, or long enough has passed.
bool change_done(std::string_view fresh) {
    if (static_cast<std::uint64_t>(PyThreadState_GetID(PyThreadState_Get())) ==
        cache.changing_state_id) {
        return true;
    }
    if (cache.compare && fresh != cache.before) return true;
    return Clock::now() - cache.announced > kChangeSettled;
}

}  // namespace

bool watch_working_directory() {
    cache = DirectoryCache{};
    ++generation;
    return PySys_AddAuditHook(audit_hook, nullptr) == 0;
}

std::string_view current_working_directory() {
    if (cache.valid) return cache.text;
    std::string fresh;
    if (!read_directory(fresh)) fresh.clear();
    if (cache.change_pending && change_done(fresh)) cache.change_pending = false;
    if (fresh != cache.text) ++generation;
    cache.text = std::move(fresh);
    cache.valid = !cache.change_pending;
    return cache.text;
}

std::uint64_t working_directory_generation() noexcept {
    return generation;
}

std::string_view relative_to(std::string_view filename, std::string_view directory) noexcept {
    if (directory.empty() || !filename.starts_with(directory)) return filename;
    if (directory.back() == kHostSeparator) return filename.substr(directory.size());
    if (filename.size() > directory.size() && filename[directory.size()] == kHostSeparator) {
        return filename.substr(directory.size() + 1);
    }
    return filename;
}

}  // namespace vesk
