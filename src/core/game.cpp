#include "core/game.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/instruction_sets.hpp"
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

// Eight doubles: one AVX-512 register, two AVX2 ones, four SSE2 ones; the lanes are computed
// one by one elsewhere. Every operation is an IEEE operation per lane, so results are the same
// on every path.
typedef double Lanes __attribute__((vector_size(64)));
typedef double HalfLanes __attribute__((vector_size(32)));

// The helpers below are always inlined, so each build of matrix_vector_products compiles them
// for its own instruction set (the lanes never cross a call).
#pragma GCC diagnostic ignored "-Wpsabi"

[[gnu::always_inline]] inline Lanes load_lanes(const double* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store_lanes(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

// Rows of up to this many entries are summed in order, from 0.0 (the 2 x 2 fast path repeats
// exactly these operations); longer ones in eight interleaved partial sums.
constexpr std::size_t kShortRow = 8;

// The matrix-vector products of one block of `Rows` rows, in one pass over their entries:
// grad_x[i] = row_i . y in eight partial sums per row (entries j with the same j mod 8 share
// one, lane j mod 8), added up as ((p0+p4) + (p1+p5)) + ((p2+p6) + (p3+p7)), then the leftover
// entries in order; and the column sums sum_y[j] += row_i[j] * x[i], one row after the other.
template <std::size_t Rows>
[[gnu::always_inline]] inline void rows_block(const double* rows, std::size_t n, const double* x, const double* y, double* grad_x, double* sum_y) {
    // Zeroed lane by lane: a zero-initialised array would be cleared by a string store, slow
    // to start on some processors and paid once per block.
    // The weights x[r] are spread over the lanes once per block, not once per chunk.
    Lanes partial[Rows], weight[Rows];
    for (std::size_t r = 0; r < Rows; ++r) {
        partial[r] = Lanes{} + 0.0;
        weight[r] = Lanes{} + x[r];
    }
    const std::size_t whole = n - n % kShortRow;
    for (std::size_t j = 0; j < whole; j += kShortRow) {
        const Lanes y_chunk = load_lanes(y + j);
        Lanes s = load_lanes(sum_y + j);
        for (std::size_t r = 0; r < Rows; ++r) {
            const Lanes a_chunk = load_lanes(rows + r * n + j);
            partial[r] += a_chunk * y_chunk;
            s += a_chunk * weight[r];
        }
        store_lanes(sum_y + j, s);
    }
    for (std::size_t r = 0; r < Rows; ++r) {
        const HalfLanes p = __builtin_shufflevector(partial[r], partial[r], 0, 1, 2, 3) +
                            __builtin_shufflevector(partial[r], partial[r], 4, 5, 6, 7);
        double sum = (p[0] + p[1]) + (p[2] + p[3]);
        const double* row = rows + r * n;
        double rest = 0.0;
        for (std::size_t j = whole; j < n; ++j) rest += row[j] * y[j];
        grad_x[r] = whole == 0 ? rest : sum + rest;
    }
    for (std::size_t j = whole; j < n; ++j)
        for (std::size_t r = 0; r < Rows; ++r) sum_y[j] += rows[r * n + j] * x[r];
}

// grad_x = a * y and grad_y = -(a^T * x) for a row-major m x n matrix. The AVX-512 build
// has twice the vector registers, so fewer reloads.
QUARNEL_INSTRUCTION_SET_CLONES void matrix_vector_products(
    const double* a, std::size_t m, std::size_t n, const double* x, const double* y, double* grad_x, double* grad_y) {
    for (std::size_t j = 0; j < n; ++j) grad_y[j] = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) rows_block<4>(a + i * n, n, x + i, y, grad_x + i, grad_y);
    for (; i < m; ++i) rows_block<1>(a + i * n, n, x + i, y, grad_x + i, grad_y);
    for (std::size_t j = 0; j < n; ++j) grad_y[j] = -grad_y[j];
}

// Versions for the same instruction sets as the kernel's clones: the loader's choice among
// them follows the same rule, so each names the build of the kernel that runs.
#ifdef __SANITIZE_THREAD__
const char* selected_instruction_set() { return "baseline"; }
#else
__attribute__((target("arch=x86-64-v4"))) const char* selected_instruction_set() { return "avx512"; }
__attribute__((target("avx2"))) const char* selected_instruction_set() { return "avx2"; }
__attribute__((target("default"))) const char* selected_instruction_set() { return "baseline"; }
#endif

// The smallest entry under IEEE totalOrder. Keys are equal only for equal bits, so the smallest
// key names one value whatever the order of the comparisons: four interleaved chains of them.
QUARNEL_INSTRUCTION_SET_CLONES double total_order_min(std::span<const double> v) {
    if (v.empty()) panic("duality gap of an empty gradient");
    std::int64_t smallest[4];
    for (std::int64_t& key : smallest) key = total_order_key(v[0]);
    std::size_t i = 0;
    for (; i + 4 <= v.size(); i += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) smallest[lane] = std::min(smallest[lane], total_order_key(v[i + lane]));
    for (; i < v.size(); ++i) smallest[0] = std::min(smallest[0], total_order_key(v[i]));
    // The key of a key is the value's bits again.
    return std::bit_cast<double>(total_order_key(
        std::bit_cast<double>(std::min(std::min(smallest[0], smallest[1]), std::min(smallest[2], smallest[3])))));
}

}  // namespace

void panic_shape_mismatch(const char* operation, std::size_t r1, std::size_t c1, std::size_t r2,
                          std::size_t c2) {
    panic("inputs " + std::to_string(r1) + " × " + std::to_string(c1) + " and " + std::to_string(r2) +
          " × " + std::to_string(c2) + " are not compatible for " + operation);
}

const char* gradient_instruction_set() { return selected_instruction_set(); }

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

    matrix_vector_products(a.data.data(), m, n, x.data(), y.data(), grad_x.data(), grad_y.data());
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
