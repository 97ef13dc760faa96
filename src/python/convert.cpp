#include "python/convert.hpp"

#include <cstring>
#include <memory>

#include "python/memory.hpp"
#include "python/numpy_api.hpp"

namespace quarnel::python {
namespace {

const char* type_name(PyObject* value) { return Py_TYPE(value)->tp_name; }

// The array behind `value` when it is a float64 array of `dimensions` dimensions.
PyArrayObject* float64_array(PyObject* value, int dimensions) {
    if (!PyArray_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not a numpy.ndarray", type_name(value));
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_NDIM(array) != dimensions) {
        PyErr_Format(PyExc_TypeError, "expected a %d-dimensional array, got %d dimensions", dimensions,
                     PyArray_NDIM(array));
        return nullptr;
    }
    Ref float64 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(float64.get()))) {
        PyErr_Format(PyExc_TypeError, "expected an array of float64, got an array of %S",
                     reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        return nullptr;
    }
    return array;
}

std::size_t extent(PyArrayObject* array, int axis) { return static_cast<std::size_t>(PyArray_DIM(array, axis)); }
std::ptrdiff_t stride(PyArrayObject* array, int axis) { return PyArray_STRIDE(array, axis); }
const char* bytes(PyArrayObject* array) { return PyArray_BYTES(array); }

PyObject* copy_values(std::span<const std::size_t> shape, const Vector& values) {
    PyObject* array = new_array(shape);
    if (array != nullptr && !values.empty()) {
        std::memcpy(array_data(array), values.data(), values.size() * sizeof(double));
    }
    return array;
}

void free_vector_capsule(PyObject* capsule) {
    delete static_cast<Vector*>(PyCapsule_GetPointer(capsule, nullptr));
}

}  // namespace

bool to_vector_view(PyObject* value, VectorView& out) {
    PyArrayObject* array = float64_array(value, 1);
    if (array == nullptr) return false;
    out = {bytes(array), extent(array, 0), stride(array, 0)};
    return true;
}

bool to_matrix_view(PyObject* value, MatrixView& out) {
    PyArrayObject* array = float64_array(value, 2);
    if (array == nullptr) return false;
    out = {bytes(array), extent(array, 0), extent(array, 1), stride(array, 0), stride(array, 1)};
    return true;
}

bool to_matrix_copy(PyObject* value, ArrayCopy<Matrix>& out) {
    MatrixView view;
    if (!to_matrix_view(value, view)) return false;
    out.too_large = !fits_in_memory(checked_product(view.rows, view.cols), sizeof(double));
    if (!out.too_large) out.values = view.copy();
    return true;
}

bool to_stack_copy(PyObject* value, ArrayCopy<OwnedStack>& out) {
    PyArrayObject* array = float64_array(value, 3);
    if (array == nullptr) return false;
    const StackView view{bytes(array),     extent(array, 0), extent(array, 1), extent(array, 2),
                         stride(array, 0), stride(array, 1), stride(array, 2)};
    const std::size_t entries = checked_product(checked_product(view.count, view.rows), view.cols);
    out.too_large = !fits_in_memory(entries, sizeof(double));
    if (out.too_large) return true;
    out.values = {view.count, view.rows, view.cols, zeros(entries)};
    double* next = out.values.values.data();
    for (std::size_t k = 0; k < view.count; ++k)
        for (std::size_t i = 0; i < view.rows; ++i)
            for (std::size_t j = 0; j < view.cols; ++j) *next++ = view[k](i, j);
    return true;
}

StackView OwnedStack::view() const {
    constexpr auto entry = static_cast<std::ptrdiff_t>(sizeof(double));
    const auto row_bytes = static_cast<std::ptrdiff_t>(cols) * entry;
    return {reinterpret_cast<const char*>(values.data()), count, rows, cols,
            static_cast<std::ptrdiff_t>(rows) * row_bytes, row_bytes, entry};
}

bool to_double(PyObject* value, double& out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    out = PyFloat_AsDouble(value);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_count(PyObject* value, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return false;
    const unsigned long long count = PyLong_AsUnsignedLongLong(index.get());
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = count;
    return true;
}

bool to_flag(PyObject* value, bool& out) {
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    if (!PyArray_IsScalar(value, Bool)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not a bool", type_name(value));
        return false;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
}

bool to_text(PyObject* value, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not a str", type_name(value));
        return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &length);
    if (text == nullptr) return false;
    out = {text, static_cast<std::size_t>(length)};
    return true;
}

bool check_instance(PyObject* value, PyTypeObject* expected) {
    if (expected == nullptr) return false;
    if (PyObject_TypeCheck(value, expected)) return true;
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type_name(value), expected->tp_name);
    return false;
}

bool to_optimizer_copy(PyObject* value, Optimizer& out) {
    if (!check_instance(value, class_of<Optimizer>())) return false;
    SharedBorrow borrow(value);
    if (!borrow.held()) return false;
    out = unwrap<Optimizer>(value)->value.clone();
    return true;
}

PyObject* new_array(std::span<const std::size_t> shape) {
    npy_intp dims[NPY_MAXDIMS];
    for (std::size_t axis = 0; axis < shape.size(); ++axis) dims[axis] = static_cast<npy_intp>(shape[axis]);
    return PyArray_SimpleNew(static_cast<int>(shape.size()), dims, NPY_DOUBLE);
}

double* array_data(PyObject* array) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

PyObject* copy_to_array(const Vector& values) {
    const std::size_t shape[] = {values.size()};
    return copy_values(shape, values);
}

PyObject* copy_to_array(const Matrix& values) {
    const std::size_t shape[] = {values.rows, values.cols};
    return copy_values(shape, values.data);
}

PyObject* move_to_array(Vector&& values) {
    // An empty vector has no storage to hand over (and a null buffer would make NumPy allocate).
    if (values.empty()) return copy_to_array(values);
    auto storage = std::make_unique<Vector>(std::move(values));
    Ref owner = Ref::steal(PyCapsule_New(storage.get(), nullptr, free_vector_capsule));
    if (!owner) return nullptr;
    Vector* kept = storage.release();
    npy_intp length = static_cast<npy_intp>(kept->size());
    Ref array = Ref::steal(PyArray_SimpleNewFromData(1, &length, NPY_DOUBLE, kept->data()));
    if (!array) return nullptr;
    // Steals the owner reference, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) return nullptr;
    return array.release();
}

}  // namespace quarnel::python
