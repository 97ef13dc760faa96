#pragma once
// Scattered and concentric explorations of random perturbations of one base matrix.
#include <cstdint>
#include <utility>
#include <vector>

#include "core/dense.hpp"
#include "core/optimizer.hpp"
#include "explore/metrics.hpp"
#include "explore/norms.hpp"

namespace quarnel {

struct ExplorationParams {
    MetricMethod metric_method;
    std::uint64_t num_exploration;
    std::uint64_t num_steps;
    double inner_radius;
    double outer_radius;
};

struct ScatteredOutput {
    Vector norms;    // one per trial, trial order
    Vector metrics;  // one per trial, same order

    static ScatteredOutput create(const MatrixView& base_matrix, const Optimizer& optimizer,
                                  const ExplorationParams& params, NormKind norm_kind);
};

struct ConcentricOutput {
    std::vector<std::pair<double, double>> slice_boundaries;  // (low, high) per slice
    std::vector<Vector> metrics;  // per slice, num_exploration / num_slices each

    // Panics "attempt to divide by zero" for num_slices == 0.
    static ConcentricOutput create(const MatrixView& base_matrix, const Optimizer& optimizer,
                                   const ExplorationParams& params, std::uint64_t num_slices);
};

}  // namespace quarnel
