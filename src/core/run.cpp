#include "core/run.hpp"

#include <algorithm>
#include <limits>
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

// Repeats the last row recorded into every later row, copying the already repeated block each
// time (doubling), so that narrow rows cost a handful of large copies rather than one small copy
// per row.
void repeat_last_row(Matrix& history) {
    if (history.cols == 0 || history.data.empty()) return;
    const std::size_t recorded = history.data.size();
    history.data.resize(history.rows * history.cols);
    const auto first = history.data.begin() + static_cast<std::ptrdiff_t>(recorded - history.cols);
    const auto end = history.data.end();
    for (auto filled_end = first + static_cast<std::ptrdiff_t>(history.cols); filled_end < end;) {
        const auto block = std::min(filled_end - first, end - filled_end);
        filled_end = std::copy(first, first + block, filled_end);
    }
}

void fill_after(Vector& gaps, std::size_t k) { std::fill(gaps.begin() + k + 1, gaps.end(), gaps[k]); }

// Rows a trimmed run makes room for at a time.
constexpr std::size_t kRowsPerBlock = 64;

// Reserves room for `count` entries; sizes that cannot be met raise std::bad_alloc. Room for
// long histories is asked to come in huge pages where the system offers them on request: a
// run writes its histories once, front to back, and would otherwise take a page fault every
// few steps on large games.
void reserve_entries(Vector& v, std::size_t count) {
    if (count > v.max_size()) throw std::bad_alloc();
    v.reserve(count);
    advise_huge_pages(v.data(), v.capacity() * sizeof(double));
}

// Records the full histories, appending each row and gap as the run makes it: no entry is
// written before the run has its value (no zero fill), and each row is copied once, straight
// from the strategy. Padded, the room for the final shapes is reserved up front and the tail
// after an early stop repeats the last row; trimmed, the room grows geometrically a block of
// rows ahead of the run and the histories end at the last step run.
struct FullRecorder {
    GameResult result;
    std::size_t prepared = 0;  // rows there is room for so far
    bool trimmed = false;

    FullRecorder(std::uint64_t num_steps, std::size_t m, std::size_t n, bool trim = false)
        : result{Matrix{num_steps, m, {}}, Matrix{num_steps, n, {}}, {}}, trimmed(trim) {
        if (trimmed) return;
        reserve_entries(result.x_history.data, checked_product(num_steps, m));
        reserve_entries(result.y_history.data, checked_product(num_steps, n));
        reserve_entries(result.gaps_history, num_steps);
        prepared = num_steps;
    }

    // Makes room for row k and the next ones, up to a block and not past `end`; returns the end
    // of the rows there is room for. Rows are recorded in order, each once.
    std::size_t prepare_rows(std::size_t k, std::size_t end) {
        if (k >= prepared) grow_to(std::min<std::size_t>(end, k + kRowsPerBlock));
        return std::min(prepared, end);
    }
    void record_strategies(std::size_t, std::span<const double> x, std::span<const double> y) {
        append(result.x_history.data, x.data(), x.size());
        append(result.y_history.data, y.data(), y.size());
    }
    // Lane 0 of each entry pair is x's, lane 1 is y's.
    void record_lanes(std::size_t, const two_by_two::Lanes& play) {
        const double x[2] = {play.first[0], play.second[0]};
        const double y[2] = {play.first[1], play.second[1]};
        append(result.x_history.data, x, 2);
        append(result.y_history.data, y, 2);
    }
    void record_gap(std::size_t, double gap) { result.gaps_history.push_back(gap); }
    void fill_tail(std::size_t k) {
        if (trimmed) {
            end_at(k + 1);
            return;
        }
        repeat_last_row(result.x_history);
        repeat_last_row(result.y_history);
        result.gaps_history.resize(result.x_history.rows);
        fill_after(result.gaps_history, k);
    }

private:
    // Within the room made (prepare_rows), so the vector never moves.
    static void append(Vector& v, const double* values, std::size_t count) { v.insert(v.end(), values, values + count); }
    void grow_to(std::size_t rows) {
        // Geometric growth, whatever the vector's own policy.
        grow_capacity(result.x_history.data, rows * result.x_history.cols);
        grow_capacity(result.y_history.data, rows * result.y_history.cols);
        grow_capacity(result.gaps_history, rows);
        prepared = rows;
    }
    static void grow_capacity(Vector& v, std::size_t count) {
        if (count <= v.capacity()) return;
        if (count > v.max_size()) throw std::bad_alloc();
        v.reserve(std::max(count, std::min(v.max_size() / 2, v.capacity()) * 2));
    }
    void end_at(std::size_t rows) {
        for (Matrix* history : {&result.x_history, &result.y_history}) {
            history->rows = rows;
            history->data.resize(rows * history->cols);
            history->data.shrink_to_fit();
        }
        result.gaps_history.resize(rows);
        result.gaps_history.shrink_to_fit();
    }
};

