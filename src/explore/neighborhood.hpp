#pragma once
// Neighborhood exploration: one run per matrix of a given stack, from x = y = (0.5, 0.5).
#include <cstdint>
#include <vector>

#include "core/dense.hpp"
#include "core/optimizer.hpp"
#include "core/run.hpp"

namespace quarnel {

// m = (m - min) / (max - min) in place, extremes folded with NaN skipped; a constant matrix
// becomes all NaN.
void normalize_min_max(Matrix& m);

// Result k is the run on matrix k, started with an un-reset clone of `optimizer`.
std::vector<GameResult> neighborhood_exploration(const StackView& matrices, const Optimizer& optimizer,
                                                 std::uint64_t num_steps, bool normalize_matrix);

}  // namespace quarnel
