#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "core/panic.hpp"
#include "core/run.hpp"
#include "explore/batch.hpp"
#include "explore/neighborhood.hpp"

namespace quarnel {
namespace {

Matrix matrix_of(std::size_t rows, std::size_t cols, std::vector<double> entries) {
    Matrix m = Matrix::zeros(rows, cols);
    m.data = std::move(entries);
    return m;
}

BatchPlan plan_for(const Matrix& base, const Optimizer& optimizer, std::uint64_t num_steps, UniformRange range) {
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
    const BatchPlan plan = plan_for(base, optimizer, 50, range);
    Exploration exploration(plan);
    Rng drawing = seeded(5), replay = seeded(5);
    exploration.rng = &drawing;
    for (int trial = 0; trial < 3; ++trial) {
        const RandomGameResult got = exploration.execute_clean_run();
        const RandomGameResult expected = expected_trial(base, optimizer, 50, range, replay);
        EXPECT_EQ(got.norm, expected.norm) << trial;
        EXPECT_EQ(got.metric, expected.metric) << trial;
    }
}

// 2 x 2 OGDA trials run in groups; each must still see its own perturbation, drawn in trial
// order, and give what it gives alone.
TEST(Batch, TrialsRunTogetherMatchCleanRunsInOrder) {
    const Matrix base = matrix_of(2, 2, {0.3, -0.7, -0.4, 0.9});
    const Optimizer optimizer = Optimizer::ogda(0.05, 2);
    const UniformRange range{0.1, 0.4};
    const BatchPlan plan = plan_for(base, optimizer, 300, range);
    Exploration exploration(plan);
    ASSERT_EQ(exploration.slots.size(), kRunsTogether);
    Rng drawing = seeded(9), replay = seeded(9);
    exploration.rng = &drawing;
    for (std::size_t group : {kRunsTogether, kRunsTogether - 1}) {
        std::vector<RandomGameResult> got(group);
        exploration.execute_clean_runs(got);
        for (std::size_t i = 0; i < group; ++i) {
            const RandomGameResult expected = expected_trial(base, optimizer, 300, range, replay);
            EXPECT_EQ(got[i].norm, expected.norm) << i;
            EXPECT_EQ(got[i].metric, expected.metric) << i;
        }
    }
}

// A metric that may fail must fail before any later trial runs: such trials run one by one.
TEST(Batch, TrialsWithAFailingMetricRunOneByOne) {
    const Matrix base = matrix_of(2, 2, {0.3, -0.7, -0.4, 0.9});
    const Optimizer optimizer = Optimizer::ogda(0.05, 2);
    BatchPlan plan = plan_for(base, optimizer, 300, {0.1, 0.4});
    plan.metric_method = MaxLast{-1.0};
    EXPECT_EQ(Exploration(plan).slots.size(), 1u);
}

TEST(Batch, ReturnsOneResultPerIndex) {
    const Matrix base = matrix_of(2, 2, {1, -1, -1, 1});
    const Optimizer optimizer = Optimizer::omwuoomd(0.1, 2);
    const Optimizer before = optimizer.clone();
    const BatchPlan plan = plan_for(base, optimizer, 20, {0.5, 0.5});
    EXPECT_TRUE(run_batch_exploration(plan, 0).empty());
    const auto results = run_batch_exploration(plan, 37);
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
    const BatchPlan plan = plan_for(base, optimizer, 5, {0.5, 0.5});
    EXPECT_TRUE(run_batch_exploration(plan, 0).empty());
    EXPECT_THROW(run_batch_exploration(plan, 10), Panic);
}

TEST(Batch, StepFailureStopsTheBatch) {
    const Matrix base = matrix_of(2, 2, {std::nan(""), 0, 0, 0});
    const Optimizer optimizer = Optimizer::ogda(0.1, 2);
    const BatchPlan plan = plan_for(base, optimizer, 5, {0.5, 0.5});
    EXPECT_THROW(run_batch_exploration(plan, 100), Panic);
}

TEST(Neighborhood, NormalisesToUnitRange) {
    Matrix m = matrix_of(2, 2, {1, 3, 5, 9});
    normalize_min_max(m);
    EXPECT_EQ(m.data, (std::vector<double>{0, 0.25, 0.5, 1}));
    Matrix constant = matrix_of(1, 2, {4, 4});
    normalize_min_max(constant);
    EXPECT_TRUE(std::isnan(constant.data[0]) && std::isnan(constant.data[1]));
    Matrix with_nan = matrix_of(1, 3, {std::nan(""), 2, 4});  // extremes skip the NaN
    normalize_min_max(with_nan);
    EXPECT_TRUE(std::isnan(with_nan.data[0]));
    EXPECT_EQ(with_nan.data[1], 0.0);
    EXPECT_EQ(with_nan.data[2], 1.0);
}

}  // namespace
}  // namespace quarnel