// Sizes a gap buffer to num_steps entries, keeping those already there (a run continued from a
// later step needs them).
void size_gap_buffer(Vector& gaps, std::uint64_t num_steps) {
    if (num_steps > gaps.max_size()) throw std::bad_alloc();
    gaps.resize(num_steps);
}

// Records into a caller's buffer, which keeps its capacity from one run to the next.
struct GapRecorder {
    Vector& gaps;

    GapRecorder(Vector& buffer, std::uint64_t num_steps) : gaps(buffer) { size_gap_buffer(gaps, num_steps); }

    void record_strategies(std::size_t, std::span<const double>, std::span<const double>) {}
    std::size_t prepare_rows(std::size_t, std::size_t end) { return end; }
    void record_lanes(std::size_t, const two_by_two::Lanes&) {}
    void record_gap(std::size_t k, double gap) { gaps[k] = gap; }
    void fill_tail(std::size_t k) { fill_after(gaps, k); }
};

// Records the gaps and adds up the rows, row k as it is recorded (before step k).
struct TotalsRecorder : GapRecorder {
    RowTotals& totals;

    TotalsRecorder(Vector& buffer, std::uint64_t num_steps, RowTotals& row_totals)
        : GapRecorder(buffer, num_steps), totals(row_totals) {}

    void record_strategies(std::size_t, std::span<const double> x, std::span<const double> y) {
        double* sum_x = totals.sum_x.data();
        double* sum_y = totals.sum_y.data();
        for (std::size_t i = 0; i < x.size(); ++i) sum_x[i] += x[i];
        for (std::size_t j = 0; j < y.size(); ++j) sum_y[j] += y[j];
        if (totals.keep_last) {
            std::copy(x.begin(), x.end(), totals.last_x.begin());
            std::copy(y.begin(), y.end(), totals.last_y.begin());
        }
    }
    // Lane 0 of each entry pair is x's, lane 1 is y's.
    void record_lanes(std::size_t, const two_by_two::Lanes& play) {
        const double x[2] = {play.first[0], play.second[0]};
        const double y[2] = {play.first[1], play.second[1]};
        record_strategies(0, x, y);
    }
};

// The general loop: any shapes, one step at a time through the rule's own step.
template <typename Rule, typename Recorder>
void converge_general(std::uint64_t num_steps, GameState& state, Rule& rule, StepWorkspace& ws, Recorder& recorder) {
    const std::size_t m = state.x.size();
    const std::size_t n = state.y.size();
    // A step costs about m * n multiply-adds; the stop check runs between whole steps.
    StopPoller poller(m * n);
    for (std::size_t k = 0, prepared = 0; k < num_steps; ++k) {
        poller.tick();
        if (k == prepared) prepared = recorder.prepare_rows(k, num_steps);
        require_row_width(state.x, m, "x");
        require_row_width(state.y, n, "y");
        recorder.record_strategies(k, state.x, state.y);
        const double gap = rule.step(state, ws);
        recorder.record_gap(k, gap);
        if (gap < kConvergenceTolerance) {
            recorder.fill_tail(k);
            return;
        }
    }
}

// Why a stretch of 2 x 2 steps ended.
enum class LanesStop { stretch_done, declined, converged };

