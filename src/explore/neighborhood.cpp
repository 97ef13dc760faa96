#include "explore/neighborhood.hpp"

#include <cmath>
#include <limits>

#include "core/simplex.hpp"
#include "explore/pool.hpp"

namespace quarnel {
namespace {

GameResult run_from_even_split(const MatrixView& matrix, const Optimizer& optimizer, std::uint64_t num_steps,
                               bool normalize_matrix) {
    Matrix payoff = matrix.copy();
    if (normalize_matrix) normalize_min_max(payoff);
    GameState state{build_or_panic({0.5, 0.5}, "unable to build x"), build_or_panic({0.5, 0.5}, "unable to build y"),
                    std::move(payoff)};
    Optimizer clone = optimizer.clone();  // deliberately not reset
    return Experiment{num_steps}.run_experiment_until_convergence(state, clone);
}

}  // namespace

void normalize_min_max(Matrix& m) {
    double largest = -std::numeric_limits<double>::infinity();
    double smallest = std::numeric_limits<double>::infinity();
    for (const double value : m.data) {
        largest = std::fmax(largest, value);
        smallest = std::fmin(smallest, value);
    }
    for (double& value : m.data) value -= smallest;
    const double extent = largest - smallest;
    for (double& value : m.data) value /= extent;
}

std::vector<GameResult> neighborhood_exploration(const StackView& matrices, const Optimizer& optimizer,
                                                 std::uint64_t num_steps, bool normalize_matrix) {
    std::vector<GameResult> results(matrices.count);
    parallel_for_pieces(matrices.count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end && !parallel_loop_cancelled(); ++k)
            results[k] = run_from_even_split(matrices[k], optimizer, num_steps, normalize_matrix);
    });
    return results;
}

}  // namespace quarnel
