#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "core/panic.hpp"
#include "explore/metrics.hpp"

namespace quarnel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct MetricCase {
    const char* label;
    std::vector<double> gaps;
    double cutoff;
    double max_last, var_last, total_var;
    double last_gap;
    std::uint64_t steps;
};

class Metrics : public ::testing::TestWithParam<MetricCase> {};

// EXPECT_EQ that treats two NaNs as equal.
void expect_same(double actual, double expected) {
    if (std::isnan(expected)) EXPECT_TRUE(std::isnan(actual)) << actual;
    else EXPECT_EQ(actual, expected);
}

TEST_P(Metrics, ReduceGapHistories) {
    const MetricCase& c = GetParam();
    expect_same(metric_of(c.gaps, MaxLast{c.cutoff}), c.max_last);
    expect_same(metric_of(c.gaps, VarLast{c.cutoff}), c.var_last);
    expect_same(metric_of(c.gaps, TotalVar{}), c.total_var);
    const GapSummary summary = summarize_gaps(c.gaps, c.cutoff);
    expect_same(summary.max_last, c.max_last);
    expect_same(summary.var_last, c.var_last);
    expect_same(summary.total_var, c.total_var);
    expect_same(summary.last_gap, c.last_gap);
    EXPECT_EQ(summary.steps, c.steps);
}

// Variance of three values, each squared deviation divided by 3 before it is added.
double variance_of(double a, double b, double c) {
    const double mean = (-0.0 + a + b + c) / 3.0;
    return 0.0 + (a - mean) * (a - mean) / 3.0 + (b - mean) * (b - mean) / 3.0 + (c - mean) * (c - mean) / 3.0;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Metrics,
    ::testing::Values(
        MetricCase{"last_tenth", {5, 3, 2, 2, 2, 2, 2, 2, 2, 2}, 0.1, 2.0, 0.0, 3.0, 2.0, 10},
        // (1 - 0.7) * 3 = 0.9000000000000001: the whole history.
        MetricCase{"just_under_one", {4, 1, 3}, 0.7, 4.0, variance_of(4, 1, 3), 5.0, 3.0, 3},
        MetricCase{"empty_history", {}, 0.1, -kInf, 0.0, 0.0, kNaN, 0},
        MetricCase{"single_value", {7}, 1.0, 7.0, 0.0, 0.0, 7.0, 1},
        // Cutoff 0: the tail starts at n and is empty.
        MetricCase{"zero_cutoff", {4, 1, 3}, 0.0, -kInf, 0.0, 5.0, 3.0, 3},
        // (1 - (-0.4)) * 1 = 1.4: start 1 == n, allowed.
        MetricCase{"negative_cutoff_at_end", {3}, -0.4, -kInf, 0.0, 0.0, 3.0, 1},
        MetricCase{"cutoff_above_one", {1, 2, 4}, 5.0, 4.0, variance_of(1, 2, 4), 3.0, 4.0, 3},
        MetricCase{"nan_cutoff", {1, 2, 4}, kNaN, 4.0, variance_of(1, 2, 4), 3.0, 4.0, 3},
        MetricCase{"nan_gaps", {1, kNaN, 2}, 1.0, 2.0, kNaN, kNaN, 2.0, 3},
        MetricCase{"only_nan_tail", {9, kNaN}, 0.5, -kInf, kNaN, kNaN, kNaN, 2},
        // Converged at step 1 (gap below 1e-8), the rest padded with that gap.
        MetricCase{"converged", {5, 1e-9, 1e-9, 1e-9}, 0.5, 1e-9, 0.0, 5.0 - 1e-9, 1e-9, 2}),
    [](const auto& info) { return std::string(info.param.label); });

