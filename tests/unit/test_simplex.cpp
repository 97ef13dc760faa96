#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/simplex.hpp"
#include "core_test_support.hpp"

namespace quarnel {
namespace {

using namespace testing_support;
constexpr double kHuge = std::numeric_limits<double>::max();

// The textbook form: stable descending sort, full scan, clip.
std::optional<Vector> reference_projection(const Vector& v) {
    Vector u = v;
    std::stable_sort(u.begin(), u.end(), std::greater<>());
    double cumsum = 0.0;
    std::optional<double> theta;
    for (std::size_t j = 0; j < u.size(); ++j) {
        cumsum += u[j];
        const double t = (cumsum - 1.0) / static_cast<double>(j + 1);
        if (u[j] > t) theta = t;
    }
    if (!theta) return std::nullopt;
    Vector out;
    for (double x : v) out.push_back(std::max(x - *theta, 0.0));
    return out;
}

struct ProjectionCase {
    const char* name;
    Vector input;
    Vector expected;
};

class ProjectionTable : public ::testing::TestWithParam<ProjectionCase> {};

TEST_P(ProjectionTable, ProjectsToExpectedBits) {
    const Vector got = simplex_projection(GetParam().input, 1.0);
    ASSERT_EQ(got.size(), GetParam().expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], GetParam().expected[i]) << "entry " << i;
}

constexpr double kRoundingResidue = 5.551115123125783e-17;

INSTANTIATE_TEST_SUITE_P(
    Simplex, ProjectionTable,
    ::testing::Values(
        ProjectionCase{"worked_example", {0.5, 0.8, -0.2}, {0.35, 0.65, 0.0}},
        ProjectionCase{"single_entry", {3.0}, {1.0}},
        ProjectionCase{"zero_vector", {0.0, 0.0, 0.0}, {1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0}},
        ProjectionCase{"minus_infinity_is_clipped", {1.0, -kInf}, {1.0, 0.0}},
        // Only a scan that visits every entry finds the last passing threshold here.
        ProjectionCase{"scan_has_no_early_exit", {0.6, -0.4, -0.4}, {1.0, kRoundingResidue, kRoundingResidue}},
        ProjectionCase{"positive_overflow", {1e308, 1e308}, {0.5, 0.5}},
        ProjectionCase{"negative_overflow", {-1e308, -1e308}, {0.5, 0.5}},
        ProjectionCase{"overflow_after_threshold", {1.0, -1e308, -1e308}, {1.0, 0.0, 0.0}},
        ProjectionCase{"extreme_spread", {kHuge, -kHuge}, {1.0, 0.0}},
        ProjectionCase{"huge_single_entry", {1e17}, {1.0}},
        ProjectionCase{"huge_equal_entries", {1e17, 1e17, 1e17, 1e17}, {0.25, 0.25, 0.25, 0.25}}),
    case_name);

struct FailureCase {
    const char* name;
    Vector input;
    const char* message;
};

class ProjectionFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ProjectionFailures, Panics) {
    EXPECT_EQ(panic_message([&] { simplex_projection(GetParam().input, 1.0); }), GetParam().message);
}

Vector long_vector_ending_in_nan() {
    Vector v(40, 1.0);
    v.back() = kNaN;
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Simplex, ProjectionFailures,
    ::testing::Values(FailureCase{"empty", {}, "Issue computing theta"},
                      FailureCase{"lone_nan", {kNaN}, "Issue computing theta"},
                      FailureCase{"lone_infinity", {kInf}, "Issue computing theta"},
                      FailureCase{"lone_minus_infinity", {-kInf}, "Issue computing theta"},
                      FailureCase{"holds_infinity", {kInf, 0.0}, "Issue computing theta"},
                      FailureCase{"nan_second", {1.0, kNaN}, "NaN encountered"},
                      FailureCase{"nan_first", {kNaN, 1.0, 2.0}, "NaN encountered"},
                      FailureCase{"nan_beats_infinity", {kInf, kNaN}, "NaN encountered"},
                      FailureCase{"nan_in_long_vector", long_vector_ending_in_nan(), "NaN encountered"}),
    case_name);

TEST(Simplex, MatchesReferenceAcrossSortStrategies) {
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> real(-3.0, 3.0), nudge(-0.05, 0.05);
    std::uniform_int_distribution<int> small(-2, 2);
    ProjectionScratch scratch;
    for (std::size_t n = 1; n <= 40; ++n) {
        Vector v(n);
        for (int trial = 0; trial < 30; ++trial) {
            // A third of the trials draw from few values, so ties and signed zeros are common; a
            // third nudge the previous vector, whose order the scratch remembers (nearly sorted).
            for (double& x : v) x = trial % 3 == 0 ? 0.5 * small(gen) : trial % 3 == 1 ? real(gen) : x + nudge(gen);
            Vector in_place = v;  // the output may alias the input
            simplex_projection_into(in_place, 1.0, in_place, scratch);
            EXPECT_EQ(in_place, *reference_projection(v)) << "n = " << n << ", trial " << trial;
        }
    }
}

TEST(Simplex, EveryFiniteVectorLandsOnTheSimplex) {
    for (const Vector& v : std::vector<Vector>{
             {kHuge, kHuge, kHuge}, {-kHuge, -kHuge}, {kHuge, 0.0, -kHuge}, {1e300, -1e300, 5.0}, {-1e200}})
        EXPECT_TRUE(lies_on_simplex(simplex_projection(v, 1.0))) << render_vector(v);
}

struct DoubleText {
    double value;
    const char* text;
};

class RenderDouble : public ::testing::TestWithParam<DoubleText> {};