// Steps k, k + 1, ... up to `end` in the lanes, the state in registers (OGDA's loop makes no
// call at all). Row k is recorded before step k is tried; on a declined step k is left at that
// step, on convergence at the converging one.
template <typename Rule, typename Recorder>
LanesStop lanes_stretch(const Rule& rule, const two_by_two::Game& game, two_by_two::State& state, std::size_t& k,
                        std::size_t end, Recorder& recorder) {
    // Plain locals rather than the aggregate, which GCC would keep in memory.
    two_by_two::Lanes play = state.play, vectors = state.rule;
    std::size_t step = k;
    LanesStop stop = LanesStop::stretch_done;
    for (; step < end; ++step) {
        recorder.record_lanes(step, play);
        two_by_two::State next = {play, vectors};
        double gap;
        if (!two_by_two::step(rule, game, next, gap)) [[unlikely]] {
            stop = LanesStop::declined;
            break;
        }
        play = next.play, vectors = next.rule;
        recorder.record_gap(step, gap);
        if (gap < kConvergenceTolerance) {
            stop = LanesStop::converged;
            break;
        }
    }
    state = {play, vectors};
    k = step;
    return stop;
}

// Steps between two polls of the stop check: the general loop's poller would poll as often.
constexpr std::size_t kLanesStretch = kWorkPerPoll / 4;

// 2 x 2 games in stretches of lanes steps, the stop check polled where the general loop's
// poller would poll (before the step that completes each period). The game and the rule see
// every stretch's end: the state is written back before anything that may throw, and a
// declined step runs the general way.
template <typename Rule, typename Recorder>
void converge_2x2(std::uint64_t num_steps, GameState& state, Rule& rule, StepWorkspace& ws, Recorder& recorder) {
    const two_by_two::Game game = two_by_two::game_of(state, rule.eta);
    two_by_two::State lanes = two_by_two::load(state, rule);
    std::size_t next_poll = kLanesStretch - 1;
    for (std::size_t k = 0; k < num_steps;) {
        const std::size_t end = recorder.prepare_rows(k, std::min<std::size_t>(num_steps, next_poll));
        const LanesStop stop = lanes_stretch(rule, game, lanes, k, end, recorder);
        two_by_two::store(lanes, state, rule);
        if (stop == LanesStop::stretch_done) {
            if (k == next_poll && k < num_steps) {
                throw_if_stop_requested();
                next_poll += kLanesStretch;
            }
            continue;
        }
        if (stop == LanesStop::declined) {
            const double gap = rule.step(state, ws);
            lanes = two_by_two::load(state, rule);
            recorder.record_gap(k, gap);
            if (!(gap < kConvergenceTolerance)) {
                ++k;
                continue;
            }
        }
        recorder.fill_tail(k);
        return;
    }
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

void RowTotals::start(std::size_t m, std::size_t n) {
    sum_x.assign(m, 0.0);
    sum_y.assign(n, 0.0);
    if (keep_last) {
        last_x.assign(m, std::numeric_limits<double>::quiet_NaN());
        last_y.assign(n, std::numeric_limits<double>::quiet_NaN());
    }
}

GameResult Experiment::run_experiment_until_convergence(GameState& state, Optimizer& optimizer) const {
    FullRecorder recorder(num_steps, state.x.size(), state.y.size());
    StepWorkspace ws;
    converge(num_steps, state, optimizer, ws, recorder);
    return std::move(recorder.result);
}

GameResult Experiment::run_until_convergence_trimmed(GameState& state, Optimizer& optimizer) const {
    FullRecorder recorder(num_steps, state.x.size(), state.y.size(), /*trim=*/true);
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

void Experiment::run_recording_gaps(GameState& state, Optimizer& optimizer, Vector& gaps, StepWorkspace& ws,
                                    RowTotals& totals) const {
    totals.start(state.x.size(), state.y.size());
    TotalsRecorder recorder(gaps, num_steps, totals);
    converge(num_steps, state, optimizer, ws, recorder);
}

}  // namespace quarnel
