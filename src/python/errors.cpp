#include "python/errors.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "core/panic.hpp"
#include "python/handle.hpp"

namespace quarnel::python {

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "A broken internal invariant of the native code; the call that raised it was abandoned.",
            PyExc_BaseException, nullptr);
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

bool signal_handler_raised() noexcept { return PyErr_CheckSignals() != 0; }

void raise_current_exception() noexcept {
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
