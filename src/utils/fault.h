#pragma once
// Internal faults: violated invariants of the engine or of the interpreter. They travel as C++
// exceptions up to the entry point the interpreter called, which raises them as PanicException
// (or, inside the profile callback, reports them like any failed event). Pure C++: no interpreter
// headers, so the parts without Python can use it too.

#include <stdexcept>
#include <string>

namespace vesk {

class InternalFault : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void internal_fault(const std::string& message) {
    throw InternalFault(message);
}

}  // namespace vesk
