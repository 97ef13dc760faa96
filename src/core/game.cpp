#include "core/game.hpp"

#include <bit>
#include <cstdint>
#include <string>

#include "core/panic.hpp"
#include "core/simplex.hpp"

namespace quarnel {

namespace {

Vector uniform(std::size_t length) {
    return Vector(length, 1.0 / static_cast<double>(length));
}

// A signed integer key whose order is IEEE 754 totalOrder: negative values have their
// magnitude bits flipped so that larger magnitudes sort lower.
std::int64_t total_order_key(double value) {
    const auto bits = std::bit_cast<std::int64_t>(value);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// Short rows are summed in order; longer ones in four interleaved partial sums, which lets
// the multiplications and additions overlap.
double dot(const double* u, const double* v, std::size_t n) {
    if (n < 8) {
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) sum += u[j] * v[j];
        return sum;
    }
    double partial[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) partial[lane] += u[j + lane] * v[j + lane];
    for (; j < n; ++j) partial[0] += u[j] * v[j];
    return (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

double total_order_min(std::span<const double> v) {
    if (v.empty()) panic("duality gap of an empty gradient");
    double smallest = v[0];
    std::int64_t smallest_key = total_order_key(v[0]);
    for (std::size_t i = 1; i < v.size(); ++i) {
        const std::int64_t key = total_order_key(v[i]);
        if (key < smallest_key) {
            smallest_key = key;
            smallest = v[i];
        }
    }
    return smallest;
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

    // Both products walk the row-major matrix in memory order: grad_x is one dot product per
    // row, grad_y accumulates the rows weighted by x_i (independent lanes, so it vectorises).
    const double* entries = a.data.data();
    for (std::size_t i = 0; i < m; ++i) grad_x[i] = dot(entries + i * n, y.data(), n);
    for (std::size_t j = 0; j < n; ++j) grad_y[j] = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double* row = entries + i * n;
        const double weight = x[i];
        for (std::size_t j = 0; j < n; ++j) grad_y[j] += row[j] * weight;
    }
    for (std::size_t j = 0; j < n; ++j) grad_y[j] = -grad_y[j];
}

std::pair<Vector, Vector> GameState::compute_gradient() const {
    Vector grad_x = zeros(a.rows);
    Vector grad_y = zeros(a.cols);
    compute_gradient_into(grad_x, grad_y);
    return {std::move(grad_x), std::move(grad_y)};
}

double GameState::duality_gap(std::span<const double> grad_x, std::span<const double> grad_y) {
    const double min_y = total_order_min(grad_y);
    const double min_x = total_order_min(grad_x);
    return (-min_y) - min_x;
}

}  // namespace quarnel
