#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "core/panic.hpp"
#include "core/run.hpp"
#include "explore/batch.hpp"
#include "explore/neighborhood.hpp"
#include "explore/orchestrator.hpp"

namespace quarnel {
namespace {

Matrix matrix_of(std::size_t rows, std::size_t cols, std::vector<double> entries) {
    Matrix m = Matrix::zeros(rows, cols);
    m.data = std::move(entries);
    return m;
}

BatchSpec spec_for(const Matrix& base, const Optimizer& optimizer, std::uint64_t num_steps, UniformRange range) {
    return {MatrixView::of(base), &optimizer, num_steps, max_norm, range, MaxLast{0.5}};
}

Rng seeded(std::uint64_t a) {
    const std::uint64_t seed[4] = {a, 1, 2, 3};
    return Rng(seed);
}

// What a clean trial must compute, from its own copy of everything.
RandomGameResult expected_trial(const Matrix& base, const Optimizer& optimizer, std::uint64_t num_steps,
                                const UniformRange& range, Rng& rng) {
    Matrix perturbation = Matrix::zeros(base.rows, base.cols);
    draw_perturbation(perturbation, range, rng);
    const double norm = max_norm(MatrixView::of(perturbation));
    for (std::size_t k = 0; k < base.data.size(); ++k) perturbation.data[k] += base.data[k];
    GameState state = GameState::from_matrix(perturbation);
    Optimizer fresh = optimizer.clone();
    fresh.reset();
    const GameResult run = Experiment{num_steps}.run_experiment_until_convergence(state, fresh);
    return {norm, metric_of(run.gaps_history, MaxLast{0.5})};
}

TEST(Batch, TrialsAreCleanRunsOnFreshPerturbations) {
    const Matrix base = matrix_of(2, 3, {1, -1, 0.5, -1, 1, 0.25});
    Optimizer optimizer = Optimizer::ogda(0.1, 1);
    GameState warm_up = GameState::from_matrix(base);
    optimizer.step(warm_up);  // a template with history: every trial must reset its clone
    const UniformRange range{0.1, 0.4};
    const BatchSpec spec = spec_for(base, optimizer, 50, range);
    Exploration exploration(spec);
    Rng drawing = seeded(5), replay = seeded(5);
    exploration.rng = &drawing;
    for (int trial = 0; trial < 3; ++trial) {
        const RandomGameResult got = exploration.execute_clean_run();
        const RandomGameResult expected = expected_trial(base, optimizer, 50, range, replay);
        EXPECT_EQ(got.norm, expected.norm) << trial;
        EXPECT_EQ(got.metric, expected.metric) << trial;
    }
}

TEST(Batch, ReturnsOneResultPerIndex) {
    const Matrix base = matrix_of(2, 2, {1, -1, -1, 1});
    const Optimizer optimizer = Optimizer::omwuoomd(0.1, 2);
    const Optimizer before = optimizer.clone();
    const BatchSpec spec = spec_for(base, optimizer, 20, {0.5, 0.5});
    EXPECT_TRUE(run_batch_exploration(spec, 0).empty());
    const auto results = run_batch_exploration(spec, 37);
    ASSERT_EQ(results.size(), 37u);
    for (const auto& result : results) {
        EXPECT_GE(result.norm, 0.5);
        EXPECT_LT(result.norm, 1.0);
    }
    EXPECT_EQ(std::get<OmwuOomd>(optimizer.variant).x_hat, std::get<OmwuOomd>(before.variant).x_hat);
}

TEST(Batch, EmptyBaseFailsWhenAPieceIsPrepared) {
    const Matrix base = Matrix::zeros(0, 2);
    const Optimizer optimizer = Optimizer::ogda(0.1, 2);
    const BatchSpec spec = spec_for(base, optimizer, 5, {0.5, 0.5});
    EXPECT_TRUE(run_batch_exploration(spec, 0).empty());
    EXPECT_THROW(run_batch_exploration(spec, 10), Panic);
}

TEST(Batch, StepFailureStopsTheBatch) {
    const Matrix base = matrix_of(2, 2, {std::nan(""), 0, 0, 0});
    const Optimizer optimizer = Optimizer::ogda(0.1, 2);
    const BatchSpec spec = spec_for(base, optimizer, 5, {0.5, 0.5});
    EXPECT_THROW(run_batch_exploration(spec, 100), Panic);
}

ExplorationParams params(std::uint64_t num_exploration, double inner, double outer) {
    return {TotalVar{}, num_exploration, 10, inner, outer};
}

TEST(Concentric, SlicesTheBandFromTheInnerRadius) {
    const Matrix base = matrix_of(2, 2, {0, 1, 1, 0});
    const auto output =
        ConcentricOutput::create(MatrixView::of(base), Optimizer::ogda(0.1, 2), params(10, 0.0, 1.0), 4);
    const std::vector<std::pair<double, double>> expected = {{0.0, 0.25}, {0.25, 0.5}, {0.5, 0.75}, {0.75, 1.0}};
    EXPECT_EQ(output.slice_boundaries, expected);
    ASSERT_EQ(output.metrics.size(), 4u);
    for (const auto& row : output.metrics) EXPECT_EQ(row.size(), 2u);
}

TEST(Concentric, ZeroSlicesPanicsBeforeAnyRun) {
    const Matrix base = Matrix::zeros(0, 0);  // would fail in any run
    try {
        ConcentricOutput::create(MatrixView::of(base), Optimizer::ogda(0.1, 2), params(10, 0.0, 1.0), 0);
        FAIL() << "no panic";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.message(), "attempt to divide by zero");
    }
}

TEST(Scattered, ChecksTheRangeBeforeAnyRun) {
    const Matrix base = Matrix::zeros(0, 0);
    for (const auto& [inner, outer, error] :
         {std::tuple{1.0, 1.0, "EmptyRange"}, std::tuple{-1e308, 1e308, "NonFinite"}}) {
        try {
            ScatteredOutput::create(MatrixView::of(base), Optimizer::ogda(0.1, 2), params(10, inner, outer),
                                    NormKind::Max);
            FAIL() << "no panic";
        } catch (const Panic& failure) {
            EXPECT_NE(failure.message().find(error), std::string::npos) << failure.message();
        }
    }
}

TEST(Neighborhood, NormalisesToUnitRange) {
    Matrix m = matrix_of(2, 2, {1, 3, 5, 9});
    normalize_min_max(m);
    EXPECT_EQ(m.data, (std::vector<double>{0, 0.25, 0.5, 1}));
    Matrix constant = matrix_of(1, 2, {4, 4});
    normalize_min_max(constant);
    EXPECT_TRUE(std::isnan(constant.data[0]) && std::isnan(constant.data[1]));
}

TEST(Neighborhood, RunsEachMatrixFromAnEvenSplit) {
    const std::vector<double> stack = {1, 0, 0, 2, 0, 1, 1, 0, 3, -1, -2, 4};
    const StackView view{reinterpret_cast<const char*>(stack.data()), 3, 2, 2, 4 * sizeof(double),
                         2 * sizeof(double), sizeof(double)};
    Optimizer optimizer = Optimizer::omwuoftrl(0.2, 2);
    const auto results = neighborhood_exploration(view, optimizer, 30, false);
    ASSERT_EQ(results.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        GameState state = GameState::from_parts(std::vector{0.5, 0.5}, std::vector{0.5, 0.5}, view[k].copy());
        Optimizer clone = optimizer.clone();
        const GameResult expected = Experiment{30}.run_experiment_until_convergence(state, clone);
        EXPECT_EQ(results[k].gaps_history, expected.gaps_history) << k;
        EXPECT_EQ(results[k].x_history.data, expected.x_history.data) << k;
    }
}

}  // namespace
}  // namespace quarnel
