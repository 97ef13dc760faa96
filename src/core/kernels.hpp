#pragma once
// The hot loops, one build per instruction set (src/core/kernels, the builds listed in
// cmake/instruction_sets.cmake), reached through the table of the build in use. Every build
// performs the same IEEE operations in the same order (no fused multiply-adds, no
// reassociation), so results do not depend on the build: only the width of the vectors
// and the unrolling differ.
#include <cstddef>

namespace quarnel {

struct LaneArrays;
struct LaneStep;

// The games whose runs this build steps faster in lanes than alone, by the larger of their
// two dimensions.
struct LaneShapes {
    std::size_t smallest, largest;
    bool holds(std::size_t rows, std::size_t cols) const {
        const std::size_t larger = rows > cols ? rows : cols;
        return larger >= smallest && larger <= largest;
    }
};

// The smallest entry of a vector, passing over NaN, and the sum of its entries, each folded in
// the four chains of nan_ignoring_min and sum_of in core/vector_ops.hpp (whatever the length:
// sum_of's index-order sum of short vectors is not taken).
struct EntryFolds {
    double smallest, sum;
};

struct Kernels {
    // Doubles in one of the build's vector registers: the trials one lane block steps.
    std::size_t lane_width;
    // Lane blocks a worker steps one after the other (the processor overlaps their steps).
    std::size_t lane_blocks;
    // Where each rule's runs are faster in lanes (measured with bench/lanes_vs_alone.cpp).
    LaneShapes ogda_lanes, mirror_descent_lanes, ftrl_lanes;
    // grad_x = a y and grad_y = -(a^T x) for a row-major m x n matrix.
    void (*matrix_vector_products)(const double* a, std::size_t m, std::size_t n, const double* x, const double* y,
                                   double* grad_x, double* grad_y);
    // The smallest of `length` (at least one) entries under IEEE totalOrder.
    double (*total_order_min)(const double* v, std::size_t length);
    // v[i] <- e^(v[i] - shift) for i < length.
    void (*exp_of_differences)(double* v, std::size_t length, double shift);
    // The entrywise loops of the multiplicative steps, each with the bits of its plain loop
    // in core/vector_ops.hpp (sums and maxima folded in the same four chains).
    // out[i] <- (a[i] + b[i]) * factor (a[i] * factor when b is null); returns the largest
    // out[i], passing over NaN (nan_ignoring_max).
    double (*scaled_with_max)(const double* a, const double* b, std::size_t n, double factor, double* out);
    // out <- normalise(e * hat (+ 2^-52 when floor)); returns the folds of the result (taken as
    // the quotients are stored, for the simplex check).
    EntryFolds (*tilt_and_normalise)(const double* e, const double* hat, std::size_t n, bool floor, double* out);
    // v <- v / sum_of(v); returns the folds of the result.
    EntryFolds (*normalise)(double* v, std::size_t n);
    double (*sum_of)(const double* v, std::size_t n);
    double (*nan_ignoring_min)(const double* v, std::size_t n);
    // One step of every lane of a block of runs of one rule (the optimizer's variant index);
    // gaps[t] receives lane t's duality gap.
    using StepLanes = LaneStep (*)(LaneArrays& lanes, std::size_t rule, double* gaps);
    // The step for blocks of this rule and shape (some shapes have one of their own).
    StepLanes (*lane_step)(std::size_t rule, std::size_t rows, std::size_t cols);
    // Steps of all lane_blocks blocks at once, up to `steps`, for as long as every lane takes its
    // step and none converges; lane t of the blocks writes its k-th gap to gap_rows[t][k].
    // Returns the steps taken (the first step some lane would decline or converge at is not).
    using StretchLanes = std::size_t (*)(LaneArrays* const* blocks, std::size_t steps, double* const* gap_rows);
    // The stretch for blocks of this rule and shape, or nullptr where steps are taken one by one.
    StretchLanes (*lane_stretch)(std::size_t rule, std::size_t rows, std::size_t cols);
    // target[i] += addend[i] for i < length (the blocks' row totals, FTRL's running sums), entry by
    // entry.
    void (*add_entrywise)(double* target, const double* addend, std::size_t length);
};

// The table of the build chosen when the program was loaded.
const Kernels& kernels();

}  // namespace quarnel
