#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/interrupt.hpp"
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
    EXPECT_LT(result.gaps_history[stop], kConvergenceTolerance);
    // The rows after the stop repeat the strategies held before the converging step.
    EXPECT_EQ(result.y_history(stop, 0), stop == 0 ? 1.0 : 0.5);
    for (std::size_t k = stop + 1; k < 5; ++k) {
        EXPECT_EQ(result.gaps_history[k], result.gaps_history[stop]);
        EXPECT_EQ(result.y_history(k, 0), result.y_history(stop, 0));
        EXPECT_EQ(result.y_history(k, 1), result.y_history(stop, 1));
    }
}

INSTANTIATE_TEST_SUITE_P(Run, ToleranceBoundary,
                         ::testing::Values(BoundaryCase{1e-8, 1}, BoundaryCase{0.99e-8, 0}));

// A length-1 optimizer stretched by a 3 x 2 game, then run on a one-row game: its x_hat of
// length 3 turns the game's x into 3 entries after the first step.
TEST(Run, StrategyOutgrowingItsHistoryRowPanics) {
    GameState wide = GameState::from_matrix(matrix(3, 2, {1, 2, 3, 4, 5, 6}));
    Optimizer stretched = Optimizer::ogda(0.1, 1);
    stretched.step(wide);
    for (bool gaps_only : {false, true}) {
        GameState game = GameState::from_matrix(matrix(1, 2, {0.0, 1.0}));
        Optimizer optimizer = stretched;
        const Experiment experiment{3};
        EXPECT_EQ(panic_message([&] {
                      if (gaps_only) experiment.run_recording_gaps(game, optimizer);
                      else experiment.run_experiment_until_convergence(game, optimizer);
                  }),
                  "strategy x of shape [3] does not fit a history row of shape [1]");
        EXPECT_EQ(game.x.size(), 3u);
    }
}

class RunEveryRule : public ::testing::TestWithParam<int> {};

TEST_P(RunEveryRule, GapRunMatchesTheFullRun) {
    // The general loop (vectors stretching from length 1), and the 2 x 2 one past a stop check.
    const std::pair<Matrix, std::uint64_t> games[] = {{matrix(3, 2, {1, -2, 0.5, 0, 3, -1}), 1},
                                                      {matrix(2, 2, {1, -2, 0.5, 3}), 2}};
    for (const auto& [a, dim] : games) {
        GameState full_game = GameState::from_matrix(a);
        GameState gap_game = full_game;
        Optimizer full_optimizer = make_optimizer(GetParam(), 1e-3, dim);
        Optimizer gap_optimizer = full_optimizer;
        const Experiment experiment{kWorkPerPoll / 2};
        const GameResult result = experiment.run_experiment_until_convergence(full_game, full_optimizer);
        EXPECT_EQ(experiment.run_recording_gaps(gap_game, gap_optimizer), result.gaps_history);
        EXPECT_EQ(gap_game.x, full_game.x);
    }
}

// Allocations made by one run on an n x n game without a pure saddle point, which no rule
// solves within a few hundred small steps.
long allocations_of(int tag, std::size_t n, std::uint64_t steps, bool gaps_only) {
    Matrix a = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) a(i, j) = std::cos(1.7 * i + 2.9 * j + 0.3 * i * j);
    GameState game = GameState::from_matrix(std::move(a));
    Optimizer optimizer = make_optimizer(tag, 0.01, n);
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

// What the exploration engine relies on: once its buffers have grown, a trial allocates nothing.
TEST_P(RunEveryRule, GapRunIntoKeptBuffersAllocatesNothing) {
    for (std::size_t n : {2u, 5u}) {
        GameState game = GameState::from_matrix(matrix(n, n, Vector(n * n, 0.25)));
        game.a.data[1] = -1.0;
        Optimizer optimizer = make_optimizer(GetParam(), 0.01, n);
        Vector gaps;
        StepWorkspace ws;
        const Experiment experiment{50};
        experiment.run_recording_gaps(game, optimizer, gaps, ws);
        const long before = allocation_count.load();
        experiment.run_recording_gaps(game, optimizer, gaps, ws);
        EXPECT_EQ(allocation_count.load() - before, 0) << "n = " << n;
        EXPECT_EQ(gaps.size(), 50u);
    }
}

INSTANTIATE_TEST_SUITE_P(Run, RunEveryRule, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return rule_name(info.param); });

// ---- The 2 x 2 fast path against the general step, bit for bit (signed zeros and NaN too). ----

