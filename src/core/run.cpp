#include "core/run.hpp"

#include <algorithm>
#include <string>

#include "core/interrupt.hpp"
#include "core/panic.hpp"

namespace quarnel {

namespace {

// A strategy whose length changed during the run (an optimizer vector of length 1 stretched it)
// no longer fits the history rows sized at the start.
void require_row_width(const Vector& strategy, std::size_t width, const char* name) {
    if (strategy.size() != width)
        panic(std::string("strategy ") + name + " of shape [" + std::to_string(strategy.size()) +
              "] does not fit a history row of shape [" + std::to_string(width) + "]");
}

void fill_rows_after(Matrix& history, std::size_t k) {
    const auto source = history.row(k);
    for (std::size_t row = k + 1; row < history.rows; ++row)
        std::copy(source.begin(), source.end(), history.row(row).begin());
}

void fill_after(Vector& gaps, std::size_t k) { std::fill(gaps.begin() + k + 1, gaps.end(), gaps[k]); }

struct FullRecorder {
    GameResult result;

    FullRecorder(std::uint64_t num_steps, std::size_t m, std::size_t n)
        : result{Matrix::zeros(num_steps, m), Matrix::zeros(num_steps, n), zeros(num_steps)} {}

    void record_strategies(std::size_t k, const GameState& state) {
        std::copy(state.x.begin(), state.x.end(), result.x_history.row(k).begin());
        std::copy(state.y.begin(), state.y.end(), result.y_history.row(k).begin());
    }
    void record_gap(std::size_t k, double gap) { result.gaps_history[k] = gap; }
    void fill_tail(std::size_t k) {
        fill_rows_after(result.x_history, k);
        fill_rows_after(result.y_history, k);
        fill_after(result.gaps_history, k);
    }
};

struct GapRecorder {
    Vector gaps;

    GapRecorder(std::uint64_t num_steps, std::size_t, std::size_t) : gaps(zeros(num_steps)) {}

    void record_strategies(std::size_t, const GameState&) {}
    void record_gap(std::size_t k, double gap) { gaps[k] = gap; }
    void fill_tail(std::size_t k) { fill_after(gaps, k); }
};

// The one convergence loop behind both runs. The variant is resolved once, outside the loop,
// and the workspace sized by the first step serves every later one.
template <typename Recorder>
Recorder converge(std::uint64_t num_steps, GameState& state, Optimizer& optimizer) {
    const std::size_t m = state.x.size();
    const std::size_t n = state.y.size();
    Recorder recorder(num_steps, m, n);
    std::visit(
        [&](auto& rule) {
            StepWorkspace ws;
            // A step costs about m * n multiply-adds; the stop check runs between whole steps.
            StopPoller poller(m * n);
            for (std::size_t k = 0; k < num_steps; ++k) {
                poller.tick();
                require_row_width(state.x, m, "x");
                require_row_width(state.y, n, "y");
                recorder.record_strategies(k, state);
                const double gap = rule.step(state, ws);
                recorder.record_gap(k, gap);
                if (gap < kConvergenceTolerance) {
                    recorder.fill_tail(k);
                    return;
                }
            }
        },
        optimizer.variant);
    return recorder;
}

}  // namespace

GameResult Experiment::run_experiment_until_convergence(GameState& state, Optimizer& optimizer) const {
    return std::move(converge<FullRecorder>(num_steps, state, optimizer).result);
}

Vector Experiment::run_recording_gaps(GameState& state, Optimizer& optimizer) const {
    return std::move(converge<GapRecorder>(num_steps, state, optimizer).gaps);
}

}  // namespace quarnel
