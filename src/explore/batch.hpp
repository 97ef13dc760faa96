#pragma once
// The trial engine: trials [first, first + count) of a batch, each a clean convergence run on
// a payoff matrix of its own, run in parallel and reduced on the worker that ran it, so memory
// stays flat however many trials a batch runs. Trial i's matrix depends on i alone, never on
// the worker that runs it or on how the trials are cut into pieces or calls.
#include <cstdint>
#include <functional>
#include <variant>
#include <vector>

#include "core/dense.hpp"
#include "core/optimizer.hpp"
#include "explore/metrics.hpp"
#include "explore/norms.hpp"
#include "explore/random.hpp"

namespace quarnel {

// Trial i runs on the base plus a perturbation drawn from the stream (key, i), with the
// template optimizer reset.
struct PerturbedBase {
    MatrixView base;
    UniformRange magnitudes;
    SweepKey key;
};

// Trial i runs on matrix i of the stack (min-max normalised when asked), with the template
// optimizer as it is (not reset).
struct StackOfMatrices {
    StackView matrices;
    bool normalize = false;
};

using TrialSource = std::variant<PerturbedBase, StackOfMatrices>;

// The strategies every trial of a batch plays at step 0 (of the game's lengths, used exactly as
// given). The rule's own starting vectors are the template optimizer's.
struct StartPoint {
    Vector x;
    Vector y;
};

// Shared, read-only description of a batch. Without a start point every trial starts from
// uniform strategies with the template optimizer reset; with one, from the start point with
// the template optimizer's vectors as they are.
struct BatchPlan {
    TrialSource source;
    const Optimizer* optimizer;  // template, cloned per piece, never modified
    std::uint64_t num_steps;
    const StartPoint* start = nullptr;
};

// What the module's explorations keep of a trial: the chosen norm of its perturbation and
// the chosen metric of its gap history.
struct RandomGameResult {
    double norm;
    double metric;
};

struct NormAndMetric {
    using Result = RandomGameResult;
    NormFn norm_fn;
    MetricMethod metric_method;
};

// What a sweep keeps of a trial: the three norms of its perturbation (of its matrix, for a
// stack) and the summary of its gap history.
struct TrialSummary {
    double norms[3];  // indexed by NormKind
    GapSummary gaps;
    double avg_gap;  // the duality gap of the average of the rows run (average_gap)
    std::vector<std::uint64_t> steps_below;  // hitting time of each of the reduction's tolerances
    Vector last_x, last_y;  // the last row run (NaN without one), when the reduction keeps it
};

struct FullSummary {
    using Result = TrialSummary;
    double cutoff;
    Tolerances tolerances{};
    bool keep_last = false;
};

// Runs trials first .. first + count - 1 and hands trial first + k to store(k, result), on the
// worker that ran it, once per trial. `workers` caps the threads that run trials at once (0:
// the whole pool); the results do not depend on it. A failing trial stops the batch: its
// failure (or another's) is rethrown once every worker has let go.
template <typename Result>
using ResultSink = std::function<void(std::size_t, const Result&)>;

template <typename Reduction>
void run_trials(const BatchPlan& plan, const Reduction& reduction, std::uint64_t first, std::uint64_t count,
                std::size_t workers, const ResultSink<typename Reduction::Result>& store);

// The same into a vector: element k is trial first + k.
template <typename Reduction>
std::vector<typename Reduction::Result> run_trials(const BatchPlan& plan, const Reduction& reduction,
                                                   std::uint64_t first, std::uint64_t count, std::size_t workers = 0) {
    std::vector<typename Reduction::Result> results(count);
    run_trials(plan, reduction, first, count, workers,
               [&](std::size_t k, const typename Reduction::Result& result) { results[k] = result; });
    return results;
}

// Trials one worker steps together in vector lanes: the build's blocks of lanes (two blocks
// of eight with AVX-512, of four with AVX2, ...); at most kMostTrialsInLanes.
std::size_t trials_in_lanes();
inline constexpr std::size_t kMostTrialsInLanes = 64;

// How many trials one worker runs together: trials_in_lanes() where they are stepped in lanes
// (rules and shapes that step faster in lanes with the build in use, up to 64 x 64, whose
// rule's vectors have the game's lengths; runs of at most 2^17 steps; and a reduction that
// cannot fail: a failing one must stop the batch before later trials run), else 1.
template <typename Reduction>
std::size_t trials_run_together(const BatchPlan& plan, const Reduction& reduction);

// The same for a sweep of rows x cols games (its trials reduced with this cutoff).
std::size_t sweep_trials_run_together(std::size_t rows, std::size_t cols, const Optimizer& optimizer,
                                      std::uint64_t num_steps, double cutoff);

// The perturbation trial `index` of a PerturbedBase batch with this key draws.
void draw_trial_perturbation(Matrix& target, const UniformRange& magnitudes, const SweepKey& key,
                             std::uint64_t index);

}  // namespace quarnel
