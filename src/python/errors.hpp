#pragma once
// Turning failures of the native code into Python exceptions.
#include <Python.h>

#include <utility>

#include "core/interrupt.hpp"

namespace quarnel::python {

// The process-wide exception type for broken invariants (created on first use, derived from
// BaseException). Borrowed reference, or null with an exception set.
PyObject* panic_exception_type();

// Sets the panic exception with `message` as its only argument.
void raise_panic(const char* message);

// Sets the Python exception matching the C++ exception being handled. Call only from a catch block.
void raise_current_exception() noexcept;

// The stop check of a call: runs the interpreter's pending signal handlers, and asks to stop
// when one of them raised (KeyboardInterrupt for Ctrl-C), leaving that exception set.
bool signal_handler_raised() noexcept;

// Runs one entry point's body, mapping every escaping C++ exception to a Python exception, so
// that nothing unwinds into the interpreter; long computations inside stop when a signal
// handler raises. `body` returns a new reference or null with an exception set.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    const StopCheckScope stop_on_signal(signal_handler_raised);
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace quarnel::python
