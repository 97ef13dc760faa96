#pragma once
// Euclidean projection onto the probability simplex and the validating constructor of
// simplex points.
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/dense.hpp"

namespace quarnel {

// Tolerance on |sum - 1| for a vector to count as a simplex point (strict).
inline constexpr double kSimplexTolerance = 1e-6;

// Reusable work memory of the projection, so that repeated projections allocate nothing.
// It also remembers the descending order of the last vector projected: the vectors a run
// projects again and again keep nearly the same order from step to step, so sorting starts
// from there. One scratch per sequence of related vectors (one per player) keeps that useful.
struct ProjectionScratch {
    Vector sorted;
    std::vector<std::uint32_t> order;  // indices of the last input, largest entry first
};

// Projects `v` onto {u >= 0, sum(u) = radius} and writes the result into `out`
// (out.size() == v.size(); `out` may be the same memory as `v`).
// Throws Panic("NaN encountered") for a NaN among two or more entries and
// Panic("Issue computing theta") when no threshold exists (empty input, +inf, lone non-finite entry).
// Every finite vector projects: should the running sum of the threshold search overflow, the
// search is redone on the vector shifted by its largest entry (the projection is the same).
void simplex_projection_into(std::span<const double> v, double radius, std::span<double> out,
                             ProjectionScratch& scratch);

// Convenience form returning a new vector.
Vector simplex_projection(std::span<const double> v, double radius);

// True when every entry is >= 0 (NaN fails) and the index-order sum, started from -0.0,
// lies strictly within kSimplexTolerance of 1.
bool lies_on_simplex(std::span<const double> v);

// The same verdict given the four-chain folds of v's entries (nan_ignoring_min's `smallest`
// and sum_of's `sum`, whatever the length), as the kernels that write v take them: they decide
// from 16 entries (shorter vectors are summed in index order).
bool lies_on_simplex(std::span<const double> v, double smallest, double sum);

// The failure message of a rejected simplex point:
// "v does not belong on the simplex. Last values : " followed by render_vector(v).
std::string simplex_failure_message(std::span<const double> v);

// "[a, b, ...]" with shortest round-trip doubles (500+ entries: first 5, "...", last 5),
// followed by a description of the vector's length, stride and dimension.
std::string render_vector(std::span<const double> v);

// Shortest round-trip text of a double: 0.5, 1.0, -0.0, 1e-7, 1e16, NaN, inf, -inf.
std::string render_double(double value);

// A string in double quotes with quotes, backslashes and control characters escaped.
std::string quoted(const std::string& text);

struct SimplexError {
    std::string message;
};

// The simplex (the name of the simplex point's validating constructor).
struct S {
    // Hands `v` back untouched when it lies on the simplex, else the failure with its message.
    static std::variant<Vector, SimplexError> build(Vector v);
};

// Builds a simplex point or throws Panic(context + ": " + quoted(failure message)).
Vector build_or_panic(Vector v, const char* context);

// Throws Panic(context + ": " + quoted(simplex_failure_message(v))).
[[noreturn]] void panic_off_simplex(std::span<const double> v, const char* context);

}  // namespace quarnel