bool same_bits(const Vector& a, const Vector& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

struct RunOutcome {
    std::string failure;  // empty when the run completed
    Vector xs, ys, gaps;  // histories (row-major), when completed
    Vector x, y, first, second;
};

bool same_outcome(const RunOutcome& a, const RunOutcome& b) {
    return a.failure == b.failure && same_bits(a.xs, b.xs) && same_bits(a.ys, b.ys) && same_bits(a.gaps, b.gaps) &&
           same_bits(a.x, b.x) && same_bits(a.y, b.y) && same_bits(a.first, b.first) && same_bits(a.second, b.second);
}

void record_end(RunOutcome& out, const GameState& game, const Optimizer& optimizer) {
    out.x = game.x, out.y = game.y;
    std::tie(out.first, out.second) = vectors_of(optimizer);
}

// The run written as the plain loop over the general step; after a converging step the rows
// it was taken from repeat.
RunOutcome general_run(GameState game, Optimizer optimizer, std::size_t steps) {
    RunOutcome out;
    StepWorkspace ws;
    try {
        Vector x, y;
        double gap = kInf;
        for (std::size_t k = 0; k < steps; ++k) {
            if (!(gap < kConvergenceTolerance)) x = game.x, y = game.y, gap = optimizer.step(game, ws);
            out.xs.insert(out.xs.end(), x.begin(), x.end());
            out.ys.insert(out.ys.end(), y.begin(), y.end());
            out.gaps.push_back(gap);
        }
    } catch (const Panic& e) {
        out = RunOutcome{};
        out.failure = e.message();
    }
    record_end(out, game, optimizer);
    return out;
}

RunOutcome fast_run(GameState game, Optimizer optimizer, std::size_t steps) {
    RunOutcome out;
    try {
        GameResult result = Experiment{steps}.run_experiment_until_convergence(game, optimizer);
        out.xs = result.x_history.data, out.ys = result.y_history.data, out.gaps = result.gaps_history;
    } catch (const Panic& e) {
        out.failure = e.message();
    }
    record_end(out, game, optimizer);
    return out;
}

struct TwoByTwoCase {
    const char* name;
    Vector a, x, y;
    double eta;
};

class TwoByTwoPath : public ::testing::TestWithParam<std::tuple<int, TwoByTwoCase>> {};

TEST_P(TwoByTwoPath, MatchesTheGeneralStepBitForBit) {
    const auto& [tag, c] = GetParam();
    const GameState game = GameState::from_parts(c.x, c.y, matrix(2, 2, c.a));
    const Optimizer optimizer = make_optimizer(tag, c.eta, 2);
    const RunOutcome got = fast_run(game, optimizer, 300), expected = general_run(game, optimizer, 300);
    EXPECT_EQ(got.failure, expected.failure);
    EXPECT_TRUE(same_outcome(got, expected));
}

INSTANTIATE_TEST_SUITE_P(
    Run, TwoByTwoPath,
    ::testing::Combine(
        ::testing::Values(0, 1, 2),
        ::testing::Values(
            TwoByTwoCase{"interior", {0.3, -0.7, -0.4, 0.9}, {0.9, 0.1}, {0.2, 0.8}, 0.05},
            TwoByTwoCase{"large_step", {2.5, -1.0, -3.0, 0.5}, {0.5, 0.5}, {1.0, 0.0}, 7.0},
            TwoByTwoCase{"saddle_point_stops_early", {1.0, 2.0, 3.0, 4.0}, {0.5, 0.5}, {0.5, 0.5}, 0.5},
            TwoByTwoCase{"equilibrium_at_once", {1.0, -1.0, -1.0, 1.0}, {0.5, 0.5}, {0.5, 0.5}, 0.3},
            TwoByTwoCase{"signed_zeros", {-0.0, 0.0, 0.0, -0.0}, {1.0, 0.0}, {0.0, 1.0}, 0.1},
            TwoByTwoCase{"negative_step", {0.3, -0.7, -0.4, 0.9}, {0.6, 0.4}, {0.3, 0.7}, -0.2},
            TwoByTwoCase{"exponentials_underflow", {0.0, 0.0, 1.0, 1.0}, {0.5, 0.5}, {0.5, 0.5}, 1000.0},
            // Entries near 1e308: the direct threshold scan finds nothing, the general path
            // retries on the shifted vector.
            TwoByTwoCase{"projection_needs_shifted_retry", {-1.0, -1.0, -1.0, -1.0}, {0.5, 0.5}, {0.5, 0.5}, 1e308},
            // Entries near +-1e17 sum to a finite value, but no threshold is found directly.
            TwoByTwoCase{"huge_payoffs_need_shifted_retry", {1e17, -1e17, -1e17, 1e17}, {1.0, 0.0}, {1.0, 0.0}, 1.0},
            TwoByTwoCase{"infinite_payoff_fails", {1.0, 1.0, kInf, 1.0}, {1.0, 0.0}, {0.5, 0.5}, 0.1},
            TwoByTwoCase{"negative_infinite_payoff_fails", {1.0, 1.0, -kInf, 1.0}, {0.5, 0.5}, {0.5, 0.5}, 0.1},
            TwoByTwoCase{"infinite_corner_fails", {kInf, 0.0, 0.0, 0.0}, {0.5, 0.5}, {0.5, 0.5}, 0.5},
            TwoByTwoCase{"nan_payoff_fails", {kNaN, 0.0, 0.0, 0.0}, {0.5, 0.5}, {0.5, 0.5}, 0.5},
            TwoByTwoCase{"nan_in_second_entries_fails", {0.0, 0.0, 0.0, kNaN}, {0.5, 0.5}, {0.5, 0.5}, 0.5},
            TwoByTwoCase{"nan_step_size_fails", {0.3, -0.7, -0.4, 0.9}, {0.5, 0.5}, {0.5, 0.5}, kNaN})),
    [](const auto& info) { return rule_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name; });

TEST(Run, TwoByTwoPathMatchesOnRandomGames) {
    std::mt19937_64 gen(29);
    std::uniform_real_distribution<double> entry(-1.0, 1.0);
    for (int trial = 0; trial < 60; ++trial) {
        const GameState game = random_game(gen, 2, 2);
        const Optimizer optimizer = make_optimizer(trial % 3, std::pow(10.0, entry(gen) * 3.0), 2);
        ASSERT_TRUE(same_outcome(fast_run(game, optimizer, 200), general_run(game, optimizer, 200))) << "trial " << trial;
    }
}

}  // namespace
}  // namespace quarnel
