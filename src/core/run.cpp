#include "core/run.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <span>
#include <string>

#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "core/two_by_two.hpp"

namespace quarnel {

namespace {

// A strategy whose length changed during the run (an optimizer vector of length 1 stretched it)
// no longer fits the history rows sized at the start.
void require_row_width(const Vector& strategy, std::size_t width, const char* name) {
    if (strategy.size() != width)
        panic(std::string("strategy ") + name + " of shape [" + std::to_string(strategy.size()) +
              "] does not fit a history row of shape [" + std::to_string(width) + "]");
}

// Repeats row k into every later row, copying the already repeated block each time (doubling),
// so that narrow rows cost a handful of large copies rather than one small copy per row.
void fill_rows_after(Matrix& history, std::size_t k) {
    if (history.cols == 0) return;
    const auto first = history.data.begin() + static_cast<std::ptrdiff_t>(k * history.cols);
    const auto end = history.data.end();
    for (auto filled_end = first + static_cast<std::ptrdiff_t>(history.cols); filled_end < end;) {
        const auto block = std::min(filled_end - first, end - filled_end);
        filled_end = std::copy(first, first + block, filled_end);
    }
}

void fill_after(Vector& gaps, std::size_t k) { std::fill(gaps.begin() + k + 1, gaps.end(), gaps[k]); }

struct FullRecorder {
    GameResult result;

    FullRecorder(std::uint64_t num_steps, std::size_t m, std::size_t n)
        : result{Matrix::zeros(num_steps, m), Matrix::zeros(num_steps, n), zeros(num_steps)} {}

    // A fixed extent lets the 2 x 2 path write its rows as plain stores.
    template <std::size_t Extent>
    void record_strategies(std::size_t k, std::span<const double, Extent> x, std::span<const double, Extent> y) {
        double* x_row = result.x_history.data.data() + k * x.size();
        double* y_row = result.y_history.data.data() + k * y.size();
        for (std::size_t i = 0; i < x.size(); ++i) x_row[i] = x[i];
        for (std::size_t j = 0; j < y.size(); ++j) y_row[j] = y[j];
    }
    void record_gap(std::size_t k, double gap) { result.gaps_history[k] = gap; }
    void fill_tail(std::size_t k) {
        fill_rows_after(result.x_history, k);
        fill_rows_after(result.y_history, k);
        fill_after(result.gaps_history, k);
    }
};

// Records into a caller's buffer, which keeps its capacity from one run to the next.
struct GapRecorder {
    Vector& gaps;

    GapRecorder(Vector& buffer, std::uint64_t num_steps) : gaps(buffer) {
        if (num_steps > gaps.max_size()) throw std::bad_alloc();
        gaps.resize(num_steps);
    }

    template <std::size_t Extent>
    void record_strategies(std::size_t, std::span<const double, Extent>, std::span<const double, Extent>) {}
    void record_gap(std::size_t k, double gap) { gaps[k] = gap; }
    void fill_tail(std::size_t k) { fill_after(gaps, k); }
};

// The general loop: any shapes, one step at a time through the rule's own step.
template <typename Rule, typename Recorder>
void converge_general(std::uint64_t num_steps, GameState& state, Rule& rule, StepWorkspace& ws, Recorder& recorder) {
    const std::size_t m = state.x.size();
    const std::size_t n = state.y.size();
    // A step costs about m * n multiply-adds; the stop check runs between whole steps.
    StopPoller poller(m * n);
    for (std::size_t k = 0; k < num_steps; ++k) {
        poller.tick();
        require_row_width(state.x, m, "x");
        require_row_width(state.y, n, "y");
        recorder.record_strategies(k, std::span<const double>(state.x), std::span<const double>(state.y));
        const double gap = rule.step(state, ws);
        recorder.record_gap(k, gap);
        if (gap < kConvergenceTolerance) {
            recorder.fill_tail(k);
            return;
        }
    }
}

// The 2 x 2 loop keeps the game and the rule's vectors in a local State (registers, in the
// loop) and writes them back before a step the fast arithmetic declines, which then runs the
// general way, and whenever the loop is left, also by an exception.
template <typename Rule, typename Recorder>
void converge_2x2(std::uint64_t num_steps, GameState& state, Rule& rule, StepWorkspace& ws, Recorder& recorder) {
    two_by_two::State local = two_by_two::load(state, rule);
    bool ahead = false;  // the local state holds steps the vectors have not seen yet
    const auto write_back = [&] {
        if (ahead) two_by_two::store(local, state, rule);
        ahead = false;
    };
    StopPoller poller(4);
    try {
        for (std::size_t k = 0; k < num_steps; ++k) {
            poller.tick();
            const std::array<double, 2> x{local.x.first, local.x.second}, y{local.y.first, local.y.second};
            recorder.record_strategies(k, std::span<const double, 2>(x), std::span<const double, 2>(y));
            double gap;
            if (two_by_two::step(rule, local, gap)) [[likely]] {
                ahead = true;
            } else {
                write_back();
                gap = rule.step(state, ws);
                local = two_by_two::load(state, rule);
            }
            recorder.record_gap(k, gap);
            if (gap < kConvergenceTolerance) {
                recorder.fill_tail(k);
                break;
            }
        }
    } catch (...) {
        write_back();
        throw;
    }
    write_back();
}

// The one convergence run behind both entry points. The variant and the loop (2 x 2 or
// general) are chosen once, outside the loop.
template <typename Recorder>
void converge(std::uint64_t num_steps, GameState& state, Optimizer& optimizer, StepWorkspace& ws, Recorder& recorder) {
    std::visit(
        [&](auto& rule) {
            const auto& [first, second, eta] = rule;
            if (two_by_two::fits(state, first, second)) converge_2x2(num_steps, state, rule, ws, recorder);
            else converge_general(num_steps, state, rule, ws, recorder);
        },
        optimizer.variant);
}

}  // namespace

GameResult Experiment::run_experiment_until_convergence(GameState& state, Optimizer& optimizer) const {
    FullRecorder recorder(num_steps, state.x.size(), state.y.size());
    StepWorkspace ws;
    converge(num_steps, state, optimizer, ws, recorder);
    return std::move(recorder.result);
}

Vector Experiment::run_recording_gaps(GameState& state, Optimizer& optimizer) const {
    Vector gaps;
    StepWorkspace ws;
    run_recording_gaps(state, optimizer, gaps, ws);
    return gaps;
}

void Experiment::run_recording_gaps(GameState& state, Optimizer& optimizer, Vector& gaps, StepWorkspace& ws) const {
    GapRecorder recorder(gaps, num_steps);
    converge(num_steps, state, optimizer, ws, recorder);
}

}  // namespace quarnel
