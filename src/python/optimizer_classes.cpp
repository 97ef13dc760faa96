// The Optimizer class, built only through its static factories, and the three variant classes,
// which can be constructed but are accepted nowhere else.
#include <type_traits>

#include "core/optimizer.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/memory.hpp"
#include "python/types.hpp"

namespace quarnel::python {
namespace {

constexpr const char* kParameters[] = {"eta", "dim"};

struct Hyperparameters {
    double eta = 0.0;
    std::uint64_t dim = 0;
};

// Vectors of length dim alive while a variant's starting state is built: its two vectors, and
// for the projected ones the projection's input and scratch too.
template <typename Variant>
constexpr std::size_t kStartingVectors = std::is_same_v<Variant, OmwuOftrl> ? 2 : 4;

// Converts both, then checks that a starting state of that length fits in memory.
template <typename Variant>
bool convert_hyperparameters(const BoundArguments& bound, Hyperparameters& out) {
    if (!bound.convert("eta", out.eta, to_double) || !bound.convert("dim", out.dim, to_count)) return false;
    MemoryNeed().add(out.dim, kStartingVectors<Variant> * sizeof(double)).require();
    return true;
}

template <typename Variant, const Signature& signature>
PyObject* make_optimizer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(signature);
        Hyperparameters h;
        if (!bound.bind(args, nargs, kwnames) || !convert_hyperparameters<Variant>(bound, h)) return nullptr;
        return wrap(Optimizer{Variant::create(h.eta, h.dim)});
    });
}

template <typename Variant, const Signature& signature>
PyObject* construct_variant(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(signature);
        Hyperparameters h;
        if (!bound.bind(args, kwargs) || !convert_hyperparameters<Variant>(bound, h)) return nullptr;
        return wrap_as(type, Variant::create(h.eta, h.dim));
    });
}

constexpr Signature kOgdaFactory{"Optimizer.ogda", kParameters, 2};
constexpr Signature kOomdFactory{"Optimizer.omwuoomd", kParameters, 2};
constexpr Signature kOftrlFactory{"Optimizer.omwuoftrl", kParameters, 2};
constexpr Signature kOgdaNew{"Ogda.__new__", kParameters, 2};
constexpr Signature kOomdNew{"OmwuOomd.__new__", kParameters, 2};
constexpr Signature kOftrlNew{"OmwuOftrl.__new__", kParameters, 2};

constexpr int kStaticFastcall = METH_STATIC | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef factories[] = {
    {"ogda", as_method(make_optimizer<Ogda, kOgdaFactory>), kStaticFastcall, "ogda(eta, dim)\n--\n\n"},
    {"omwuoomd", as_method(make_optimizer<OmwuOomd, kOomdFactory>), kStaticFastcall,
     "omwuoomd(eta, dim)\n--\n\n"},
    {"omwuoftrl", as_method(make_optimizer<OmwuOftrl, kOftrlFactory>), kStaticFastcall,
     "omwuoftrl(eta, dim)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

template <typename Variant, const Signature& signature>
PyTypeObject* variant_class(const char* name, const char* doc) {
    return cached_class<Variant>({.name = name, .constructor = construct_variant<Variant, signature>, .doc = doc});
}

}  // namespace

template <>
PyTypeObject* class_of<Optimizer>() {
    return cached_class<Optimizer>({.name = "Optimizer", .methods = factories});
}

template <>
PyTypeObject* class_of<Ogda>() {
    return variant_class<Ogda, kOgdaNew>("Ogda", "Ogda(eta, dim)\n--\n\n");
}

template <>
PyTypeObject* class_of<OmwuOomd>() {
    return variant_class<OmwuOomd, kOomdNew>("OmwuOomd", "OmwuOomd(eta, dim)\n--\n\n");
}

template <>
PyTypeObject* class_of<OmwuOftrl>() {
    return variant_class<OmwuOftrl, kOftrlNew>("OmwuOftrl", "OmwuOftrl(eta, dim)\n--\n\n");
}

}  // namespace quarnel::python
