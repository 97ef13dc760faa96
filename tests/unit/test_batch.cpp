#include <array>
#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/lane_block.hpp"
#include "core/run.hpp"
#include "core_test_support.hpp"
#include "explore/batch.hpp"
#include "explore/neighborhood.hpp"

namespace quarnel {
namespace {

using namespace testing_support;

const UniformRange kRange{0.1, 0.4};
const SweepKey kKey{{0x1234, 0xfeed}};
constexpr double kCutoff = 0.5;

BatchPlan plan_for(const Matrix& base, const Optimizer& optimizer, std::uint64_t num_steps) {
    return {PerturbedBase{MatrixView::of(base), kRange, kKey}, &optimizer, num_steps};
}

// Hitting times of tolerances out of order (met in decreasing order, reported in this one), and
// last rows kept.
FullSummary measuring() { return {kCutoff, Tolerances({1e-3, 0.5, 1e-12, 1e-2}), true}; }

// What a trial reduced with `reduction` reports, from its full run on `a` (its norms given).
TrialSummary summary_of_run(const GameResult& run, const Matrix& a, std::array<double, 3> norms,
                            const FullSummary& reduction) {
    TrialSummary t{{norms[0], norms[1], norms[2]}, summarize_gaps(run.gaps_history, reduction.cutoff), 0.0, {}, {}, {}};
    const std::uint64_t rows = t.gaps.steps;
    Vector sum_x(a.rows, 0.0), sum_y(a.cols, 0.0);
    for (std::size_t k = 0; k < rows; ++k) {
        for (std::size_t i = 0; i < a.rows; ++i) sum_x[i] += run.x_history(k, i);
        for (std::size_t j = 0; j < a.cols; ++j) sum_y[j] += run.y_history(k, j);
    }
    Vector scratch;
    t.avg_gap = average_gap(a, sum_x, sum_y, rows, scratch);
    t.steps_below.resize(reduction.tolerances.size());
    reduction.tolerances.steps_below(run.gaps_history, t.steps_below);
    if (reduction.keep_last) {
        t.last_x.assign(a.rows, kNaN), t.last_y.assign(a.cols, kNaN);
        for (std::size_t i = 0; rows > 0 && i < a.rows; ++i) t.last_x[i] = run.x_history(rows - 1, i);
        for (std::size_t j = 0; rows > 0 && j < a.cols; ++j) t.last_y[j] = run.y_history(rows - 1, j);
    }
    return t;
}

// What trial `index` must report, from a full run on its own copy of everything.
TrialSummary expected_trial(const BatchPlan& plan, std::uint64_t index, const FullSummary& reduction) {
    const MatrixView base = std::get<PerturbedBase>(plan.source).base;
    Matrix perturbation = Matrix::zeros(base.rows, base.cols);
    TrialStream stream(kKey, index);
    draw_perturbation(perturbation, kRange, stream);
    const MatrixView alone = MatrixView::of(perturbation);
    const std::array<double, 3> norms = {max_norm(alone), infinity_norm(alone), frobenius_norm(alone)};
    for (std::size_t k = 0; k < perturbation.data.size(); ++k) perturbation.data[k] += base.copy().data[k];
    GameState state = GameState::from_matrix(perturbation);
    Optimizer fresh = plan.optimizer->clone();
    fresh.reset();
    const GameResult run = Experiment{plan.num_steps}.run_experiment_until_convergence(state, fresh);
    return summary_of_run(run, perturbation, norms, reduction);
}

// Bit for bit (NaN included).
void expect_identical(const TrialSummary& got, const TrialSummary& expected, std::size_t trial) {
    const auto values = [](const TrialSummary& t) {
        Vector all = {t.norms[0], t.norms[1], t.norms[2], t.gaps.max_last, t.gaps.var_last, t.gaps.total_var,
                      t.gaps.last_gap, t.gaps.best_gap, t.gaps.rate, t.avg_gap};
        all.insert(all.end(), t.last_x.begin(), t.last_x.end());
        all.insert(all.end(), t.last_y.begin(), t.last_y.end());
        return all;
    };
    const Vector got_values = values(got), expected_values = values(expected);
    ASSERT_EQ(got_values.size(), expected_values.size()) << "trial " << trial;
    for (std::size_t k = 0; k < got_values.size(); ++k)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got_values[k]), std::bit_cast<std::uint64_t>(expected_values[k]))
            << "trial " << trial << ", value " << k;
    EXPECT_EQ(got.gaps.steps, expected.gaps.steps) << "trial " << trial;
    EXPECT_EQ(got.gaps.best_step, expected.gaps.best_step) << "trial " << trial;
    EXPECT_EQ(got.steps_below, expected.steps_below) << "trial " << trial;
}

