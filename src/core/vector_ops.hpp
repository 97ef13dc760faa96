#pragma once
// Entrywise helpers of the optimizer steps. Inline: on small games the step is a handful of
// these loops, and call overhead would dominate.
#include <limits>
#include <span>
#include <string>

#include "core/dense.hpp"
#include "core/exponential.hpp"
#include "core/kernels.hpp"
#include "core/panic.hpp"
#include "core/simplex.hpp"

namespace quarnel {

// The additive floor of the mirror-descent step: 2^-52.
inline constexpr double kMachineEpsilon = std::numeric_limits<double>::epsilon();

[[noreturn]] inline void panic_broadcast(std::size_t a, std::size_t b, const char* operation) {
    panic("shapes [" + std::to_string(a) + "] and [" + std::to_string(b) + "] cannot be broadcast together for " +
          operation);
}

// Length of an entrywise combination where either operand may stretch from length 1.
inline std::size_t broadcast_length(std::size_t a, std::size_t b, const char* operation) {
    if (a == b || b == 1) return a;
    if (a == 1) return b;
    panic_broadcast(a, b, operation);
}

// Checks that `stretchable` may be combined with an operand of length `fixed` that may not stretch.
inline void require_stretchable_to(std::size_t stretchable, std::size_t fixed, const char* operation) {
    if (stretchable != fixed && stretchable != 1) panic_broadcast(stretchable, fixed, operation);
}

// Index step of an operand read at `length` positions: 0 repeats a single entry.
inline std::size_t stride_for(const Vector& operand, std::size_t length) {
    return operand.size() == length ? 1 : 0;
}

// The entries folded into four interleaved partial results, partial <- combine(entry, partial),
// then the partials combined as (p0 . p1) . (p2 . p3): the four chains fill a vector register.
template <typename Combine>
[[gnu::always_inline]] inline double fold_in_four(std::span<const double> v, double start, Combine combine) {
    double partial[4] = {start, start, start, start};
    std::size_t i = 0;
    for (; i + 4 <= v.size(); i += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) partial[lane] = combine(v[i + lane], partial[lane]);
    for (; i < v.size(); ++i) partial[0] = combine(v[i], partial[0]);
    return combine(combine(partial[1], partial[0]), combine(partial[3], partial[2]));
}

// Maximum that passes over NaN entries (all NaN gives -inf). The order of the comparisons
// decides only the sign of a zero maximum, and x - 0.0 and x - (-0.0) differ only when x is
// -0.0, where both give a zero (whose exponential is 1).
inline double nan_ignoring_max(std::span<const double> v) {
    return fold_in_four(v, -std::numeric_limits<double>::infinity(),
                        [](double x, double largest) { return x > largest ? x : largest; });
}

// Minimum that passes over NaN entries (all NaN gives +inf).
inline double nan_ignoring_min(std::span<const double> v) {
    return fold_in_four(v, std::numeric_limits<double>::infinity(),
                        [](double x, double smallest) { return x < smallest ? x : smallest; });
}

// Sum of the entries: in index order from 0.0 for short vectors, else in four interleaved
// partial sums whose additions overlap.
inline double sum_of(std::span<const double> v) {
    if (v.size() < 8) {
        double sum = 0.0;
        for (double x : v) sum += x;
        return sum;
    }
    return fold_in_four(v, 0.0, [](double x, double sum) { return sum + x; });
}

// Divides every entry by the sum of the entries.
inline void normalise(std::span<double> v) {
    const double sum = sum_of(v);
    for (double& x : v) x /= sum;
}

// v <- exp(v - max(v)), the max ignoring NaN: every exponent is <= 0, the largest result 1.
inline void exp_shifted_in_place(std::span<double> v) {
    exp_of_differences(v, nan_ignoring_max(v));
}

// Swaps `candidate` into `target` once it passes the simplex check; otherwise panics with
// context + ": " + the quoted failure text, leaving `target` as it was.
inline void install_checked(Vector& target, Vector& candidate, const char* context) {
    if (!lies_on_simplex(candidate)) panic_off_simplex(candidate, context);
    std::swap(target, candidate);
}

// The folds of v's entries, by the build's kernels (below eight entries the sum is taken in index
// order, which the simplex check does not read).
inline EntryFolds entry_folds(const Kernels& k, std::span<const double> v) {
    return {k.nan_ignoring_min(v.data(), v.size()), k.sum_of(v.data(), v.size())};
}

// The same, given the folds of candidate's entries (as a kernel that wrote it returns them).
inline void install_checked(Vector& target, Vector& candidate, EntryFolds folds, const char* context) {
    if (!lies_on_simplex(candidate, folds.smallest, folds.sum)) panic_off_simplex(candidate, context);
    std::swap(target, candidate);
}

}  // namespace quarnel
