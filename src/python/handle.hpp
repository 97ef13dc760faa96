#pragma once
// Owning handle of one strong reference to a Python object.
#include <Python.h>

#include <utility>

namespace quarnel::python {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null, e.g. a failed API call).
    static Ref steal(PyObject* object) { return Ref(object); }
    // Adds a reference of its own to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(object_, other.release()));
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller (e.g. as a return value to the interpreter).
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quarnel::python
