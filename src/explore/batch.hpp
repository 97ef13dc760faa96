#pragma once
// The batch exploration engine: n independent trials, each a clean convergence run on the
// base matrix plus a fresh random perturbation, run in parallel and reduced on the worker
// that ran them to the perturbation's norm and the run's convergence metric.
#include <cstdint>
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

// The working state of one worker over one contiguous piece of a batch.
struct Exploration {
    const BatchPlan* plan;
    Optimizer optimizer;
    GameState game_state;
    Rng* rng;
    Vector gaps;              // the current trial's gap history, reused by every trial
    StepWorkspace workspace;  // step scratch memory, reused by every trial

    explicit Exploration(const BatchPlan& plan);  // clones, copies the base, takes thread_rng()
    RandomGameResult execute_clean_run();
};

// Element i is trial i, whatever worker ran it.
std::vector<RandomGameResult> run_batch_exploration(const BatchPlan& plan, std::uint64_t n);

}  // namespace quarnel
