#include "python/errors.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "core/panic.hpp"
#include "python/handle.hpp"

namespace quarnel::python {
namespace {

// How long a call on a thread other than the main one holds the interpreter lock at least
// between two moments when it lets go of it.
constexpr auto kLockHoldPeriod = std::chrono::milliseconds(50);

// Lets any thread waiting for the interpreter lock (the main thread, to run a signal handler)
// take it, at most once per hold period. A finalising interpreter ends this thread when it asks
// for the lock back.
void let_other_threads_run_now_and_then() {
    using Clock = std::chrono::steady_clock;
    thread_local Clock::time_point last_let_go = Clock::now();
    const Clock::time_point now = Clock::now();
    if (now - last_let_go < kLockHoldPeriod) return;
    last_let_go = now;
    Py_BEGIN_ALLOW_THREADS
    Py_END_ALLOW_THREADS
}

// The thread that runs the interpreter's signal handlers, as PyThread_get_thread_ident() names
// it; 0 until remember_main_thread() has run.
std::atomic<unsigned long> g_main_thread{0};

// A forked child has only the thread that forked, which becomes its main thread (the
// interpreter moves its own record the same way).
void main_thread_is_the_forking_one() {
    g_main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
}

bool on_main_thread() {
    return PyThread_get_thread_ident() == g_main_thread.load(std::memory_order_relaxed);
}

}  // namespace

Ref take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const Ref owned_type = Ref::steal(type);
    const Ref owned_traceback = Ref::steal(traceback);
    Ref exception = Ref::steal(value);
    if (exception && owned_traceback) PyException_SetTraceback(exception.get(), owned_traceback.get());
    return exception;
#endif
}

bool remember_main_thread() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    if (!ident) return false;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    g_main_thread.store(value, std::memory_order_relaxed);
    static const int registered = pthread_atfork(nullptr, nullptr, main_thread_is_the_forking_one);
    (void)registered;
    return true;
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    // The creation may run Python code (a garbage-collector callback) that lets another thread
    // create the type too: the first one stored stays the process's only one.
    PyObject* created = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "A broken internal invariant of the native code; the call that raised it was abandoned.",
        PyExc_BaseException, nullptr);
    if (type == nullptr) {
        type = created;
    } else if (created == nullptr) {
        PyErr_Clear();
    } else {
        Py_DECREF(created);
    }
    return type;
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    // Messages may quote user text; undecodable bytes must not turn the panic into another error.
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

bool signal_handler_raised() {
    if (PyErr_CheckSignals() != 0) return true;
    if (!on_main_thread()) let_other_threads_run_now_and_then();
    return false;
}

void raise_current_exception() {
    try {
        throw;
    } catch (const Interrupted&) {
        // The handler's exception is already set; only make sure that some exception is.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const Panic& failure) {
        raise_panic(failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic("unknown native exception");
    }
}

}  // namespace quarnel::python
