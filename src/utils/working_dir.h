#pragma once
// The process's current working directory, read once and then again only after a change.
//
// Every os.chdir and os.fchdir raises the audit event "os.chdir" before it changes directory, and
// releases the interpreter lock while it does. From that event until the changing thread runs
// Python code again, other threads read the directory afresh from the system; then it is cached
// again. A change of directory made by native code without that event is not noticed.

#include <string_view>

#include "utils/pyref.h"

namespace vesk {

// Installs the audit hook; called once, at module initialisation.
bool watch_working_directory();

// The directory as UTF-8 (borrowed until the next call); a failure with the error indicator set
// when it cannot be read (for instance after it was removed).
Fallible<std::string_view> current_working_directory();

// The filename relative to `directory` when it lies inside it, compared by whole path
// components; otherwise the filename itself.
std::string_view relative_to(std::string_view filename, std::string_view directory) noexcept;

}  // namespace vesk
