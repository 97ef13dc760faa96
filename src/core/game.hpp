#pragma once
// A two-player zero-sum matrix game with both players' current mixed strategies.
#include <span>
#include <utility>

#include "core/dense.hpp"

namespace quarnel {

struct GameState {
    Vector x;  // row player's strategy (minimiser), one entry per row of `a`
    Vector y;  // column player's strategy (maximiser), one entry per column of `a`
    Matrix a;  // payoff matrix

    // Uniform strategies for both players; panics "unable to build x|y: \"...\"" for an
    // empty dimension.
    static GameState from_matrix(Matrix a);

    // Projects both given strategies onto the simplex (x first) and keeps a copy of `a`.
    // Lengths are not compared with the matrix.
    static GameState from_parts(std::span<const double> x, std::span<const double> y, Matrix a);

    // grad_x = a * y and grad_y = -(a^T * x), written into the given spans, which must have
    // a.rows and a.cols entries. Panics with a message naming both shapes when the stored
    // strategies do not fit the matrix (the grad_x mismatch is reported first).
    void compute_gradient_into(std::span<double> grad_x, std::span<double> grad_y) const;

    // Convenience form returning fresh vectors.
    std::pair<Vector, Vector> compute_gradient() const;

    // (-min grad_y) - min grad_x, minima under IEEE totalOrder (first of equal entries).
    // Panics on an empty gradient.
    static double duality_gap(std::span<const double> grad_x, std::span<const double> grad_y);
};

// Panic naming two operand shapes that cannot be combined:
// "inputs 2 × 2 and 3 × 1 are not compatible for matrix multiplication".
[[noreturn]] void panic_shape_mismatch(const char* operation, std::size_t r1, std::size_t c1,
                                       std::size_t r2, std::size_t c2);

}  // namespace quarnel
