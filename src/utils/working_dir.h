#pragma once
// The process's current working directory, read once and then again only after a change.
//
// Every os.chdir and os.fchdir raises the audit event "os.chdir" before it changes directory, and
// releases the interpreter lock while it does. From that event until the change is seen done (the
// changing thread runs Python code again, the directory reads differently, or a second has
// passed), readings ask the system afresh; then the directory is cached again. A change of
// directory made by native code without that event is not noticed.

#include <cstdint>
#include <string_view>

#include "utils/pyref.h"

namespace vesk {

// Installs the audit hook; called once per interpreter, at module initialisation.
bool watch_working_directory();

// The directory as UTF-8 (borrowed until the next call); empty when it cannot be read (after it
// was removed, say), so that file names stay absolute.
std::string_view current_working_directory();

// Names the reading current_working_directory() last gave: the same number, the same text.
std::uint64_t working_directory_generation() noexcept;

// The filename relative to `directory` when it lies inside it, compared by whole path
// components; otherwise the filename itself.
std::string_view relative_to(std::string_view filename, std::string_view directory) noexcept;

}  // namespace vesk