struct EngineCase {
    const char* name;
    Matrix base;
    int rule;
    std::size_t expected_group;  // kInLanes: in lanes where the build's lanes are faster
    double eta = 0.05;
};
constexpr std::size_t kInLanes = 0;

class Engine : public ::testing::TestWithParam<EngineCase> {};

// A template with history: every trial must reset its clone.
Optimizer stepped_optimizer(const EngineCase& c) {
    const bool square = c.base.rows == c.base.cols;
    Optimizer optimizer = make_optimizer(c.rule, c.eta, c.rule == 0 || square ? c.base.rows : 1);
    GameState warm_up = GameState::from_matrix(c.base);
    optimizer.step(warm_up);
    return optimizer;
}

// Trial i of [first, first + count) is the clean run of the stream (key, i), in groups or not.
TEST_P(Engine, TrialsAreCleanRunsOfTheirOwnStreams) {
    const EngineCase& c = GetParam();
    const Optimizer optimizer = stepped_optimizer(c);
    const BatchPlan plan = plan_for(c.base, optimizer, 300);
    const bool faster_in_lanes = LaneBlock::faster(c.base.rows, c.base.cols, optimizer);
    const std::size_t expected = c.expected_group != kInLanes ? c.expected_group : faster_in_lanes ? trials_in_lanes() : 1;
    EXPECT_EQ(trials_run_together(plan, FullSummary{kCutoff}), expected);
    const auto got = run_trials(plan, measuring(), 3, 7);
    for (std::size_t k = 0; k < got.size(); ++k)
        expect_identical(got[k], expected_trial(plan, 3 + k, measuring()), 3 + k);
}

