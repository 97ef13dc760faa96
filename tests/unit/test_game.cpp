#include <gtest/gtest.h>

#include <cmath>

#include "core/game.hpp"
#include "core_test_support.hpp"

namespace quarnel {
namespace {

using namespace testing_support;

const Matrix kTwoByThree = matrix(2, 3, {1, 2, 3, 4, 5, 6});

TEST(GameState, FromMatrixStartsUniformAndRefusesEmptyDimensions) {
    const GameState game = GameState::from_matrix(kTwoByThree);
    EXPECT_EQ(game.x, (Vector{0.5, 0.5}));
    EXPECT_EQ(game.y, (Vector{1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0}));
    EXPECT_EQ(game.a.data, kTwoByThree.data);
    const std::string empty = "\"v does not belong on the simplex. Last values : [] (length 0, stride 1, 1 dimension)\"";
    EXPECT_EQ(panic_message([] { GameState::from_matrix(matrix(0, 3, {})); }), "unable to build x: " + empty);
    EXPECT_EQ(panic_message([] { GameState::from_matrix(matrix(2, 0, {})); }), "unable to build y: " + empty);
}

TEST(GameState, FromPartsReportsTheFirstFailure) {
    EXPECT_EQ(panic_message([] { GameState::from_parts(Vector{}, Vector{kNaN, 1.0}, pennies()); }),
              "Issue computing theta");
    EXPECT_EQ(panic_message([] { GameState::from_parts(Vector{0.5, 0.5}, Vector{kNaN, 1.0}, pennies()); }),
              "NaN encountered");
}

TEST(GameState, Gradients) {
    const auto [gx, gy] = GameState::from_parts(Vector{0.25, 0.75}, Vector{0.5, 0.0, 0.5}, kTwoByThree).compute_gradient();
    EXPECT_EQ(gx, (Vector{2.0, 5.0}));
    EXPECT_EQ(gy, (Vector{-3.25, -4.25, -5.25}));
    // The negated column sums keep their sign: -(+0.0) is -0.0, which the gap's minimum sees.
    const auto [ux, uy] = GameState::from_matrix(pennies()).compute_gradient();
    EXPECT_EQ(ux, (Vector{0.0, 0.0}));
    EXPECT_TRUE(std::signbit(uy[0]) && std::signbit(uy[1]) && uy[0] == 0.0 && uy[1] == 0.0);
}

TEST(GameState, GradientMismatchNamesBothShapes) {
    const GameState long_x = GameState::from_parts(Vector{0.2, 0.3, 0.5}, Vector{0.5, 0.5}, pennies());
    EXPECT_EQ(panic_message([&] { long_x.compute_gradient(); }),
              "inputs 2 × 2 and 3 × 1 are not compatible for matrix multiplication");
    // Both strategies wrong: the product a * y is formed, and checked, first.
    const GameState both = GameState::from_parts(Vector{1.0}, Vector{0.5, 0.5}, kTwoByThree);
    EXPECT_EQ(panic_message([&] { both.compute_gradient(); }),
              "inputs 2 × 3 and 2 × 1 are not compatible for matrix multiplication");
}

struct GapCase {
    const char* name;
    Vector grad_x;
    Vector grad_y;
    double expected;
};

class DualityGap : public ::testing::TestWithParam<GapCase> {};

TEST_P(DualityGap, UsesTotalOrderMinima) {
    const double gap = GameState::duality_gap(GetParam().grad_x, GetParam().grad_y);
    const double expected = GetParam().expected;
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(gap)) << gap;
    } else {
        EXPECT_EQ(gap, expected);
        EXPECT_EQ(std::signbit(gap), std::signbit(expected));
    }
}

INSTANTIATE_TEST_SUITE_P(
    GameState, DualityGap,
    ::testing::Values(GapCase{"worked_example", {3.0, -1.0}, {2.0, -4.0}, 5.0},
                      GapCase{"pure_row_in_matching_pennies", {0.0, 0.0}, {-1.0, 1.0}, 1.0},
                      // -0.0 lies below +0.0, so the gap is -(-0.0) - 0.0 = +0.0.
                      GapCase{"negative_zero_is_smaller", {0.0}, {0.0, -0.0}, 0.0},
                      GapCase{"positive_nan_is_largest", {1.0}, {kNaN, 5.0}, -6.0},
                      GapCase{"negative_nan_is_smallest", {1.0}, {-kInf, -kNaN}, kNaN},
                      GapCase{"infinities", {-kInf, 2.0}, {1.0}, kInf},
                      GapCase{"minima_past_the_first_four", {4.0, 0.0, 1.0, 0.5, 2.0, -0.0, 0.0},
                              {5.0, kNaN, 3.0, 2.5, 6.0, 0.0}, 0.0}),
    case_name);

TEST(GameState, DualityGapOfEmptyGradientPanics) {
    EXPECT_NE(panic_message([] { GameState::duality_gap(Vector{}, Vector{1.0}); }), "<no panic>");
    EXPECT_NE(panic_message([] { GameState::duality_gap(Vector{1.0}, Vector{}); }), "<no panic>");
}

TEST(Dense, ImpossibleSizesRaiseBadAlloc) {
    const std::size_t huge = std::numeric_limits<std::size_t>::max();
    EXPECT_THROW(checked_product(huge, 2), std::bad_alloc);
    EXPECT_THROW(Matrix::zeros(huge / 2, 4), std::bad_alloc);
    EXPECT_THROW(zeros(huge), std::bad_alloc);
    EXPECT_EQ(checked_product(3, 4), 12u);
}

}  // namespace
}  // namespace quarnel
