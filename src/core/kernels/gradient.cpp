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

// eight_partials_sum of kWidth rows at once, lane r of the result row r's: the same additions,
// the rows side by side in the lanes (pairs of lanes added as even + odd).
template <typename V, std::size_t Rows, std::size_t Registers>
[[gnu::always_inline]] inline V eight_partials_sums(const V (&p)[Rows][Registers]) {
    static_assert(Rows * sizeof(double) == sizeof(V) && Rows * Registers == kShortRow);
    if constexpr (Rows == 8) {
        // Rows r and r + 1: their halves' sums h side by side, row r's in the low four lanes.
        V h[4];
        for (std::size_t q = 0; q < 4; ++q)
            h[q] = __builtin_shufflevector(p[2 * q][0], p[2 * q + 1][0], 0, 1, 2, 3, 8, 9, 10, 11) +
                   __builtin_shufflevector(p[2 * q][0], p[2 * q + 1][0], 4, 5, 6, 7, 12, 13, 14, 15);
        // h0 + h1 and h2 + h3 of rows (0, 2, 0, 2, 1, 3, 1, 3) and the next four.
        V t[2];
        for (std::size_t q = 0; q < 2; ++q)
            t[q] = __builtin_shufflevector(h[2 * q], h[2 * q + 1], 0, 8, 2, 10, 4, 12, 6, 14) +
                   __builtin_shufflevector(h[2 * q], h[2 * q + 1], 1, 9, 3, 11, 5, 13, 7, 15);
        return __builtin_shufflevector(t[0], t[1], 0, 4, 1, 5, 8, 12, 9, 13) +
               __builtin_shufflevector(t[0], t[1], 2, 6, 3, 7, 10, 14, 11, 15);
    } else if constexpr (Rows == 4) {
        V h[4];
        for (std::size_t r = 0; r < 4; ++r) h[r] = p[r][0] + p[r][1];
        // h0 + h1 and h2 + h3 of rows (0, 1, 0, 1) and (2, 3, 2, 3).
        const V t01 = __builtin_shufflevector(h[0], h[1], 0, 4, 2, 6) + __builtin_shufflevector(h[0], h[1], 1, 5, 3, 7);
        const V t23 = __builtin_shufflevector(h[2], h[3], 0, 4, 2, 6) + __builtin_shufflevector(h[2], h[3], 1, 5, 3, 7);
        return __builtin_shufflevector(t01, t23, 0, 1, 4, 5) + __builtin_shufflevector(t01, t23, 2, 3, 6, 7);
    } else {
        V low[2], high[2];
        for (std::size_t r = 0; r < 2; ++r) {
            low[r] = p[r][0] + p[r][2];
            high[r] = p[r][1] + p[r][3];
        }
        return (__builtin_shufflevector(low[0], low[1], 0, 2) + __builtin_shufflevector(low[0], low[1], 1, 3)) +
               (__builtin_shufflevector(high[0], high[1], 0, 2) + __builtin_shufflevector(high[0], high[1], 1, 3));
    }
}

