// Runs stepped in lanes against the same runs stepped one by one.
#include "core/lane_block.hpp"

#include <cstring>

#include "core/kernels.hpp"

#include "core_test_support.hpp"

namespace quarnel {
namespace {

using namespace testing_support;

bool same_bits(const Vector& a, const Vector& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

struct LaneRun {
    GameState state;
    Optimizer optimizer;
};

// A random run of an m x n game, the rule's vectors drawn too (hats on the simplex).
LaneRun random_run(std::mt19937_64& gen, int tag, std::size_t m, std::size_t n) {
    LaneRun run{random_game(gen, m, n), make_optimizer(tag, 0.7, 1)};
    const GameState other = random_game(gen, m, n);
    std::visit(
        [&](auto& rule) {
            auto& [first, second, eta] = rule;
            first = other.x, second = other.y;
            if (tag == 2) first[0] += 3.0, second[0] -= 3.0;  // running sums: anything
        },
        run.optimizer.variant);
    return run;
}

struct LaneCase {
    const char* name;
    int tag;
    std::size_t m, n;
};

class LaneBlockSteps : public ::testing::TestWithParam<LaneCase> {};

// Every lane's gaps, strategies and vectors equal its run's alone, step after step; the lane
// whose game holds a NaN declines every step and keeps its state, as the run alone fails.
TEST_P(LaneBlockSteps, MatchRunsSteppedAloneBitForBit) {
    const LaneCase c = GetParam();
    const std::size_t width = kernels().lane_width, failing = width - 1;
    std::mt19937_64 gen(c.m * 131 + c.n * 7 + static_cast<std::size_t>(c.tag));
    std::vector<LaneRun> runs;
    for (std::size_t t = 0; t < width; ++t) runs.push_back(random_run(gen, c.tag, c.m, c.n));
    runs[failing].state.a.data.back() = kNaN;
    const LaneRun failing_start = runs[failing];
    ASSERT_TRUE(LaneBlock::accepts(runs[0].state, runs[0].optimizer));
    LaneBlock block(runs[0].state, runs[0].optimizer);
    for (std::size_t t = 0; t < width; ++t) block.load(t, runs[t].state, runs[t].optimizer);
    EXPECT_NE(panic_message([&] { LaneRun copy = failing_start; copy.optimizer.step(copy.state); }), "<no panic>");

    for (int step = 0; step < 60; ++step) {
        double gaps[kMostLanesInBlock];
        ASSERT_EQ(block.step(gaps).declined, 1u << failing) << "step " << step;
        for (std::size_t t = 0; t < width; ++t) {
            if (t == failing) continue;
            const double alone = runs[t].optimizer.step(runs[t].state);
            ASSERT_TRUE(same_bits({alone}, {gaps[t]})) << "lane " << t << " step " << step;
        }
    }
    for (std::size_t t = 0; t < width; ++t) {
        LaneRun stored = t == failing ? failing_start : runs[t];
        block.store(t, stored.state, stored.optimizer);
        const LaneRun& expected = t == failing ? failing_start : runs[t];
        EXPECT_TRUE(same_bits(stored.state.x, expected.state.x)) << "lane " << t;
        EXPECT_TRUE(same_bits(stored.state.y, expected.state.y)) << "lane " << t;
        EXPECT_TRUE(same_bits(vectors_of(stored.optimizer).first, vectors_of(expected.optimizer).first));
        EXPECT_TRUE(same_bits(vectors_of(stored.optimizer).second, vectors_of(expected.optimizer).second));
    }
}

INSTANTIATE_TEST_SUITE_P(LaneBlock, LaneBlockSteps,
                         ::testing::Values(LaneCase{"md_1x1", 1, 1, 1}, LaneCase{"md_2x2", 1, 2, 2},
                                           LaneCase{"md_3x5", 1, 3, 5}, LaneCase{"md_8x8", 1, 8, 8},
                                           LaneCase{"md_9x17", 1, 9, 17}, LaneCase{"md_32x32", 1, 32, 32},
                                           LaneCase{"ftrl_2x2", 2, 2, 2}, LaneCase{"ftrl_7x4", 2, 7, 4},
                                           LaneCase{"ftrl_8x8", 2, 8, 8}, LaneCase{"ftrl_16x11", 2, 16, 11},
                                           LaneCase{"ftrl_32x32", 2, 32, 32},
                                           LaneCase{"ogda_1x3", 0, 1, 3}, LaneCase{"ogda_2x2", 0, 2, 2},
                                           LaneCase{"ogda_5x6", 0, 5, 6}, LaneCase{"ogda_8x8", 0, 8, 8},
                                           LaneCase{"ogda_17x9", 0, 17, 9}, LaneCase{"ogda_32x32", 0, 32, 32}),
                         case_name);

TEST(LaneBlock, TakesRulesWithoutStretchingVectors) {
    const GameState game = GameState::from_matrix(pennies());
    EXPECT_TRUE(LaneBlock::accepts(game, Optimizer::ogda(0.1, 2)));
    EXPECT_FALSE(LaneBlock::accepts(game, Optimizer::omwuoomd(0.1, 1)));
    EXPECT_TRUE(LaneBlock::accepts(game, Optimizer::omwuoftrl(0.1, 2)));
}

}  // namespace
}  // namespace quarnel
