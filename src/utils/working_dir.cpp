#include "utils/working_dir.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "filters/path_fragment.h"

namespace vesk {

namespace {

// All of this is touched with the interpreter lock held.
std::string cached_directory;
bool cache_valid = false;
// The thread state that is changing directory: until it runs Python code again, its change may
// not have happened yet.
std::uint64_t changing_state_id = 0;
bool change_pending = false;

int audit_hook(const char* event, PyObject*, void*) {
    if (std::strcmp(event, "os.chdir") == 0) {
        cache_valid = false;
        change_pending = true;
        changing_state_id = PyThreadState_GetID(PyThreadState_Get());
    }
    return 0;
}

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
    PyErr_Format(PyExc_OSError, "Current directory is invalid: %s", std::strerror(errno));
    return false;
}

}  // namespace

bool watch_working_directory() {
    return PySys_AddAuditHook(audit_hook, nullptr) == 0;
}

Fallible<std::string_view> current_working_directory() {
    if (cache_valid) return std::string_view(cached_directory);
    if (change_pending &&
        static_cast<std::uint64_t>(PyThreadState_GetID(PyThreadState_Get())) == changing_state_id) {
        change_pending = false;  // back in Python code on the changing thread: the change is done
    }
    if (!read_directory(cached_directory)) return failed;
    cache_valid = !change_pending;
    return std::string_view(cached_directory);
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
