#pragma once
// Raising the engine's errors into the interpreter, and turning internal faults into
// PanicException at the entry points the interpreter calls.

#include <cxxabi.h>

#include <new>
#include <string>

#include "utils/fault.h"
#include "utils/pyref.h"

namespace vesk {

// TypeError "'<type name>' object cannot be converted to '<expected>'"; false for chaining.
bool set_type_mismatch(PyObject* object, const char* expected);

// Drops the pending exception where a failure only means "absent" or "use the default". The
// program's own interruption (see utils/interruption.h) and memory running out are never
// swallowed: they stay pending and the result is false, for the caller to fail with them.
bool discard_ordinary_error();

// "<ExceptionType>: <message>" of the pending exception, which is taken out of the indicator.
std::string take_pending_error_description();

// An internal fault whose cause is the pending interpreter exception: the message, ": " and
// the description of that exception.
[[noreturn]] void internal_fault_from_pending(const std::string& message);

// The exception class of internal faults, a direct subclass of BaseException, created on first
// use. Null with the error indicator set if it cannot be created.
PyObject* panic_exception_type();

// Sets PanicException carrying the fault's message.
void raise_panic(const std::string& message);

// Runs the body of an entry point that returns a new reference (or null with an error set):
// internal faults become PanicException, exhausted memory MemoryError. A forced unwind (the
// interpreter ending a daemon thread at exit) goes through: swallowing it aborts the process.
template <class Body>
PyObject* guarded_entry(Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const InternalFault& fault) {
        raise_panic(fault.what());
    } catch (const TooLarge& error) {
        PyErr_SetString(PyExc_OverflowError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal fault");
    }
    return nullptr;
}

}  // namespace vesk
