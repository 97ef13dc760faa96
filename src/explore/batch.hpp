#pragma once
// The batch exploration engine: n independent trials, each a clean convergence run on the
// base matrix plus a fresh random perturbation, run in parallel and reduced on the worker
// that ran them to the perturbation's norm and the run's convergence metric.
#include <cstdint>
#include <span>
#include <vector>

#include "core/dense.hpp"
#include "core/game.hpp"
#include "core/optimizer.hpp"
#include "explore/metrics.hpp"
#include "explore/norms.hpp"
#include "explore/random.hpp"

namespace quarnel {

// The outcome of one trial. Only the gap history feeds the metric, so the strategy histories
// are never kept: memory stays flat however many trials a batch runs.
struct RandomGameResult {
    double norm;    // norm of the perturbation alone
    double metric;  // convergence metric of the run's gap history
};

// Shared, read-only description of a batch.
struct BatchPlan {
    MatrixView base_matrix;
    const Optimizer* optimizer;  // template, cloned per piece, never modified
    std::uint64_t num_steps;
    NormFn norm_fn;
    UniformRange magnitude_range;
    MetricMethod metric_method;
};

// One trial's working state, reused by the trials that follow.
struct TrialSlot {
    Optimizer optimizer;
    GameState game_state;
    Vector gaps;  // the trial's gap history
};

// The working state of one worker over one contiguous piece of a batch.
struct Exploration {
    const BatchPlan* plan;
    Rng* rng;
    // kRunsTogether slots where trials can be stepped together, else one.
    std::vector<TrialSlot> slots;
    StepWorkspace workspace;  // step scratch memory, reused by every trial

    explicit Exploration(const BatchPlan& plan);  // clones, copies the base, takes thread_rng()
    // The next results.size() trials (at most one per slot): each draws its perturbation in
    // trial order, then they run together; each result is what its clean run alone gives.
    void execute_clean_runs(std::span<RandomGameResult> results);

private:
    double prepare_trial(TrialSlot& slot);  // the perturbed game and fresh state; returns the norm
};

// Element i is trial i, whatever worker ran it.
std::vector<RandomGameResult> run_batch_exploration(const BatchPlan& plan, std::uint64_t n);

}  // namespace quarnel
