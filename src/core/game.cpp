#include "core/game.hpp"

#include <string>

#include "core/kernels.hpp"
#include "core/panic.hpp"
#include "core/simplex.hpp"

namespace quarnel {

namespace {

Vector uniform(std::size_t length) {
    return Vector(length, 1.0 / static_cast<double>(length));
}

}  // namespace

void panic_shape_mismatch(const char* operation, std::size_t r1, std::size_t c1, std::size_t r2,
                          std::size_t c2) {
    panic("inputs " + std::to_string(r1) + " × " + std::to_string(c1) + " and " + std::to_string(r2) +
          " × " + std::to_string(c2) + " are not compatible for " + operation);
}

GameState GameState::from_matrix(Matrix a) {
    Vector x = build_or_panic(uniform(a.rows), "unable to build x");
    Vector y = build_or_panic(uniform(a.cols), "unable to build y");
    return GameState{std::move(x), std::move(y), std::move(a)};
}

GameState GameState::from_parts(std::span<const double> x, std::span<const double> y, Matrix a) {
    Vector projected_x = simplex_projection(x, 1.0);
    Vector projected_y = simplex_projection(y, 1.0);
    return GameState{std::move(projected_x), std::move(projected_y), std::move(a)};
}

void GameState::compute_gradient_into(std::span<double> grad_x, std::span<double> grad_y) const {
    const std::size_t m = a.rows;
    const std::size_t n = a.cols;
    if (y.size() != n) panic_shape_mismatch("matrix multiplication", m, n, y.size(), 1);
    if (x.size() != m) panic_shape_mismatch("matrix multiplication", n, m, x.size(), 1);
    if (grad_x.size() != m || grad_y.size() != n)
        panic_shape_mismatch("gradient output", m, n, grad_x.size(), grad_y.size());

    kernels().matrix_vector_products(a.data.data(), m, n, x.data(), y.data(), grad_x.data(), grad_y.data());
}

std::pair<Vector, Vector> GameState::compute_gradient() const {
    Vector grad_x = zeros(a.rows);
    Vector grad_y = zeros(a.cols);
    compute_gradient_into(grad_x, grad_y);
    return {std::move(grad_x), std::move(grad_y)};
}

double GameState::duality_gap(std::span<const double> grad_x, std::span<const double> grad_y) {
    if (grad_x.empty() || grad_y.empty()) panic("duality gap of an empty gradient");
    const double min_y = kernels().total_order_min(grad_y.data(), grad_y.size());
    const double min_x = kernels().total_order_min(grad_x.data(), grad_x.size());
    return (-min_y) - min_x;
}

}  // namespace quarnel
