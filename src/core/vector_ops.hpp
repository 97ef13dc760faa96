#pragma once
// Entrywise helpers of the optimizer steps. Inline: on small games the step is a handful of
// these loops, and call overhead would dominate.
#include <limits>
#include <span>
#include <string>

#include "core/dense.hpp"
#include "core/exponential.hpp"
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

// Maximum folded from -inf that passes over NaN entries (all NaN gives -inf). Four interleaved
// partial maxima fill a vector register; the order of the comparisons decides only the sign of
// a zero maximum, and x - 0.0 and x - (-0.0) differ only when x is -0.0, where both give a
// zero (whose exponential is 1).
inline double nan_ignoring_max(std::span<const double> v) {
    constexpr double kLowest = -std::numeric_limits<double>::infinity();
    double partial[4] = {kLowest, kLowest, kLowest, kLowest};
    std::size_t i = 0;
    for (; i + 4 <= v.size(); i += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) partial[lane] = v[i + lane] > partial[lane] ? v[i + lane] : partial[lane];
    for (; i < v.size(); ++i) partial[0] = v[i] > partial[0] ? v[i] : partial[0];
    const double low = partial[1] > partial[0] ? partial[1] : partial[0];
    const double high = partial[3] > partial[2] ? partial[3] : partial[2];
    return high > low ? high : low;
}

// Sum of the entries; four interleaved partial sums let the additions overlap.
inline double sum_of(std::span<const double> v) {
    const std::size_t n = v.size();
    if (n < 8) {
        double sum = 0.0;
        for (double x : v) sum += x;
        return sum;
    }
    double partial[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) partial[lane] += v[i + lane];
    for (; i < n; ++i) partial[0] += v[i];
    return (partial[0] + partial[1]) + (partial[2] + partial[3]);
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

}  // namespace quarnel
