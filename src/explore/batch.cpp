#include "explore/batch.hpp"

#include <algorithm>

#include "core/panic.hpp"
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

// Trials run together each keep a gap history alive: only for runs short enough that those
// stay small next to everything else.
constexpr std::uint64_t kMostStepsTogether = std::uint64_t{1} << 20;

// True when the metric cannot fail, whatever the history: only then may a trial run before the
// metrics of the trials ahead of it are taken (a failing metric must stop the batch first).
struct MetricCannotFail {
    bool operator()(const TotalVar&) const { return true; }
    template <typename TailMetric>
    bool operator()(const TailMetric& method) const {
        return !(method.cutoff < 0.0);
    }
};

bool trials_run_together(const BatchPlan& plan, const TrialSlot& slot) {
    return plan.num_steps <= kMostStepsTogether && std::visit(MetricCannotFail{}, plan.metric_method) &&
           steps_together(slot.game_state, slot.optimizer);
}

}  // namespace

Exploration::Exploration(const BatchPlan& plan) : plan(&plan), rng(&thread_rng()) {
    slots.push_back({plan.optimizer->clone(), GameState::from_matrix(plan.base_matrix.copy()), {}});
    if (trials_run_together(plan, slots.front())) slots.resize(kRunsTogether, slots.front());
}

double Exploration::prepare_trial(TrialSlot& slot) {
    slot.optimizer.reset();
    fill_uniform(slot.game_state.x);
    fill_uniform(slot.game_state.y);
    draw_perturbation(slot.game_state.a, plan->magnitude_range, *rng);
    const double norm = plan->norm_fn(MatrixView::of(slot.game_state.a));
    add_entrywise(slot.game_state.a, plan->base_matrix);
    return norm;
}

void Exploration::execute_clean_runs(std::span<RandomGameResult> results) {
    if (results.size() > slots.size()) panic("more trials than slots");
    GapRun runs[kRunsTogether];
    for (std::size_t i = 0; i < results.size(); ++i) {
        TrialSlot& slot = slots[i];
        results[i].norm = prepare_trial(slot);
        runs[i] = {&slot.game_state, &slot.optimizer, &slot.gaps};
    }
    Experiment{plan->num_steps}.run_recording_gaps_together(std::span(runs, results.size()), workspace);
    // Reduced here, on the worker, so no history outlives its trial.
    for (std::size_t i = 0; i < results.size(); ++i) results[i].metric = metric_of(slots[i].gaps, plan->metric_method);
}

std::vector<RandomGameResult> run_batch_exploration(const BatchPlan& plan, std::uint64_t n) {
    std::vector<RandomGameResult> results(n);
    parallel_for_pieces(n, [&](std::size_t begin, std::size_t end) {
        Exploration exploration(plan);
        const std::size_t group = exploration.slots.size();
        for (std::size_t i = begin; i < end && !parallel_loop_cancelled(); i += group)
            exploration.execute_clean_runs(std::span(results).subspan(i, std::min(group, end - i)));
    });
    return results;
}

}  // namespace quarnel
