#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>

#include "core/run.hpp"
#include "core_test_support.hpp"

// Counts every allocation of this test binary, so that a test can show that a run's step
// loop allocates nothing. The replacements pair malloc with free, which the compiler cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> allocation_count{0};
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    allocation_count.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size) {
    if (void* p = operator new(size, std::nothrow)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace quarnel {
namespace {

using namespace testing_support;

Matrix pennies() { return matrix(2, 2, {1.0, -1.0, -1.0, 1.0}); }
Matrix skewed() { return matrix(2, 2, {3.0, -1.0, -2.0, 1.5}); }

Optimizer make(int tag, double eta, std::uint64_t dim) {
    switch (tag) {
        case 0: return Optimizer::ogda(eta, dim);
        case 1: return Optimizer::omwuoomd(eta, dim);
        default: return Optimizer::omwuoftrl(eta, dim);
    }
}

void expect_rows_equal(const Matrix& m, std::size_t first, std::size_t last_row) {
    for (std::size_t r = first + 1; r <= last_row; ++r)
        for (std::size_t c = 0; c < m.cols; ++c) EXPECT_EQ(m(r, c), m(first, c)) << "row " << r;
}

TEST(Run, NoStepsGivesEmptyHistoriesAndTouchesNothing) {
    GameState game = GameState::from_matrix(matrix(2, 3, {1, 2, 3, 4, 5, 6}));
    Optimizer optimizer = Optimizer::ogda(0.1, 1);
    const GameResult result = Experiment{0}.run_experiment_until_convergence(game, optimizer);
    EXPECT_EQ(result.x_history.rows, 0u);
    EXPECT_EQ(result.x_history.cols, 2u);
    EXPECT_EQ(result.y_history.rows, 0u);
    EXPECT_EQ(result.y_history.cols, 3u);
    EXPECT_TRUE(result.gaps_history.empty());
    EXPECT_EQ(game.x, (Vector{0.5, 0.5}));
    EXPECT_EQ(std::get<Ogda>(optimizer.variant).x_hat, Vector{1.0});
}

TEST(Run, OneStepRecordsTheStartingPoint) {
    GameState game = GameState::from_parts(Vector{1.0, 0.0}, Vector{0.5, 0.5}, pennies());
    Optimizer optimizer = Optimizer::ogda(0.1, 2);
    const GameResult result = Experiment{1}.run_experiment_until_convergence(game, optimizer);
    EXPECT_EQ(result.x_history.data, (Vector{1.0, 0.0}));
    EXPECT_EQ(result.y_history.data, (Vector{0.5, 0.5}));
    EXPECT_EQ(result.gaps_history, Vector{1.0});
    EXPECT_NE(game.x, (Vector{1.0, 0.0}));
}

TEST(Run, EquilibriumStopsAtOnceAndFillsEveryRow) {
    GameState game = GameState::from_matrix(pennies());
    Optimizer optimizer = Optimizer::omwuoomd(0.1, 2);
    const GameResult result = Experiment{4}.run_experiment_until_convergence(game, optimizer);
    EXPECT_EQ(result.x_history.data, Vector(8, 0.5));
    EXPECT_EQ(result.y_history.data, Vector(8, 0.5));
    EXPECT_EQ(result.gaps_history, Vector(4, 0.0));
}

// a = (0, d) with x = (1), y = (1, 0) has gap exactly d; the zero-step OGDA then moves y to
// (0.5, 0.5), where the gap is d / 2.
struct BoundaryCase {
    double d;
    std::size_t stop;
};

class ToleranceBoundary : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(ToleranceBoundary, StopsOnlyStrictlyBelow) {
    const double d = GetParam().d;
    GameState game = GameState::from_parts(Vector{1.0}, Vector{1.0, 0.0}, matrix(1, 2, {0.0, d}));
    Optimizer optimizer = Optimizer::ogda(0.0, 1);
    const GameResult result = Experiment{5}.run_experiment_until_convergence(game, optimizer);
    const std::size_t stop = GetParam().stop;
    EXPECT_EQ(result.gaps_history[0], d);
    for (std::size_t k = stop + 1; k < 5; ++k) EXPECT_EQ(result.gaps_history[k], result.gaps_history[stop]);
    EXPECT_LT(result.gaps_history[stop], kConvergenceTolerance);
    expect_rows_equal(result.y_history, stop, 4);
    // The rows after the stop repeat the strategies held before the converging step.
    EXPECT_EQ(result.y_history(stop, 0), stop == 0 ? 1.0 : 0.5);
}

INSTANTIATE_TEST_SUITE_P(Run, ToleranceBoundary,
                         ::testing::Values(BoundaryCase{1e-8, 1}, BoundaryCase{0.99e-8, 0}));

TEST(Run, EarlyStopTailRepeatsTheConvergingRow) {
    // A game with a pure saddle point: OGDA reaches it exactly after a few steps.
    GameState game = GameState::from_matrix(matrix(2, 2, {1.0, 2.0, 3.0, 4.0}));
    Optimizer optimizer = Optimizer::ogda(0.5, 2);
    const GameResult result = Experiment{50}.run_experiment_until_convergence(game, optimizer);
    std::size_t stop = 0;
    while (stop < 50 && !(result.gaps_history[stop] < kConvergenceTolerance)) ++stop;
    ASSERT_GT(stop, 0u);
    ASSERT_LT(stop, 49u);
    expect_rows_equal(result.x_history, stop, 49);
    expect_rows_equal(result.y_history, stop, 49);
    for (std::size_t k = stop; k < 50; ++k) EXPECT_EQ(result.gaps_history[k], result.gaps_history[stop]);
    EXPECT_NE(result.x_history(stop - 1, 0), result.x_history(stop, 0));
}

TEST(Run, NonSquareHistories) {
    GameState game = GameState::from_matrix(matrix(2, 3, {1, -2, 0.5, 0, 3, -1}));
    Optimizer optimizer = Optimizer::omwuoftrl(0.1, 1);
    const GameResult result = Experiment{6}.run_experiment_until_convergence(game, optimizer);
    EXPECT_EQ(result.x_history.rows, 6u);
    EXPECT_EQ(result.x_history.cols, 2u);
    EXPECT_EQ(result.y_history.cols, 3u);
    EXPECT_EQ(result.gaps_history.size(), 6u);
}

TEST(Run, SecondRunContinuesFromTheFirst) {
    GameState game = GameState::from_matrix(skewed());
    Optimizer optimizer = Optimizer::omwuoomd(0.2, 2);
    const Experiment experiment{3};
    experiment.run_experiment_until_convergence(game, optimizer);
    const Vector x_after = game.x;
    const GameResult second = experiment.run_experiment_until_convergence(game, optimizer);
    EXPECT_EQ(second.x_history.row(0)[0], x_after[0]);
    EXPECT_EQ(second.x_history.row(0)[1], x_after[1]);
}

// A 1 x 1 game stretched by length-3 optimizer vectors: after the first step x no longer fits
// the one-column history.
TEST(Run, StrategyOutgrowingItsHistoryRowPanics) {
    // A length-1 optimizer stretched by a 3 x 2 game, then run on a one-row game: its x_hat of
    // length 3 turns the game's x into 3 entries after the first step.
    GameState wide = GameState::from_matrix(matrix(3, 2, {1, 2, 3, 4, 5, 6}));
    Optimizer stretched = Optimizer::ogda(0.1, 1);
    stretched.step(wide);
    const Matrix one_row = matrix(1, 2, {0.0, 1.0});
    const char* expected = "strategy x of shape [3] does not fit a history row of shape [1]";
    for (bool gaps_only : {false, true}) {
        GameState game = GameState::from_matrix(one_row);
        Optimizer optimizer = stretched;
        const Experiment experiment{3};
        EXPECT_EQ(panic_message([&] {
                      if (gaps_only) experiment.run_recording_gaps(game, optimizer);
                      else experiment.run_experiment_until_convergence(game, optimizer);
                  }),
                  expected);
        EXPECT_EQ(game.x.size(), 3u);
    }
}

TEST(Run, FailingStepKeepsTheCompletedSteps) {
    GameState game = GameState::from_matrix(matrix(2, 3, {1, 2, 3, 4, 5, 6}));
    Optimizer optimizer = Optimizer::ogda(0.1, 2);
    EXPECT_EQ(panic_message([&] { Experiment{3}.run_experiment_until_convergence(game, optimizer); }),
              "shapes [2] and [3] cannot be broadcast together for subtraction");
    EXPECT_EQ(game.x, (Vector{0.5, 0.5}));
}

class RunEveryRule : public ::testing::TestWithParam<int> {};

TEST_P(RunEveryRule, GapRunMatchesTheFullRun) {
    GameState full_game = GameState::from_matrix(matrix(3, 2, {1, -2, 0.5, 0, 3, -1}));
    GameState gap_game = full_game;
    Optimizer full_optimizer = make(GetParam(), 0.3, 1);
    Optimizer gap_optimizer = full_optimizer;
    const Experiment experiment{40};
    const GameResult result = experiment.run_experiment_until_convergence(full_game, full_optimizer);
    EXPECT_EQ(experiment.run_recording_gaps(gap_game, gap_optimizer), result.gaps_history);
    EXPECT_EQ(gap_game.x, full_game.x);
}

// Allocations made by one run on an n x n game without a pure saddle point, which no rule
// solves within a few hundred small steps.
long allocations_of(int tag, std::size_t n, std::uint64_t steps, bool gaps_only) {
    Matrix a = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) a(i, j) = std::cos(1.7 * i + 2.9 * j + 0.3 * i * j);
    GameState game = GameState::from_matrix(std::move(a));
    Optimizer optimizer = make(tag, 0.01, n);
    const Experiment experiment{steps};
    const long before = allocation_count.load();
    const Vector gaps = gaps_only ? experiment.run_recording_gaps(game, optimizer)
                                  : experiment.run_experiment_until_convergence(game, optimizer).gaps_history;
    const long made = allocation_count.load() - before;
    EXPECT_GE(gaps.back(), kConvergenceTolerance) << "the run must take every step";
    return made;
}

TEST_P(RunEveryRule, StepLoopAllocatesNothingAfterTheFirstStep) {
    for (std::size_t n : {2u, 5u, 20u}) {
        for (bool gaps_only : {false, true}) {
            EXPECT_EQ(allocations_of(GetParam(), n, 2, gaps_only), allocations_of(GetParam(), n, 300, gaps_only))
                << "n = " << n << (gaps_only ? ", gaps only" : "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Run, RunEveryRule, ::testing::Values(0, 1, 2));

}  // namespace
}  // namespace quarnel