// The same trials whatever the worker count and however they are cut into calls.
TEST_P(Engine, ResultsIgnoreWorkersAndCutting) {
    const EngineCase& c = GetParam();
    const Optimizer optimizer = stepped_optimizer(c);
    const BatchPlan plan = plan_for(c.base, optimizer, 200);
    const auto whole = run_trials(plan, FullSummary{kCutoff}, 0, 23);
    for (const std::size_t workers : {1, 2}) {
        const auto again = run_trials(plan, FullSummary{kCutoff}, 0, 23, workers);
        for (std::size_t i = 0; i < whole.size(); ++i) expect_identical(again[i], whole[i], i);
    }
    std::size_t next = 0;
    for (const std::uint64_t count : {5, 1, 9, 8}) {
        for (const TrialSummary& trial : run_trials(plan, FullSummary{kCutoff}, next, count)) {
            expect_identical(trial, whole[next], next);
            ++next;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Engine,
                         ::testing::Values(EngineCase{"ogda_3x3_lanes", matrix(3, 3, {0.3, -0.7, 0.2, -0.4, 0.9, 0.1, 0.5, -0.2, -0.6}), 0,
                                                      kInLanes},
                                           EngineCase{"omwu_2x3_lanes", matrix(2, 3, {1, -1, 0.5, -1, 1, 0.25}), 1,
                                                      kInLanes},
                                           // Trials converging at different steps: lanes refill.
                                           EngineCase{"omwu_saddle_lanes", matrix(3, 3, {3, 4, 5, 1, 2, 6, 0, -1, 4}), 1,
                                                      kInLanes, 0.5},
                                           EngineCase{"omwu_2x2_lanes", matrix(2, 2, {0.3, -0.7, -0.4, 0.9}), 1,
                                                      kInLanes},
                                           EngineCase{"ftrl_2x2_lanes", matrix(2, 2, {0.3, -0.7, -0.4, 0.9}), 2,
                                                      kInLanes}),
                         case_name);

// The module's reduction is the chosen norm and metric of the same trials.
TEST(Engine, NormAndMetricReduceTheSameTrials) {
    const Matrix base = matrix(2, 2, {0.3, -0.7, -0.4, 0.9});
    const Optimizer optimizer = Optimizer::ogda(0.05, 2);
    const BatchPlan plan = plan_for(base, optimizer, 300);
    const auto full = run_trials(plan, FullSummary{kCutoff}, 0, 6);
    const auto chosen = run_trials(plan, NormAndMetric{frobenius_norm, VarLast{kCutoff}}, 0, 6);
    for (std::size_t i = 0; i < full.size(); ++i) {
        EXPECT_EQ(chosen[i].norm, full[i].norms[static_cast<int>(NormKind::Frobenius)]);
        EXPECT_EQ(chosen[i].metric, full[i].gaps.var_last);
    }
}

// A rule whose vectors stretch from length 1 grows them in a run: every trial starts from the
// template's all the same, whichever trials ran before it on the worker.
TEST(Engine, TrialsDoNotDependOnTheTrialsBefore) {
    const Matrix base = matrix(2, 3, {0.5, -0.25, 1.0, -0.75, 1.0, 0.0});
    const Optimizer optimizer = Optimizer::omwuoomd(0.1, 1);
    const BatchPlan plan = plan_for(base, optimizer, 300);
    const auto together = run_trials(plan, FullSummary{kCutoff}, 0, 40, 1);
    for (std::size_t k = 0; k < together.size(); ++k)
        expect_identical(together[k], run_trials(plan, FullSummary{kCutoff}, k, 1, 1)[0], k);
}

// A metric that may fail must fail before any later trial runs: such trials run one by one.
TEST(Engine, TrialsWithAFailingMetricRunOneByOne) {
    const Matrix base = matrix(2, 2, {0.3, -0.7, -0.4, 0.9});
    const Optimizer optimizer = Optimizer::ogda(0.05, 2);
    const BatchPlan plan = plan_for(base, optimizer, 300);
    EXPECT_EQ(trials_run_together(plan, NormAndMetric{max_norm, MaxLast{-1.0}}), 1u);
    EXPECT_EQ(trials_run_together(plan, FullSummary{-1.0}), 1u);
}

// Lanes copy the game about twenty times: games beyond 64 x 64 entries run one by one (64 x 64
// in lanes where the build's table says lanes are faster there).
TEST(Engine, LargeGamesRunOneByOne) {
    for (const std::size_t n : {64, 65}) {
        const Matrix base = Matrix::zeros(n, n);
        const Optimizer optimizer = Optimizer::omwuoomd(0.05, n);
        const bool in_lanes = n == 64 && LaneBlock::faster(n, n, optimizer);
        EXPECT_EQ(trials_run_together(plan_for(base, optimizer, 10), FullSummary{kCutoff}), in_lanes ? trials_in_lanes() : 1u);
    }
}

// A stack's trials are the neighborhood exploration's runs (un-reset optimizer, normalised
// matrices), reduced; their norms are those of the matrices run.
TEST(Engine, StackTrialsAreNeighborhoodRunsReduced) {
    const Vector entries = {1, 3, 5, 9, 0.2, -0.4, 0.7, 0.1, 2, 2, 2, 2.5};
    const StackView stack{reinterpret_cast<const char*>(entries.data()), 3, 2, 2, 4 * sizeof(double),
                          2 * sizeof(double), sizeof(double)};
    Optimizer optimizer = Optimizer::ogda(0.1, 2);
    GameState warm_up = GameState::from_matrix(pennies());
    optimizer.step(warm_up);
    const auto got = run_trials({StackOfMatrices{stack, true}, &optimizer, 80}, FullSummary{kCutoff}, 0, 3);
    const auto runs = neighborhood_exploration(stack, optimizer, 80, true);
    for (std::size_t k = 0; k < runs.size(); ++k) {
        Matrix normalised = stack[k].copy();
        normalize_min_max(normalised);
        const MatrixView run_matrix = MatrixView::of(normalised);
        const TrialSummary expected = summary_of_run(
            runs[k], normalised, {max_norm(run_matrix), infinity_norm(run_matrix), frobenius_norm(run_matrix)},
            FullSummary{kCutoff});
        expect_identical(got[k], expected, k);
    }
}

// Trials in lanes over a stack, some converging, some declining steps (payoffs whose
// projections need the shifted retry) and some failing: each result is its run alone, and of
// the failing trials the first in trial order raises its failure, as one after another.
struct LaneGames {
    std::size_t n;
    Vector interior, saddle, huge, infinite, not_a_number;
};

class LanesEnd : public ::testing::TestWithParam<LaneGames> {};

// OGDA steps these n x n games in lanes with every build (2 x 2 ones in stretches of steps).
TEST_P(LanesEnd, TrialsAsOneAfterAnother) {
    struct StackCase {
        const char* name;
        std::vector<Vector> matrices;
    };
    const auto& [n, interior, saddle, huge, infinite, not_a_number] = GetParam();
    for (StackCase c : {StackCase{"ending_apart", {}},
                               StackCase{"failures_in_order", {interior, infinite, not_a_number, interior}},
                               StackCase{"failures_in_reverse_order", {saddle, not_a_number, infinite}}}) {
        Vector entries;
        if (c.matrices.empty())  // more trials than lanes, ending at different steps: lanes refill
            for (int k = 0; k < 40; ++k) c.matrices.push_back(k % 3 == 0 ? saddle : k % 3 == 1 ? interior : huge);
        for (const Vector& m : c.matrices) entries.insert(entries.end(), m.begin(), m.end());
        const StackView stack{reinterpret_cast<const char*>(entries.data()), c.matrices.size(), n, n,
                              static_cast<std::ptrdiff_t>(n * n * sizeof(double)),
                              static_cast<std::ptrdiff_t>(n * sizeof(double)), sizeof(double)};
        const Optimizer optimizer = Optimizer::ogda(0.3, n);
        const BatchPlan plan{StackOfMatrices{stack, false}, &optimizer, 400};
        ASSERT_EQ(trials_run_together(plan, FullSummary{kCutoff}), trials_in_lanes());
        std::string expected_failure;
        std::vector<GameResult> expected;
        for (std::size_t k = 0; k < c.matrices.size() && expected_failure.empty(); ++k) {
            GameState state = GameState::from_matrix(stack[k].copy());
            Optimizer alone = optimizer.clone();
            expected_failure = panic_message(
                [&] { expected.push_back(Experiment{400}.run_experiment_until_convergence(state, alone)); });
            if (expected_failure == "<no panic>") expected_failure.clear();
        }
        std::vector<TrialSummary> got;
        EXPECT_EQ(panic_message([&] { got = run_trials(plan, measuring(), 0, c.matrices.size(), 1); }),
                  expected_failure.empty() ? "<no panic>" : expected_failure)
            << c.name;
        for (std::size_t k = 0; k < got.size(); ++k)
            expect_identical(got[k],
                             summary_of_run(expected[k], stack[k].copy(),
                                            {got[k].norms[0], got[k].norms[1], got[k].norms[2]}, measuring()),
                             k);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ogda, LanesEnd,
    ::testing::Values(LaneGames{3,
                                {0.3, -0.7, 0.1, -0.4, 0.9, -0.2, 0.2, -0.1, 0.0},
                                {1, 2, 3, 4, 5, 6, 7, 8, 9},
                                {1e17, -1e17, 0, -1e17, 1e17, 0, 0, 0, 1e17},
                                {kInf, 0, 0, 0, 0, 0, 0, 0, 0},
                                {kNaN, 0, 0, 0, 0, 0, 0, 0, 0}},
                      LaneGames{2, {0.3, -0.7, -0.4, 0.9}, {1, 2, 3, 4}, {1e17, -1e17, -1e17, 1e17}, {kInf, 0, 0, 0},
                                {kNaN, 0, 0, 0}}),
    [](const ::testing::TestParamInfo<LaneGames>& info) { return "size" + std::to_string(info.param.n); });

TEST(Neighborhood, NormalisingSkipsNaNWhenFindingTheExtremes) {
    Matrix with_nan = matrix(1, 3, {kNaN, 2, 4});
    normalize_min_max(with_nan);
    EXPECT_TRUE(std::isnan(with_nan.data[0]));
    EXPECT_EQ(with_nan.data[1], 0.0);
    EXPECT_EQ(with_nan.data[2], 1.0);
}

}  // namespace
}  // namespace quarnel
