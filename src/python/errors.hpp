#pragma once
// Turning failures of the native code into Python exceptions.
#include <Python.h>
#include <cxxabi.h>

#include <utility>

#include "core/interrupt.hpp"
#include "python/handle.hpp"

namespace quarnel::python {

// The process-wide exception type for broken invariants (created on first use, derived from
// BaseException). Borrowed reference, or null with an exception set.
PyObject* panic_exception_type();

// Sets the panic exception with `message` as its only argument.
void raise_panic(const char* message);

// Sets the Python exception matching the C++ exception being handled. Call only from a catch block.
void raise_current_exception();

// Takes the exception that is set (clearing it) as an exception instance; null when none is.
Ref take_raised_exception();

// Records which thread runs the interpreter's signal handlers (the main thread, as the
// threading module names it; after a fork, the forking one). Called once at import; false
// with an exception set on failure.
bool remember_main_thread();

// The stop check of a call that holds the interpreter lock: runs the interpreter's pending
// signal handlers, and asks to stop when one of them raised (KeyboardInterrupt for Ctrl-C),
// leaving that exception set. Only the main thread runs handlers; on any other thread the
// check lets go of the lock for a moment now and then, so that the main thread can run them.
bool signal_handler_raised();

// Runs one entry point's body, mapping every escaping C++ exception to a Python exception, so
// that nothing unwinds into the interpreter; long computations inside stop when a signal
// handler raises. `body` returns a new reference or null with an exception set. The one
// unwinding let through ends the thread itself: a finalising interpreter ends the threads
// that ask for its lock (pthread_exit).
template <typename Body>
PyObject* guarded(Body&& body) {
    const StopCheckScope stop_on_signal(signal_handler_raised);
    try {
        return std::forward<Body>(body)();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace quarnel::python