// grad_x for a block of `Rows` rows: row_i . y in eight partial sums per row, added up as
// eight_partials_sum does, then plus the leftover entries summed in order from 0.0. Each chunk
// of y is loaded once per block.
template <std::size_t Rows>
[[gnu::always_inline]] inline void row_products(const double* rows, std::size_t n, const double* y, double* grad_x) {
    // Zeroed lane by lane: a zero-initialised array would be cleared by a string store, slow
    // to start on some processors and paid once per block.
    Doubles partial[Rows][kRegisters];
    for (std::size_t r = 0; r < Rows; ++r)
        for (Doubles& p : partial[r]) p = Doubles{} + 0.0;
    const std::size_t whole = n - n % kShortRow;
#pragma GCC unroll 2
    for (std::size_t j = 0; j < whole; j += kShortRow) {
        Doubles y_chunk[kRegisters];
        for (std::size_t c = 0; c < kRegisters; ++c) y_chunk[c] = load(y + j + c * kWidth);
        for (std::size_t r = 0; r < Rows; ++r)
            for (std::size_t c = 0; c < kRegisters; ++c) partial[r][c] += load(rows + r * n + j + c * kWidth) * y_chunk[c];
    }
    if constexpr (Rows == kWidth) {
        if (whole != 0) {
            // A sum from 0.0 is never -0.0, so rows with no leftover entries need no "+ 0.0".
            Doubles sums = eight_partials_sums(partial);
            if (whole != n) {
                Doubles rest;
                for (std::size_t r = 0; r < Rows; ++r) {
                    rest[r] = 0.0;
                    for (std::size_t j = whole; j < n; ++j) rest[r] += rows[r * n + j] * y[j];
                }
                sums += rest;
            }
            store(grad_x, sums);
            return;
        }
    }
    for (std::size_t r = 0; r < Rows; ++r) {
        const double* row = rows + r * n;
        double rest = 0.0;
        for (std::size_t j = whole; j < n; ++j) rest += row[j] * y[j];
        grad_x[r] = whole == 0 ? rest : eight_partials_sum(partial[r]) + rest;
    }
}

// grad_y = -(a^T x) for `Columns` registers of columns from column j: each column summed in row
// order from 0.0, the sums held in registers over all the rows. V is Doubles, or double for
// columns one at a time.
template <typename V, std::size_t Columns>
[[gnu::always_inline]] inline void column_products(const double* a, std::size_t m, std::size_t n, std::size_t j,
                                                   const double* x, double* grad_y) {
    constexpr std::size_t kStep = sizeof(V) / sizeof(double);
    V sum[Columns];
    for (V& s : sum) s = V{} + 0.0;
#pragma GCC unroll 2
    for (std::size_t i = 0; i < m; ++i) {
        const V weight = V{} + x[i];
        const double* row = a + i * n + j;
        for (std::size_t c = 0; c < Columns; ++c) {
            V entries;
            std::memcpy(&entries, row + c * kStep, sizeof entries);
            sum[c] += entries * weight;
        }
    }
    for (V& s : sum) s = -s;
    std::memcpy(grad_y + j, sum, sizeof sum);
}