// Best gap (NaN passed over), its first step and the rate, over the rows run only.
TEST(Measures, BestGapAndRateOfTheRowsRun) {
    struct Case {
        std::vector<double> gaps;
        double best_gap;
        std::int64_t best_step;
        double rate;
    };
    // Rows 3 to 5 of the first: gaps 2, 0.5, 1 (ln 2, -ln 2, 0 at k = 3, 4, 5): slope -ln2 / 2.
    const double ln2 = std::log(2.0);
    const double subnormal = std::ldexp(1.0, -1070);  // converged on it, at row 3
    for (const Case& c : {Case{{kNaN, 4, 0.5, 2, 0.5, 1}, 0.5, 2, ln2 / 2},
                          Case{{1, 1, 0.25, subnormal, subnormal}, subnormal, 3, 1068 * ln2},
                          Case{{3, 1e-9, 1e-9, 1e-9}, 1e-9, 1, kNaN},  // converged at row 1: one row in the tail
                          Case{{8, 4, 2, 0.0, 1, -1.0, 0.25}, -1.0, 5, ln2},  // 0 and -1 left out of the rate
                          Case{{kInf, kNaN, kInf}, kInf, 0, kNaN},
                          Case{{kNaN, kNaN}, kNaN, -1, kNaN},
                          Case{{}, kNaN, -1, kNaN}}) {
        const GapSummary summary = summarize_gaps(c.gaps, 0.1);
        expect_same(summary.best_gap, c.best_gap);
        EXPECT_EQ(summary.best_step, c.best_step);
        if (std::isnan(c.rate)) EXPECT_TRUE(std::isnan(summary.rate)) << summary.rate;
        else EXPECT_NEAR(summary.rate, c.rate, 1e-15 * c.rate);
    }
}

// k + 1 at the first gap below each tolerance, whatever their order, else the history's length.
TEST(Measures, HittingTimes) {
    const Tolerances tolerances({1e-3, 0.5, 0.5, 1e-12, 2.0});
    std::vector<std::uint64_t> out(5);
    tolerances.steps_below(std::vector<double>{1, kNaN, 0.4, 1e-4, 1e-3, 1e-9, 1e-9}, out);
    EXPECT_EQ(out, (std::vector<std::uint64_t>{4, 3, 3, 7, 1}));
    tolerances.steps_below(std::vector<double>{}, out);
    EXPECT_EQ(out, (std::vector<std::uint64_t>{0, 0, 0, 0, 0}));
}

TEST(MetricTails, PastTheEndPanicsNamingStartAndLength) {
    const std::vector<double> gaps(10, 1.0);
    for (const double cutoff : {-0.1, -kInf}) {
        EXPECT_THROW(metric_of(gaps, MaxLast{cutoff}), Panic) << cutoff;
        EXPECT_THROW(metric_of(gaps, VarLast{cutoff}), Panic) << cutoff;
    }
    EXPECT_NO_THROW(metric_of(gaps, TotalVar{}));
    try {
        metric_of(gaps, MaxLast{-0.1});
    } catch (const Panic& failure) {
        EXPECT_NE(failure.message().find("11"), std::string::npos) << failure.message();
        EXPECT_NE(failure.message().find("10"), std::string::npos) << failure.message();
    }
}

TEST(MetricNames, ParseAnyCaseWithTheCutoff) {
    const auto max_last = parse_metric_method("MAX_LAST_10", 0.2);
    ASSERT_TRUE(max_last && std::holds_alternative<MaxLast>(*max_last));
    EXPECT_EQ(std::get<MaxLast>(*max_last).cutoff, 0.2);
    const auto var_last = parse_metric_method("Var_Last", 0.3);
    ASSERT_TRUE(var_last && std::holds_alternative<VarLast>(*var_last));
    EXPECT_EQ(std::get<VarLast>(*var_last).cutoff, 0.3);
    EXPECT_TRUE(std::holds_alternative<TotalVar>(*parse_metric_method("TOTAL_VAR", 0.1)));
    for (const char* name : {"max", "Max_Lst", "", " max_last", "max_last_5", "total-var", "var_last_10 "})
        EXPECT_EQ(parse_metric_method(name, 0.1), std::nullopt) << name;
}

TEST(MetricReduction, KeepsResultOrder) {
    std::vector<GameResult> results(3);
    results[0].gaps_history = {1, 5};
    results[1].gaps_history = {2};
    EXPECT_EQ(vec_results_to_metrics(std::move(results), MaxLast{1.0}), (std::vector<double>{5.0, 2.0, -kInf}));
}

}  // namespace
}  // namespace quarnel
