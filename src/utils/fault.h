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

// A length beyond what the record format can hold (MessagePack counts and lengths are 32-bit):
// the value is refused with an OverflowError rather than written cut short.
class TooLarge : public std::length_error {
  public:
    using std::length_error::length_error;
};

}  // namespace vesk
