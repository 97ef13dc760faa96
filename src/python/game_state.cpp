// The GameState class: a game built from two strategies (projected onto the simplex) and a
// payoff matrix, whose matrix can be read back.
#include "core/game.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/memory.hpp"
#include "python/types.hpp"

namespace quarnel::python {
namespace {

constexpr const char* kParameters[] = {"x", "y", "a"};
constexpr Signature kSignature{"GameState.__new__", kParameters, 3};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound(kSignature);
        VectorView x, y;
        MatrixView a;
        if (!bound.bind(args, kwargs) || !bound.convert("x", x, to_vector_view) ||
            !bound.convert("y", y, to_vector_view) || !bound.convert("a", a, to_matrix_view)) {
            return nullptr;
        }
        // Copies of both strategies, their projections with scratch, and the payoff matrix.
        MemoryNeed().add(x.length, 3 * sizeof(double)).add(y.length, 3 * sizeof(double))
            .add(checked_product(a.rows, a.cols), sizeof(double)).require();
        const Vector x_values = x.copy();
        const Vector y_values = y.copy();
        return wrap_as(type, GameState::from_parts(x_values, y_values, a.copy()));
    });
}

PyObject* get_a(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(self);
        if (!borrow.held()) return nullptr;
        const Matrix& a = unwrap<GameState>(self)->value.a;
        MemoryNeed().add(a.data.size(), sizeof(double)).require();
        return copy_to_array(a);
    });
}

PyGetSetDef getters[] = {
    {"a", get_a, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

template <>
PyTypeObject* class_of<GameState>() {
    return cached_class<GameState>(
        {.name = "GameState", .constructor = construct, .doc = "GameState(x, y, a)\n--\n\n", .getters = getters});
}

}  // namespace quarnel::python
