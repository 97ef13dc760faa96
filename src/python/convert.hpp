#pragma once
// Conversion of Python arguments into core values and of core results into NumPy arrays.
// Every function returns false / null with a Python exception set when it refuses.
#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "core/dense.hpp"
#include "core/optimizer.hpp"
#include "python/handle.hpp"
#include "python/types.hpp"

namespace quarnel::python {

// Arrays: a NumPy array (or subclass) of float64 with exactly 1, 2 or 3 dimensions, any strides.
// A view borrows the array's memory: it must be done with before any Python code can run.
bool to_vector_view(PyObject* value, VectorView& out);
bool to_matrix_view(PyObject* value, MatrixView& out);

// A stack of matrices of its own, row-major, one after another.
struct OwnedStack {
    std::size_t count = 0;
    std::size_t rows = 0;
    std::size_t cols = 0;
    Vector values;

    StackView view() const;
};

// An array argument that a call reads while Python code may run (a later argument's converter,
// a signal handler, another thread), which may resize or write the caller's array: copied at
// conversion.
template <typename Values>
struct ArrayCopy {
    Values values;
    // The copy would not fit in memory, so it was not made: the call refuses it (MemoryError)
    // with its memory check, once every argument is converted and checked.
    bool too_large = false;
};
bool to_matrix_copy(PyObject* value, ArrayCopy<Matrix>& out);
bool to_stack_copy(PyObject* value, ArrayCopy<OwnedStack>& out);

bool to_double(PyObject* value, double& out);
// An int (or __index__) in 0 .. 2^64 - 1; OverflowError outside that range.
bool to_count(PyObject* value, std::uint64_t& out);
// True/False or a NumPy boolean scalar; integers are refused.
bool to_flag(PyObject* value, bool& out);
// A str, as UTF-8 text that lives as long as `value`.
bool to_text(PyObject* value, std::string_view& out);
// An Optimizer object: its record is copied under a shared borrow.
bool to_optimizer_copy(PyObject* value, Optimizer& out);

// True when `value` is an instance of `expected` (a null `expected`, whose creation failed,
// keeps its exception); else TypeError set.
bool check_instance(PyObject* value, PyTypeObject* expected);

// An instance of the class of `Payload`, as a new strong reference to that very object.
template <typename Payload>
bool to_instance(PyObject* value, Ref& out) {
    if (!check_instance(value, class_of<Payload>())) return false;
    out = Ref::borrow(value);
    return true;
}

// New float64 arrays holding a copy of the values.
PyObject* copy_to_array(const Vector& values);
PyObject* copy_to_array(const Matrix& values);
// A new float64 array of the given shape with uninitialised contents, to be filled by the caller.
PyObject* new_array(std::span<const std::size_t> shape);
double* array_data(PyObject* array);

// A new 1-D float64 array that takes over the vector's storage without copying it.
PyObject* move_to_array(Vector&& values);

}  // namespace quarnel::python
