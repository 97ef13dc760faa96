#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>

#include "core/exponential.hpp"
#include "core/kernels.hpp"
#include "core/optimizer.hpp"
#include "core/vector_ops.hpp"
#include "core_test_support.hpp"

namespace quarnel {
namespace {

using namespace testing_support;

constexpr double kEps = 2.220446049250313e-16;

// ---- Literal step rules, written out entry by entry in the fixed order of operations. ----
// The multiplicative ones take the exponential as a parameter: the module's own reproduces the
// steps bit for bit, the C library's shows how far the module's moves whole runs.

using Exp = double (*)(double);

std::pair<Vector, Vector> literal_gradients(const GameState& g) {
    Vector gx(g.a.rows, 0.0), gy(g.a.cols, 0.0);
    for (std::size_t i = 0; i < g.a.rows; ++i)
        for (std::size_t j = 0; j < g.a.cols; ++j) gx[i] += g.a(i, j) * g.y[j];
    for (std::size_t j = 0; j < g.a.cols; ++j) {
        double column = 0.0;
        for (std::size_t i = 0; i < g.a.rows; ++i) column += g.a(i, j) * g.x[i];
        gy[j] = -column;
    }
    return {gx, gy};
}

Vector normalised(Vector v) {
    double sum = 0.0;
    for (double e : v) sum += e;
    for (double& e : v) e /= sum;
    return v;
}

Vector shifted_exp(const Vector& a, Exp exp) {
    double c = -kInf;
    for (double e : a) c = e > c ? e : c;
    Vector out;
    for (double e : a) out.push_back(exp(e - c));
    return out;
}

Vector projected_step(const Vector& from, double eta, const Vector& g) {
    Vector out;
    for (std::size_t i = 0; i < g.size(); ++i) out.push_back(from[i] - eta * g[i]);
    return simplex_projection(out, 1.0);
}

void literal_rule(Ogda& o, GameState& g, const Vector& gx, const Vector& gy, Exp) {
    const Vector x_hat = projected_step(o.x_hat, o.eta, gx), y_hat = projected_step(o.y_hat, o.eta, gy);
    g.x = projected_step(x_hat, o.eta, gx);
    g.y = projected_step(y_hat, o.eta, gy);
    o.x_hat = x_hat, o.y_hat = y_hat;
}

// The played strategy and the new hat of one player.
std::pair<Vector, Vector> literal_omwu_player(const Vector& hat, double eta, const Vector& g, Exp exp) {
    Vector a;
    for (double e : g) a.push_back((-eta) * e);
    const Vector e = shifted_exp(a, exp);
    Vector w, v;
    for (std::size_t i = 0; i < e.size(); ++i) w.push_back(e[i] * hat[i] + kEps);
    const Vector new_hat = normalised(w);
    for (std::size_t i = 0; i < e.size(); ++i) v.push_back(new_hat[i] * e[i]);
    return {normalised(v), new_hat};
}

void literal_rule(OmwuOomd& o, GameState& g, const Vector& gx, const Vector& gy, Exp exp) {
    std::tie(g.x, o.x_hat) = literal_omwu_player(o.x_hat, o.eta, gx, exp);
    std::tie(g.y, o.y_hat) = literal_omwu_player(o.y_hat, o.eta, gy, exp);
}

Vector literal_ftrl_player(Vector& sum, double eta, const Vector& g, Exp exp) {
    Vector z;
    for (std::size_t i = 0; i < g.size(); ++i) sum[i] = sum[i] + g[i];
    for (std::size_t i = 0; i < g.size(); ++i) z.push_back((sum[i] + g[i]) * (-eta));
    return normalised(shifted_exp(z, exp));
}

void literal_rule(OmwuOftrl& o, GameState& g, const Vector& gx, const Vector& gy, Exp exp) {
    g.x = literal_ftrl_player(o.sum_grad_x, o.eta, gx, exp);
    g.y = literal_ftrl_player(o.sum_grad_y, o.eta, gy, exp);
}

double literal_step(Optimizer& o, GameState& g, Exp exp = exponential) {
    const auto [gx, gy] = literal_gradients(g);
    std::visit([&](auto& rule) { literal_rule(rule, g, gx, gy, exp); }, o.variant);
    return GameState::duality_gap(gx, gy);
}

class EveryRule : public ::testing::TestWithParam<int> {};

TEST_P(EveryRule, StepsMatchTheLiteralRuleBitForBit) {
    std::mt19937_64 gen(11 + GetParam());
    for (std::size_t n : {2u, 3u, 5u, 7u}) {
        for (double eta : {0.0, 0.05, 0.3, 2.0}) {
            GameState game = random_game(gen, n, n), expected_game = game;
            Optimizer optimizer = make_optimizer(GetParam(), eta, n), expected_optimizer = optimizer;
            StepWorkspace ws;
            for (int step = 0; step < 60; ++step) {
                ASSERT_EQ(optimizer.step(game, ws), literal_step(expected_optimizer, expected_game)) << step;
                ASSERT_EQ(game.x, expected_game.x) << "step " << step;
                ASSERT_EQ(game.y, expected_game.y) << "step " << step;
                ASSERT_EQ(vectors_of(optimizer), vectors_of(expected_optimizer)) << "step " << step;
            }
        }
    }
}

double c_library_exp(double x) { return std::exp(x); }

// Largest |got - expected| / |expected| over the entries.
double relative_distance(const Vector& got, const Vector& expected) {
    double largest = 0.0;
    for (std::size_t i = 0; i < got.size(); ++i)
        largest = std::max(largest, std::fabs(got[i] - expected[i]) / std::fabs(expected[i]));
    return largest;
}

// Whole runs on well-conditioned games (every entry stays well inside the simplex, the gap far
// from 0) stay close to the same runs with the C library's exp: the exponentials' last-bit
// differences do not build up.
TEST(MultiplicativeRules, RunsStayWithin1e9RelativeOfTheCLibraryExp) {
    std::mt19937_64 gen(5);
    for (int tag : {1, 2})
        for (std::size_t n : {2u, 8u, 64u}) {
            GameState game = GameState::from_matrix(random_game(gen, n, n).a), reference = game;
            Optimizer optimizer = make_optimizer(tag, 0.02, n), reference_optimizer = optimizer;
            StepWorkspace ws;
            double worst = 0.0;
            for (int step = 0; step < 2000; ++step) {
                const double gap = optimizer.step(game, ws);
                const double reference_gap = literal_step(reference_optimizer, reference, c_library_exp);
                worst = std::max({worst, relative_distance(game.x, reference.x), relative_distance(game.y, reference.y),
                                  relative_distance({gap}, {reference_gap})});
            }
            EXPECT_LT(worst, 1e-9) << rule_name(tag) << " " << n << " x " << n;
        }
}

// Each vector comes back at its own length (after stretching to a 2 x 3 game), uniform, or
// zeros for the running sums.
TEST_P(EveryRule, ResetKeepsEachVectorsOwnLength) {
    GameState game = GameState::from_matrix(matrix(2, 3, {1, -2, 0.5, 0, 3, -1}));
    Optimizer optimizer = make_optimizer(GetParam(), 0.2, 1);
    optimizer.step(game);
    optimizer.step(game);
    optimizer.reset();
    const bool sums = GetParam() == 2;
    EXPECT_EQ(vectors_of(optimizer), std::make_pair(sums ? Vector(2, 0.0) : Vector(2, 0.5),
                                                    sums ? Vector(3, 0.0) : Vector(3, 1.0 / 3.0)));
}

INSTANTIATE_TEST_SUITE_P(Optimizers, EveryRule, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return rule_name(info.param); });

TEST(Optimizers, ResetOfAnEmptyHatCarriesTheCheckText) {
    Ogda empty{{}, {}, 0.1};
    EXPECT_EQ(panic_message([&] { empty.reset(); }),
              "v does not belong on the simplex. Last values : [] (length 0, stride 1, 1 dimension)");
}

// A 1 x 1 game: the length-3 vectors of OGDA and FTRL absorb the single gradient entry.
TEST(Optimizers, StretchingGradientsGrowTheStrategies) {
    for (int tag : {0, 2}) {
        GameState game = GameState::from_matrix(matrix(1, 1, {2.0}));
        make_optimizer(tag, 0.1, 3).step(game);
        EXPECT_EQ(game.x.size(), 3u) << tag;
        EXPECT_EQ(game.y.size(), 3u) << tag;
        EXPECT_TRUE(lies_on_simplex(game.x) && lies_on_simplex(game.y)) << tag;
    }
}

struct MismatchCase {
    const char* name;
    int tag;
    std::uint64_t dim;
    std::size_t rows, cols;
    const char* message;
};

class LengthMismatch : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(LengthMismatch, PanicsBeforeAnythingChanges) {
    const auto& c = GetParam();
    GameState game = GameState::from_matrix(Matrix::zeros(c.rows, c.cols));
    game.a.data[0] = 1.0;
    const GameState game_before = game;
    Optimizer optimizer = make_optimizer(c.tag, 0.3, c.dim);
    const Optimizer optimizer_before = optimizer;
    EXPECT_EQ(panic_message([&] { optimizer.step(game); }), c.message);
    EXPECT_EQ(game.x, game_before.x);
    EXPECT_EQ(game.y, game_before.y);
    EXPECT_EQ(vectors_of(optimizer), vectors_of(optimizer_before));
}

INSTANTIATE_TEST_SUITE_P(
    Optimizers, LengthMismatch,
    ::testing::Values(
        MismatchCase{"ogda_hat_too_long", 0, 3, 2, 2, "shapes [3] and [2] cannot be broadcast together for subtraction"},
        MismatchCase{"ogda_y_hat", 0, 2, 2, 3, "shapes [2] and [3] cannot be broadcast together for subtraction"},
        MismatchCase{"oomd_hat_too_long", 1, 3, 2, 2, "shapes [3] and [2] cannot be broadcast together for multiplication"},
        // Only the hat may stretch in the mirror-descent step, never the gradient.
        MismatchCase{"oomd_gradient_cannot_stretch", 1, 3, 1, 1, "shapes [3] and [1] cannot be broadcast together for multiplication"},
        MismatchCase{"ftrl_sum_y", 2, 2, 2, 3, "shapes [2] and [3] cannot be broadcast together for addition"}),
    case_name);

// What a step that fails part way leaves behind: the strategies it installed and the
// optimizer's vectors.
struct FailedStepCase {
    const char* name;
    int tag;
    Vector a, start_x;
    std::string message;
    Vector x, first, second;
};

class FailedStep : public ::testing::TestWithParam<FailedStepCase> {};

TEST_P(FailedStep, LeavesTheStateItsOrderOfOperationsGives) {
    const auto& c = GetParam();
    GameState game = GameState::from_parts(c.start_x, Vector{0.5, 0.5}, matrix(2, 2, c.a));
    Optimizer optimizer = make_optimizer(c.tag, 0.5, 2);
    EXPECT_EQ(panic_message([&] { optimizer.step(game); }), c.message);
    EXPECT_EQ(game.x, c.x);
    EXPECT_EQ(game.y, (Vector{0.5, 0.5}));
    EXPECT_EQ(vectors_of(optimizer), std::make_pair(c.first, c.second));
}

std::string quoted_nan_pair(const char* player) {
    return std::string(player) +
           " doesn't lie on the simplex: \"v does not belong on the simplex. Last values : [NaN, NaN] "
           "(length 2, stride 1, 1 dimension)\"";
}

// With a = (inf, 0; 0, 0) at the uniform point, grad_x = (inf, 0) is harmless (its exponential
// is 0) while grad_y = (-inf, -0) makes NaN.
const Vector kInfiniteCorner = {kInf, 0.0, 0.0, 0.0};
const Vector kHalves = {0.5, 0.5};

INSTANTIATE_TEST_SUITE_P(
    Optimizers, FailedStep,
    ::testing::Values(
        // NaN reaches y's update only: the failure at y_hat' installs nothing, though x_hat' was formed.
        FailedStepCase{"ogda_installs_nothing", 0, {1, 1, kInf, 1}, {1.0, 0.0}, "NaN encountered", {1.0, 0.0},
                       kHalves, kHalves},
        FailedStepCase{"oomd_keeps_the_new_x", 1, kInfiniteCorner, kHalves, quoted_nan_pair("y"), {0.0, 1.0},
                       kHalves, kHalves},
        FailedStepCase{"oomd_failing_at_x_changes_nothing", 1, {kNaN, 0, 0, 0}, kHalves, quoted_nan_pair("x"),
                       kHalves, kHalves, kHalves},
        FailedStepCase{"ftrl_sums_advance_before_the_checks", 2, kInfiniteCorner, kHalves, quoted_nan_pair("y"),
                       {0.0, 1.0}, {kInf, 0.0}, {-kInf, 0.0}}),
    case_name);

TEST(OmwuOomd, UnderflowKeepsTheHatPositiveAndThePlayZero) {
    GameState game = GameState::from_matrix(matrix(2, 2, {0, 0, 1, 1}));
    Optimizer optimizer = Optimizer::omwuoomd(1000.0, 2);
    optimizer.step(game);
    EXPECT_EQ(game.x, (Vector{1.0, 0.0}));
    const Vector& x_hat = std::get<OmwuOomd>(optimizer.variant).x_hat;
    EXPECT_GT(x_hat[1], 0.0);
    EXPECT_LT(x_hat[1], 1e-15);
}


// The steps' loops in the build's kernels give the plain loops' bits: lengths across the four
// chains' tails, with NaN, infinities, signed zeros and entries spanning the whole range.
TEST(MultiplicativeKernels, GiveThePlainLoopsBits) {
    const Kernels& k = kernels();
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto bits = [](const Vector& v) {
        std::vector<std::uint64_t> out;
        for (double e : v) out.push_back(std::bit_cast<std::uint64_t>(e));
        return out;
    };
    for (std::size_t n = 1; n <= 41; ++n) {
        for (int round = 0; round < 20; ++round) {
            Vector a(n), b(n), hat(n);
            for (std::size_t i = 0; i < n; ++i) {
                a[i] = std::ldexp(unit(gen) - 0.5, static_cast<int>(unit(gen) * 80) - 40);
                b[i] = unit(gen) - 0.5;
                hat[i] = unit(gen) < 0.2 ? 0.0 : unit(gen);
            }
            if (round % 4 == 1) a[gen() % n] = std::numeric_limits<double>::quiet_NaN();
            if (round % 4 == 2) a[gen() % n] = -0.0, hat[gen() % n] = -0.0;
            if (round % 4 == 3) a[gen() % n] = -kInf;
            const double factor = -unit(gen) * 3.0;
            for (const Vector* addend : {static_cast<const Vector*>(nullptr), static_cast<const Vector*>(&b)}) {
                Vector scaled(n), expected(n);
                for (std::size_t i = 0; i < n; ++i) expected[i] = addend ? (a[i] + b[i]) * factor : a[i] * factor;
                const double max = k.scaled_with_max(a.data(), addend ? b.data() : nullptr, n, factor, scaled.data());
                ASSERT_EQ(bits(scaled), bits(expected)) << n;
                ASSERT_EQ(std::bit_cast<std::uint64_t>(max), std::bit_cast<std::uint64_t>(nan_ignoring_max(expected)));
            }
            ASSERT_EQ(std::bit_cast<std::uint64_t>(k.sum_of(b.data(), n)), std::bit_cast<std::uint64_t>(sum_of(b)));
            ASSERT_EQ(std::bit_cast<std::uint64_t>(k.nan_ignoring_min(a.data(), n)),
                      std::bit_cast<std::uint64_t>(nan_ignoring_min(a)));
            for (bool floor : {false, true}) {
                Vector tilted(n), expected(n);
                for (std::size_t i = 0; i < n; ++i) expected[i] = floor ? hat[i] * b[i] + kEps : hat[i] * b[i];
                normalise(expected);
                const EntryFolds folds = k.tilt_and_normalise(b.data(), hat.data(), n, floor, tilted.data());
                ASSERT_EQ(bits(tilted), bits(expected)) << n;
                const auto sum_in_four = [](double x, double sum) { return sum + x; };
                ASSERT_EQ(bits({folds.smallest, folds.sum}),
                          bits({nan_ignoring_min(expected), fold_in_four(expected, 0.0, sum_in_four)}))
                    << n;
            }
        }
    }
}

}  // namespace
}  // namespace quarnel