TEST_P(RenderDouble, ShortestRoundTrip) { EXPECT_EQ(render_double(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Simplex, RenderDouble,
    ::testing::Values(DoubleText{0.5, "0.5"}, DoubleText{1.0, "1.0"}, DoubleText{-0.0, "-0.0"},
                      DoubleText{0.0, "0.0"}, DoubleText{-2.5, "-2.5"}, DoubleText{1.0 / 3.0, "0.3333333333333333"},
                      DoubleText{123456.0, "123456.0"}, DoubleText{1e-4, "0.0001"}, DoubleText{9.9e-5, "9.9e-5"},
                      DoubleText{1e-7, "1e-7"}, DoubleText{-1.5e-7, "-1.5e-7"},
                      DoubleText{1e15, "1000000000000000.0"}, DoubleText{9999999999999998.0, "9999999999999998.0"},
                      DoubleText{1e16, "1e16"}, DoubleText{1.2345e20, "1.2345e20"},
                      DoubleText{5e-324, "5e-324"}, DoubleText{kHuge, "1.7976931348623157e308"},
                      DoubleText{kNaN, "NaN"}, DoubleText{kInf, "inf"}, DoubleText{-kInf, "-inf"}));

TEST(Simplex, RenderVectorShowsEntriesAndShapeAndElidesFromFiveHundred) {
    EXPECT_EQ(render_vector(Vector{0.3, 0.3}), "[0.3, 0.3] (length 2, stride 1, 1 dimension)");
    EXPECT_EQ(render_vector(Vector{}), "[] (length 0, stride 1, 1 dimension)");
    Vector v(500);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i);
    EXPECT_EQ(render_vector(v),
              "[0.0, 1.0, 2.0, 3.0, 4.0, ..., 495.0, 496.0, 497.0, 498.0, 499.0] "
              "(length 500, stride 1, 1 dimension)");
    v.pop_back();
    const std::string full = render_vector(v);
    EXPECT_EQ(full.find("..."), std::string::npos);
    EXPECT_NE(full.find(", 250.0, "), std::string::npos);
}

TEST(Simplex, QuotedEscapes) {
    EXPECT_EQ(quoted("plain"), "\"plain\"");
    EXPECT_EQ(quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quoted("line\nnext\ttab\r"), "\"line\\nnext\\ttab\\r\"");
    EXPECT_EQ(quoted(std::string("\x01", 1)), "\"\\u{1}\"");
}

struct BuildCase {
    const char* name;
    Vector input;
    bool accepted;
};

class BuildTable : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildTable, AcceptsOnlySimplexPoints) {
    EXPECT_EQ(std::holds_alternative<Vector>(S::build(GetParam().input)), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Simplex, BuildTable,
    ::testing::Values(BuildCase{"halves", {0.5, 0.5}, true}, BuildCase{"negative_zero", {-0.0, 1.0}, true},
                      BuildCase{"within_tolerance", {1.0000005}, true},
                      BuildCase{"outside_tolerance", {1.0000011}, false},
                      BuildCase{"short_sum", {0.3, 0.3}, false}, BuildCase{"empty", {}, false},
                      BuildCase{"nan", {kNaN, 1.0}, false}, BuildCase{"negative", {-1e-300, 1.0}, false},
                      BuildCase{"infinite", {kInf, -kInf}, false}),
    case_name);

// The membership check as defined: every entry >= 0 and the index-order sum from -0.0 strictly
// within the tolerance of 1.
bool literal_membership(const Vector& v) {
    double sum = -0.0;
    for (double x : v)
        if (!(x >= 0.0)) return false;
    for (double x : v) sum += x;
    return std::fabs(sum - 1.0) < kSimplexTolerance;
}

// Long vectors whose sums sweep across both edges of the tolerance, a few ulps at a time where
// the index-order sum changes its verdict.
TEST(Simplex, MembershipOfLongVectorsFollowsTheIndexOrderSum) {
    std::mt19937_64 gen(9);
    std::uniform_real_distribution<double> entry(0.0, 1.0);
    for (std::size_t n : {16u, 64u, 1000u}) {
        Vector base(n);
        for (double& e : base) e = entry(gen);
        const double total = std::accumulate(base.begin(), base.end(), 0.0);
        for (double edge : {1.0 - kSimplexTolerance, 1.0 + kSimplexTolerance})
            for (int step = -400; step <= 400; ++step) {
                Vector v = base;
                const double target = edge * (1.0 + step * 0x1p-52);
                for (double& e : v) e *= target / total;
                EXPECT_EQ(lies_on_simplex(v), literal_membership(v)) << n << " " << step;
            }
    }
}

TEST(Simplex, BuildKeepsTheStorageAndItsFailureShowsTheVector) {
    Vector v = {0.5, 0.5};
    const double* storage = v.data();
    auto built = S::build(std::move(v));
    ASSERT_TRUE(std::holds_alternative<Vector>(built));
    EXPECT_EQ(std::get<Vector>(built).data(), storage);

    auto failed = S::build({0.3, 0.3});
    ASSERT_TRUE(std::holds_alternative<SimplexError>(failed));
    EXPECT_EQ(std::get<SimplexError>(failed).message,
              "v does not belong on the simplex. Last values : [0.3, 0.3] (length 2, stride 1, 1 dimension)");
}

TEST(Simplex, BuildOrPanicQuotesTheFailure) {
    EXPECT_EQ(panic_message([] { build_or_panic({}, "unable to build x"); }),
              "unable to build x: \"v does not belong on the simplex. Last values : [] "
              "(length 0, stride 1, 1 dimension)\"");
    EXPECT_EQ(build_or_panic({0.25, 0.75}, "unused"), (Vector{0.25, 0.75}));
}

}  // namespace
}  // namespace quarnel