// The matrix-vector products of one block of `Rows` rows, in one pass over their entries:
// grad_x[i] = row_i . y in eight partial sums per row, added up as eight_partials_sum does,
// then the leftover entries in order; and the column sums sum_y[j] += row_i[j] * x[i], one row
// after the other.
template <std::size_t Rows>
[[gnu::always_inline]] inline void fused_rows(const double* rows, std::size_t n, const double* x, const double* y,
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

// Rows a block of grad_x takes alone: as many as keep their partial sums in the registers, with
// the chunks of y beside them (eight_partials_sums adds up a block's rows together).
constexpr std::size_t kRowBlock = kWidth;
// Rows a block of the fused pass takes: as many as keep their partial sums in the registers.
constexpr std::size_t kFusedRowBlock = kWidth == 2 ? 2 : 4;
// Games up to this size stay in the first-level data cache from one step to the next: their two
// products each take a pass of their own over the matrix, the sums in registers. Larger ones come
// from the second level at every step, whose bandwidth one pass computing both products uses
// better (measured on Zen 4: 64 x 64 1.1-1.3 times faster in two passes, 96 x 96 and larger
// 1.05-1.45 times slower).
constexpr std::size_t kTwoPassBytes = 32768;

// Two passes over a: grad_x row by row (horizontal sums), grad_y by blocks of columns (vertical
// sums). Columns left over after the whole registers are taken by one register ending at column
// n, which recomputes the columns it shares with the one before (the same operations, the same
// bits).
[[gnu::always_inline]] inline void two_passes(const double* a, std::size_t m, std::size_t n, const double* x,
                                              const double* y, double* grad_x, double* grad_y) {
    std::size_t i = 0;
    for (; i + kRowBlock <= m; i += kRowBlock) row_products<kRowBlock>(a + i * n, n, y, grad_x + i);
    for (; i < m; ++i) row_products<1>(a + i * n, n, y, grad_x + i);

    if (n < kWidth) {
        for (std::size_t j = 0; j < n; ++j) column_products<double, 1>(a, m, n, j, x, grad_y);
        return;
    }
    constexpr std::size_t kColumnBlock = 8;  // registers of running sums
    std::size_t j = 0;
    for (; j + kColumnBlock * kWidth <= n; j += kColumnBlock * kWidth)
        column_products<Doubles, kColumnBlock>(a, m, n, j, x, grad_y);
    if (j + 4 * kWidth <= n) {
        column_products<Doubles, 4>(a, m, n, j, x, grad_y);
        j += 4 * kWidth;
    }
    if (j + 2 * kWidth <= n) {
        column_products<Doubles, 2>(a, m, n, j, x, grad_y);
        j += 2 * kWidth;
    }
    if (j + kWidth <= n) {
        column_products<Doubles, 1>(a, m, n, j, x, grad_y);
        j += kWidth;
    }
    if (j < n) column_products<Doubles, 1>(a, m, n, n - kWidth, x, grad_y);
}

// A signed integer key whose order is IEEE 754 totalOrder: negative values have their
// magnitude bits flipped so that larger magnitudes sort lower. The key of a key is the
// value's bits again.
[[gnu::always_inline]] inline std::int64_t total_order_key(double value) {
    const auto bits = std::bit_cast<std::int64_t>(value);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// The smallest lane of a register of keys, the lanes folded by halves with shuffles (reading
// them by index kept the register in memory through the loop that fills it).
template <typename K>
[[gnu::always_inline]] inline std::int64_t smallest_lane(K keys) {
    const auto smaller = [](K a, K b) { return b < a ? b : a; };
    if constexpr (sizeof(K) == 8 * sizeof(std::int64_t)) {
        keys = smaller(keys, __builtin_shufflevector(keys, keys, 4, 5, 6, 7, 0, 1, 2, 3));
        keys = smaller(keys, __builtin_shufflevector(keys, keys, 2, 3, 0, 1, 6, 7, 4, 5));
    } else if constexpr (sizeof(K) == 4 * sizeof(std::int64_t)) {
        keys = smaller(keys, __builtin_shufflevector(keys, keys, 2, 3, 0, 1));
    }
    return std::min(keys[0], keys[1]);
}

}  // namespace

void matrix_vector_products(const double* a, std::size_t m, std::size_t n, const double* x, const double* y,
                            double* grad_x, double* grad_y) {
    if (m * n * sizeof(double) <= kTwoPassBytes) {
        two_passes(a, m, n, x, y, grad_x, grad_y);
        return;
    }
    for (std::size_t j = 0; j < n; ++j) grad_y[j] = 0.0;
    std::size_t i = 0;
    for (; i + kFusedRowBlock <= m; i += kFusedRowBlock) fused_rows<kFusedRowBlock>(a + i * n, n, x + i, y, grad_x + i, grad_y);
    for (; i < m; ++i) fused_rows<1>(a + i * n, n, x + i, y, grad_x + i, grad_y);
    for (std::size_t j = 0; j < n; ++j) grad_y[j] = -grad_y[j];
}

// Keys are equal only for equal bits, so the smallest key names one value whatever the order
// of the comparisons: four interleaved chains of them.
double total_order_min(const double* v, std::size_t length) {
    if constexpr (kWidth >= 4) {
        // A register of keys at a time (two-lane builds have no 64-bit comparison in SSE2).
        Keys smallest = Keys{} + total_order_key(v[0]);
        std::size_t i = 0;
        for (; i + kWidth <= length; i += kWidth) {
            const Keys bits = std::bit_cast<Keys>(load(v + i));
            const Keys keys = bits ^ std::bit_cast<Keys>(std::bit_cast<Bits>(bits < 0) >> 1);
            smallest = keys < smallest ? keys : smallest;
        }
        std::int64_t least = smallest_lane(smallest);
        for (; i < length; ++i) least = std::min(least, total_order_key(v[i]));
        return std::bit_cast<double>(total_order_key(std::bit_cast<double>(least)));
    }
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
