// The entrywise loops of a single run's multiplicative steps, a register of entries at a time.
// Each gives the bits of the plain loops it replaces (src/core/vector_ops.hpp): entrywise
// operations are the same whatever the width, and the folds keep their four chains, entry i
// in chain i mod 4, combined in the same order.
#include <cstring>
#include <limits>

#include "core/kernels/build.hpp"

namespace quarnel::QUARNEL_KERNELS {

namespace {

#pragma GCC diagnostic ignored "-Wpsabi"

// The four chains of a fold: one register of four doubles, or two registers where the build's
// are two doubles wide (a four-double vector type there would be kept in memory).
constexpr std::size_t kChainWidth = kWidth == 2 ? 2 : 4;
constexpr std::size_t kChainRegisters = 4 / kChainWidth;
typedef double ChainRegister __attribute__((vector_size(kChainWidth * sizeof(double))));

struct Chains {
    ChainRegister r[kChainRegisters];
    double operator[](std::size_t c) const { return r[c / kChainWidth][c % kChainWidth]; }
};

[[gnu::always_inline]] inline Chains chains_of(double start) {
    Chains p;
    for (ChainRegister& r : p.r) r = ChainRegister{} + start;
    return p;
}

// chain c <- combine(v[c], chain c) for the four entries at v.
template <typename Combine>
[[gnu::always_inline]] inline void fold_four(Chains& p, const double* v, Combine combine) {
    for (std::size_t c = 0; c < kChainRegisters; ++c) {
        ChainRegister x;
        std::memcpy(&x, v + c * kChainWidth, sizeof x);
        p.r[c] = combine(x, p.r[c]);
    }
}

[[gnu::always_inline]] inline Doubles load(const double* p) {
    Doubles v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store(double* p, Doubles v) { std::memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline double larger(double x, double largest) { return x > largest ? x : largest; }

// sum_of: in index order from 0.0 below eight entries, else four chains combined as
// (p0 + p1) + (p2 + p3), the entries past the last whole four added to chain 0 in order.
[[gnu::always_inline]] inline double sum_in_four(const double* v, std::size_t n) {
    if (n < 8) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) sum += v[i];
        return sum;
    }
    Chains p = chains_of(0.0);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) fold_four(p, v + i, [](ChainRegister x, ChainRegister sum) { return sum + x; });
    double p0 = p[0];
    for (; i < n; ++i) p0 += v[i];
    return (p[2] + p[3]) + (p0 + p[1]);
}

[[gnu::always_inline]] inline double smaller(double x, double smallest) { return x < smallest ? x : smallest; }

// The folds of nan_ignoring_min and sum_of (its four chains whatever the length) over the
// entries of v from `from` on, continuing the chains `low` and `total` and closing them.
[[gnu::always_inline]] inline EntryFolds close_folds(Chains low, Chains total, const double* v, std::size_t from,
                                                     std::size_t n) {
    std::size_t i = from;
    for (; i + 4 <= n; i += 4) {
        fold_four(low, v + i, [](ChainRegister x, ChainRegister smallest) { return x < smallest ? x : smallest; });
        fold_four(total, v + i, [](ChainRegister x, ChainRegister sum) { return sum + x; });
    }
    double low0 = low[0], total0 = total[0];
    for (; i < n; ++i) {
        low0 = smaller(v[i], low0);
        total0 += v[i];
    }
    return {smaller(smaller(low[1], low0), smaller(low[3], low[2])), (total[2] + total[3]) + (total0 + total[1])};
}

// v <- v / sum_of(v); returns the folds of the quotients, taken as they are stored (a register
// of them at a time, four or more entries).
[[gnu::always_inline]] inline EntryFolds divide_by_sum(double* v, std::size_t n, double sum) {
    constexpr std::size_t kBlock = kWidth > 4 ? kWidth : 4;
    const Doubles divisor = Doubles{} + sum;
    Chains low = chains_of(std::numeric_limits<double>::infinity()), total = chains_of(0.0);
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        for (std::size_t j = 0; j < kBlock; j += kWidth) store(v + i + j, load(v + i + j) / divisor);
        for (std::size_t j = 0; j < kBlock; j += 4) {
            fold_four(low, v + i + j, [](ChainRegister x, ChainRegister smallest) { return x < smallest ? x : smallest; });
            fold_four(total, v + i + j, [](ChainRegister x, ChainRegister sum) { return sum + x; });
        }
    }
    for (std::size_t k = i; k < n; ++k) v[k] /= sum;
    return close_folds(low, total, v, i, n);
}

}  // namespace

