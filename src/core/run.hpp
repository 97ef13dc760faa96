#pragma once
// The convergence run: step an optimizer on a game until the duality gap drops below 1e-8
// or the step budget is spent, recording both strategies and the gap at every step.
#include <cstdint>
#include <span>

#include "core/dense.hpp"
#include "core/game.hpp"
#include "core/optimizer.hpp"

namespace quarnel {

inline constexpr double kConvergenceTolerance = 1e-8;

struct GameResult {
    Matrix x_history;     // num_steps x len(x): row k = x held before step k
    Matrix y_history;     // num_steps x len(y)
    Vector gaps_history;  // num_steps gaps: entry k = gap returned by step k
};

// What a run adds up over the rows it runs, besides its gaps: the sums of both players' rows, in
// row order from zero (the same additions whichever path steps the run), and its last row when
// asked.
struct RowTotals {
    Vector sum_x, sum_y;
    Vector last_x, last_y;  // row steps - 1; kept only when keep_last
    bool keep_last = false;

    // Zeroes the sums for rows of these lengths (and sizes the last rows when kept).
    void start(std::size_t m, std::size_t n);
};

struct Experiment {
    std::uint64_t num_steps = 0;

    // Runs on `state` and `optimizer` in place. After an early stop the remaining rows repeat
    // the last recorded ones. Step failures propagate as Panic; the state keeps what the
    // completed steps (and the failing step, up to its failure) changed.
    GameResult run_experiment_until_convergence(GameState& state, Optimizer& optimizer) const;

    // The same run keeping only the rows it ran: up to and including the converging step, else
    // num_steps. The histories grow as the run goes, so memory follows the steps taken rather
    // than the budget.
    GameResult run_until_convergence_trimmed(GameState& state, Optimizer& optimizer) const;

    // The same run recording only the gaps (num_steps entries, padded the same way): what the
    // explorations need to compute a metric, without the strategy histories.
    Vector run_recording_gaps(GameState& state, Optimizer& optimizer) const;

    // The same into buffers a caller keeps from run to run: once they have grown, a run
    // allocates nothing. `gaps` is resized to num_steps.
    void run_recording_gaps(GameState& state, Optimizer& optimizer, Vector& gaps, StepWorkspace& ws) const;

    // The same, also adding up the rows run into `totals` (started here).
    void run_recording_gaps(GameState& state, Optimizer& optimizer, Vector& gaps, StepWorkspace& ws,
                            RowTotals& totals) const;
};

}  // namespace quarnel
