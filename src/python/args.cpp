#include "python/args.hpp"

#include <string>

#include "core/panic.hpp"
#include "python/errors.hpp"
#include "python/handle.hpp"

namespace quarnel::python {
namespace {

std::string plural(std::size_t count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing arguments.
std::string name_list(const std::string* names, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        text += "'" + names[i] + "'";
    }
    return text;
}

}  // namespace

bool BoundArguments::take_positional(Py_ssize_t count) {
    const std::size_t total = signature_.parameters.size();
    if (static_cast<std::size_t>(count) <= total) return true;
    std::string accepted = signature_.required == total
                               ? std::to_string(total)
                               : "from " + std::to_string(signature_.required) + " to " + std::to_string(total);
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given", signature_.callable,
                 accepted.c_str(), total == 1 ? "" : "s", count, count == 1 ? "was" : "were");
    return false;
}

bool BoundArguments::take_keyword(PyObject* name, PyObject* value) {
    for (std::size_t i = 0; i < signature_.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, signature_.parameters[i]) != 0) continue;
        if (values_[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature_.callable,
                         signature_.parameters[i]);
            return false;
        }
        values_[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature_.callable, name);
    return false;
}

std::size_t BoundArguments::index_of(std::string_view parameter) const {
    for (std::size_t i = 0; i < signature_.parameters.size(); ++i) {
        if (parameter == signature_.parameters[i]) return i;
    }
    panic(std::string(signature_.callable) + "() has no parameter '" + std::string(parameter) + "'");
}

bool BoundArguments::check_required() const {
    std::string missing[kMaxParameters];
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature_.required; ++i) {
        if (values_[i] == nullptr) missing[count++] = signature_.parameters[i];
    }
    if (count == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s() missing %s: %s", signature_.callable,
                 plural(count, "required positional argument").c_str(), name_list(missing, count).c_str());
    return false;
}

bool BoundArguments::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!take_positional(nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = args[i];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        if (!take_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
    }
    return check_required();
}

bool BoundArguments::bind(PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!take_positional(nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    while (kwargs != nullptr && PyDict_Next(kwargs, &position, &name, &value)) {
        if (!take_keyword(name, value)) return false;
    }
    return check_required();
}

void BoundArguments::prefix_type_error(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref original = take_raised_exception();
    Ref reason = Ref::steal(PyObject_Str(original.get()));
    if (!reason) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, reason.get()));
    if (!message) return;
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return;
    // The new error keeps the original's cause (not the original itself).
    PyException_SetCause(error.get(), PyException_GetCause(original.get()));
    PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace quarnel::python
