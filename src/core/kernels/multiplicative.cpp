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

// v <- v / sum_of(v).
[[gnu::always_inline]] inline void divide_by_sum(double* v, std::size_t n) {
    const double sum = sum_in_four(v, n);
    const Doubles divisor = Doubles{} + sum;
    std::size_t i = 0;
    for (; i + kWidth <= n; i += kWidth) store(v + i, load(v + i) / divisor);
    for (; i < n; ++i) v[i] /= sum;
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

void tilt_and_normalise(const double* e, const double* hat, std::size_t n, bool floor, double* out) {
    std::size_t i = 0;
    if (floor) {
        const Doubles eps = Doubles{} + std::numeric_limits<double>::epsilon();
        for (; i + kWidth <= n; i += kWidth) store(out + i, load(e + i) * load(hat + i) + eps);
        for (; i < n; ++i) out[i] = e[i] * hat[i] + std::numeric_limits<double>::epsilon();
    } else {
        for (; i + kWidth <= n; i += kWidth) store(out + i, load(e + i) * load(hat + i));
        for (; i < n; ++i) out[i] = e[i] * hat[i];
    }
    divide_by_sum(out, n);
}

void normalise(double* v, std::size_t n) { divide_by_sum(v, n); }

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