double scaled_with_max(const double* a, const double* b, std::size_t n, double factor, double* out) {
    const Doubles f = Doubles{} + factor;
    std::size_t i = 0;
    if (b) {
        for (; i + kWidth <= n; i += kWidth) store(out + i, (load(a + i) + load(b + i)) * f);
        for (; i < n; ++i) out[i] = (a[i] + b[i]) * factor;
    } else {
        for (; i + kWidth <= n; i += kWidth) store(out + i, load(a + i) * f);
        for (; i < n; ++i) out[i] = a[i] * factor;
    }
    // nan_ignoring_max's fold: chain <- entry > chain ? entry : chain.
    Chains p = chains_of(-std::numeric_limits<double>::infinity());
    i = 0;
    for (; i + 4 <= n; i += 4)
        fold_four(p, out + i, [](ChainRegister x, ChainRegister largest) { return x > largest ? x : largest; });
    double p0 = p[0];
    for (; i < n; ++i) p0 = larger(out[i], p0);
    return larger(larger(p[1], p0), larger(p[3], p[2]));
}

// The products' sum is folded as they are stored (sum_of's four chains from eight entries).
EntryFolds tilt_and_normalise(const double* e, const double* hat, std::size_t n, bool floor, double* out) {
    constexpr std::size_t kBlock = kWidth > 4 ? kWidth : 4;
    const Doubles eps = Doubles{} + (floor ? std::numeric_limits<double>::epsilon() : 0.0);
    Chains total = chains_of(0.0);
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        for (std::size_t j = 0; j < kBlock; j += kWidth) {
            const Doubles product = load(e + i + j) * load(hat + i + j);
            store(out + i + j, floor ? product + eps : product);
        }
        for (std::size_t j = 0; j < kBlock; j += 4)
            fold_four(total, out + i + j, [](ChainRegister x, ChainRegister sum) { return sum + x; });
    }
    for (std::size_t k = i; k < n; ++k)
        out[k] = floor ? e[k] * hat[k] + std::numeric_limits<double>::epsilon() : e[k] * hat[k];
    double sum;
    if (n < 8) {
        sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) sum += out[k];
    } else {
        for (; i + 4 <= n; i += 4) fold_four(total, out + i, [](ChainRegister x, ChainRegister sum) { return sum + x; });
        double total0 = total[0];
        for (; i < n; ++i) total0 += out[i];
        sum = (total[2] + total[3]) + (total0 + total[1]);
    }
    return divide_by_sum(out, n, sum);
}

EntryFolds normalise(double* v, std::size_t n) { return divide_by_sum(v, n, sum_in_four(v, n)); }

double sum_of(const double* v, std::size_t n) { return sum_in_four(v, n); }

double nan_ignoring_min(const double* v, std::size_t n) {
    Chains p = chains_of(std::numeric_limits<double>::infinity());
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        fold_four(p, v + i, [](ChainRegister x, ChainRegister smallest) { return x < smallest ? x : smallest; });
    double p0 = p[0];
    for (; i < n; ++i) p0 = v[i] < p0 ? v[i] : p0;
    const double low = p[1] < p0 ? p[1] : p0;
    const double high = p[3] < p[2] ? p[3] : p[2];
    return low < high ? low : high;
}

}  // namespace quarnel::QUARNEL_KERNELS
