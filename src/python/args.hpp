#pragma once
// Binding of call arguments to the parameters of a callable of the module: every parameter may
// be passed by position or by keyword; trailing parameters may be optional.
#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace quarnel::python {

inline constexpr std::size_t kMaxParameters = 16;

// A callable taking positional and keyword arguments through the vector-call convention.
using FastcallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The generic method pointer that a METH_FASTCALL | METH_KEYWORDS method record holds.
inline PyCFunction as_method(FastcallFunction function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

struct Signature {
    // Signatures are constants: one of more than kMaxParameters parameters (or more required
    // than it has) does not compile.
    consteval Signature(const char* callable, std::span<const char* const> parameters, std::size_t required)
        : callable(callable), parameters(parameters), required(required) {
        if (parameters.size() > kMaxParameters || required > parameters.size()) throw "malformed signature";
    }

    const char* callable;  // as named in binding errors, e.g. "GameState.__new__"
    std::span<const char* const> parameters;
    std::size_t required;  // the first `required` parameters must be given
};

class BoundArguments {
public:
    explicit BoundArguments(const Signature& signature) : signature_(signature) {}

    // From the vector-call convention. False with TypeError set on a binding error.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // From a positional tuple and an optional keyword dict (constructors).
    bool bind(PyObject* args, PyObject* kwargs);

    // Converts the parameter named `parameter` with `convert(PyObject*, T&)`; a TypeError is
    // re-raised with the "argument '<name>': " prefix, other exceptions pass unchanged. An
    // optional parameter that was not given leaves `out` as it is (its default). A name the
    // signature does not have is a broken invariant of the module (a panic).
    template <typename T, typename Converter>
    bool convert(std::string_view parameter, T& out, Converter convert_value) const {
        const std::size_t index = index_of(parameter);
        PyObject* value = values_[index];
        if (value == nullptr) return true;
        if (convert_value(value, out)) return true;
        prefix_type_error(signature_.parameters[index]);
        return false;
    }

private:
    bool take_positional(Py_ssize_t count);
    bool take_keyword(PyObject* name, PyObject* value);
    bool check_required() const;
    std::size_t index_of(std::string_view parameter) const;
    static void prefix_type_error(const char* parameter);

    const Signature& signature_;
    std::array<PyObject*, kMaxParameters> values_{};  // borrowed; null = not given
};

}  // namespace quarnel::python
