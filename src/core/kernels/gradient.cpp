// The gradients of a single run: matrix-vector products, and the smallest entry for the
// duality gap.
#include <algorithm>
#include <bit>
#include <cstring>

#include "core/kernels/build.hpp"

namespace quarnel::QUARNEL_KERNELS {

namespace {

#pragma GCC diagnostic ignored "-Wpsabi"

[[gnu::always_inline]] inline Doubles load(const double* p) {
    Doubles v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store(double* p, Doubles v) { std::memcpy(p, &v, sizeof v); }

// Rows of up to this many entries are summed in order, from 0.0 (the 2 x 2 fast path repeats
// exactly these operations); longer ones in eight interleaved partial sums, whatever the
// register width: partial sum k of a row is entry k mod 8's, lane k mod width of register
// k / width.
constexpr std::size_t kShortRow = 8;
constexpr std::size_t kRegisters = kShortRow / kWidth;

// The eight partial sums added up as ((p0+p4) + (p1+p5)) + ((p2+p6) + (p3+p7)).
template <typename V, std::size_t Registers>
[[gnu::always_inline]] inline double eight_partials_sum(const V (&p)[Registers]) {
    if constexpr (Registers == 1) {
        typedef double Half __attribute__((vector_size(4 * sizeof(double))));
        const Half h = __builtin_shufflevector(p[0], p[0], 0, 1, 2, 3) + __builtin_shufflevector(p[0], p[0], 4, 5, 6, 7);
        return (h[0] + h[1]) + (h[2] + h[3]);
    } else if constexpr (Registers == 2) {
        const V h = p[0] + p[1];
        return (h[0] + h[1]) + (h[2] + h[3]);
    } else {
        const V low = p[0] + p[2], high = p[1] + p[3];
        return (low[0] + low[1]) + (high[0] + high[1]);
    }
}

// The matrix-vector products of one block of `Rows` rows, in one pass over their entries:
// grad_x[i] = row_i . y in eight partial sums per row, added up as eight_partials_sum does,
// then the leftover entries in order; and the column sums sum_y[j] += row_i[j] * x[i], one row
// after the other.
template <std::size_t Rows>
[[gnu::always_inline]] inline void rows_block(const double* rows, std::size_t n, const double* x, const double* y,
                                              double* grad_x, double* sum_y) {
    // Zeroed lane by lane: a zero-initialised array would be cleared by a string store, slow
    // to start on some processors and paid once per block.
    // The weights x[r] are spread over the lanes once per block, not once per chunk.
    Doubles partial[Rows][kRegisters], weight[Rows];
    for (std::size_t r = 0; r < Rows; ++r) {
        for (Doubles& p : partial[r]) p = Doubles{} + 0.0;
        weight[r] = Doubles{} + x[r];
    }
    const std::size_t whole = n - n % kShortRow;
    for (std::size_t j = 0; j < whole; j += kShortRow) {
        for (std::size_t c = 0; c < kRegisters; ++c) {
            const std::size_t k = j + c * kWidth;
            const Doubles y_chunk = load(y + k);
            Doubles s = load(sum_y + k);
            for (std::size_t r = 0; r < Rows; ++r) {
                const Doubles a_chunk = load(rows + r * n + k);
                partial[r][c] += a_chunk * y_chunk;
                s += a_chunk * weight[r];
            }
            store(sum_y + k, s);
        }
    }
    for (std::size_t r = 0; r < Rows; ++r) {
        const double sum = eight_partials_sum(partial[r]);
        const double* row = rows + r * n;
        double rest = 0.0;
        for (std::size_t j = whole; j < n; ++j) rest += row[j] * y[j];
        grad_x[r] = whole == 0 ? rest : sum + rest;
    }
    for (std::size_t j = whole; j < n; ++j)
        for (std::size_t r = 0; r < Rows; ++r) sum_y[j] += rows[r * n + j] * x[r];
}

// As many rows a block as keep their partial sums in the registers.
constexpr std::size_t kRowBlock = kWidth == 2 ? 2 : 4;

// A signed integer key whose order is IEEE 754 totalOrder: negative values have their
// magnitude bits flipped so that larger magnitudes sort lower. The key of a key is the
// value's bits again.
[[gnu::always_inline]] inline std::int64_t total_order_key(double value) {
    const auto bits = std::bit_cast<std::int64_t>(value);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

}  // namespace

void matrix_vector_products(const double* a, std::size_t m, std::size_t n, const double* x, const double* y,
                            double* grad_x, double* grad_y) {
    for (std::size_t j = 0; j < n; ++j) grad_y[j] = 0.0;
    std::size_t i = 0;
    for (; i + kRowBlock <= m; i += kRowBlock) rows_block<kRowBlock>(a + i * n, n, x + i, y, grad_x + i, grad_y);
    for (; i < m; ++i) rows_block<1>(a + i * n, n, x + i, y, grad_x + i, grad_y);
    for (std::size_t j = 0; j < n; ++j) grad_y[j] = -grad_y[j];
}

// Keys are equal only for equal bits, so the smallest key names one value whatever the order
// of the comparisons: four interleaved chains of them.
double total_order_min(const double* v, std::size_t length) {
    std::int64_t smallest[4];
    for (std::int64_t& key : smallest) key = total_order_key(v[0]);
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) smallest[lane] = std::min(smallest[lane], total_order_key(v[i + lane]));
    for (; i < length; ++i) smallest[0] = std::min(smallest[0], total_order_key(v[i]));
    return std::bit_cast<double>(total_order_key(
        std::bit_cast<double>(std::min(std::min(smallest[0], smallest[1]), std::min(smallest[2], smallest[3])))));
}

void add_entrywise(double* target, const double* addend, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) target[i] += addend[i];
}

}  // namespace quarnel::QUARNEL_KERNELS
