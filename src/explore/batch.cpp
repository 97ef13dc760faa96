#include "explore/batch.hpp"

#include <algorithm>

#include "core/run.hpp"
#include "explore/pool.hpp"

namespace quarnel {
namespace {

void fill_uniform(Vector& strategy) {
    const double share = 1.0 / static_cast<double>(strategy.size());
    std::fill(strategy.begin(), strategy.end(), share);
}

void add_entrywise(Matrix& target, const MatrixView& addend) {
    for (std::size_t i = 0; i < target.rows; ++i)
        for (std::size_t j = 0; j < target.cols; ++j) target(i, j) += addend(i, j);
}

}  // namespace

Exploration::Exploration(const BatchPlan& plan)
    : plan(&plan),
      optimizer(plan.optimizer->clone()),
      game_state(GameState::from_matrix(plan.base_matrix.copy())),
      rng(&thread_rng()) {}

RandomGameResult Exploration::execute_clean_run() {
    optimizer.reset();
    fill_uniform(game_state.x);
    fill_uniform(game_state.y);
    draw_perturbation(game_state.a, plan->magnitude_range, *rng);
    const double norm = plan->norm_fn(MatrixView::of(game_state.a));
    add_entrywise(game_state.a, plan->base_matrix);
    Experiment{plan->num_steps}.run_recording_gaps(game_state, optimizer, gaps, workspace);
    // Reduced here, on the worker, so no history outlives its trial.
    return {norm, metric_of(gaps, plan->metric_method)};
}

std::vector<RandomGameResult> run_batch_exploration(const BatchPlan& plan, std::uint64_t n) {
    std::vector<RandomGameResult> results(n);
    parallel_for_pieces(n, [&](std::size_t begin, std::size_t end) {
        Exploration exploration(plan);
        for (std::size_t i = begin; i < end && !parallel_loop_cancelled(); ++i)
            results[i] = exploration.execute_clean_run();
    });
    return results;
}

}  // namespace quarnel
