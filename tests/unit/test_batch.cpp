#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "core/run.hpp"
#include "core_test_support.hpp"
#include "explore/batch.hpp"
#include "explore/neighborhood.hpp"

namespace quarnel {
namespace {

using namespace testing_support;

const UniformRange kRange{0.1, 0.4};

BatchPlan plan_for(const Matrix& base, const Optimizer& optimizer, std::uint64_t num_steps) {
    return {MatrixView::of(base), &optimizer, num_steps, max_norm, kRange, MaxLast{0.5}};
}

Rng seeded(std::uint64_t a) {
    const std::uint64_t seed[4] = {a, 1, 2, 3};
    return Rng(seed);
}

// What a clean trial must compute, from its own copy of everything.
RandomGameResult expected_trial(const BatchPlan& plan, Rng& rng) {
    Matrix perturbation = Matrix::zeros(plan.base_matrix.rows, plan.base_matrix.cols);
    draw_perturbation(perturbation, kRange, rng);
    const double norm = max_norm(MatrixView::of(perturbation));
    const Matrix base = plan.base_matrix.copy();
    for (std::size_t k = 0; k < base.data.size(); ++k) perturbation.data[k] += base.data[k];
    GameState state = GameState::from_matrix(perturbation);
    Optimizer fresh = plan.optimizer->clone();
    fresh.reset();
    const GameResult run = Experiment{plan.num_steps}.run_experiment_until_convergence(state, fresh);
    return {norm, metric_of(run.gaps_history, MaxLast{0.5})};
}

void expect_same_result(const RandomGameResult& got, const RandomGameResult& expected, std::size_t trial) {
    EXPECT_EQ(got.norm, expected.norm) << "trial " << trial;
    EXPECT_EQ(got.metric, expected.metric) << "trial " << trial;
}

TEST(Batch, TrialsAreCleanRunsOnFreshPerturbations) {
    const Matrix base = matrix(2, 3, {1, -1, 0.5, -1, 1, 0.25});
    Optimizer optimizer = Optimizer::ogda(0.1, 1);
    GameState warm_up = GameState::from_matrix(base);
    optimizer.step(warm_up);  // a template with history: every trial must reset its clone
    const BatchPlan plan = plan_for(base, optimizer, 50);
    Exploration exploration(plan);
    Rng drawing = seeded(5), replay = seeded(5);
    exploration.rng = &drawing;
    for (std::size_t trial = 0; trial < 3; ++trial) {
        RandomGameResult got;
        exploration.execute_clean_runs(std::span(&got, 1));
        expect_same_result(got, expected_trial(plan, replay), trial);
    }
}

// 2 x 2 OGDA trials run in groups; each must still see its own perturbation, drawn in trial
// order, and give what it gives alone.
TEST(Batch, TrialsRunTogetherMatchCleanRunsInOrder) {
    const Matrix base = matrix(2, 2, {0.3, -0.7, -0.4, 0.9});
    const Optimizer optimizer = Optimizer::ogda(0.05, 2);
    const BatchPlan plan = plan_for(base, optimizer, 300);
    Exploration exploration(plan);
    ASSERT_EQ(exploration.slots.size(), kRunsTogether);
    Rng drawing = seeded(9), replay = seeded(9);
    exploration.rng = &drawing;
    for (std::size_t group : {kRunsTogether, kRunsTogether - 1}) {
        std::vector<RandomGameResult> got(group);
        exploration.execute_clean_runs(got);
        for (std::size_t i = 0; i < group; ++i) expect_same_result(got[i], expected_trial(plan, replay), i);
    }
}

// A metric that may fail must fail before any later trial runs: such trials run one by one.
TEST(Batch, TrialsWithAFailingMetricRunOneByOne) {
    const Matrix base = matrix(2, 2, {0.3, -0.7, -0.4, 0.9});
    const Optimizer optimizer = Optimizer::ogda(0.05, 2);
    BatchPlan plan = plan_for(base, optimizer, 300);
    plan.metric_method = MaxLast{-1.0};
    EXPECT_EQ(Exploration(plan).slots.size(), 1u);
}

TEST(Neighborhood, NormalisingSkipsNaNWhenFindingTheExtremes) {
    Matrix with_nan = matrix(1, 3, {kNaN, 2, 4});
    normalize_min_max(with_nan);
    EXPECT_TRUE(std::isnan(with_nan.data[0]));
    EXPECT_EQ(with_nan.data[1], 0.0);
    EXPECT_EQ(with_nan.data[2], 1.0);
}

}  // namespace
}  // namespace quarnel
