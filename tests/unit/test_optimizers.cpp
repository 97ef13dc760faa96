#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/optimizer.hpp"
#include "core_test_support.hpp"

namespace quarnel {
namespace {

using namespace testing_support;

constexpr double kEps = 2.220446049250313e-16;

Matrix pennies() { return matrix(2, 2, {1.0, -1.0, -1.0, 1.0}); }

GameState uniform_game(Matrix a) { return GameState::from_matrix(std::move(a)); }

// ---- Literal step rules, written out entry by entry in the fixed order of operations. ----

struct Gradients {
    Vector x, y;
};

Gradients literal_gradients(const GameState& g) {
    Gradients out{Vector(g.a.rows, 0.0), Vector(g.a.cols, 0.0)};
    for (std::size_t i = 0; i < g.a.rows; ++i)
        for (std::size_t j = 0; j < g.a.cols; ++j) out.x[i] += g.a(i, j) * g.y[j];
    for (std::size_t j = 0; j < g.a.cols; ++j) {
        double column = 0.0;
        for (std::size_t i = 0; i < g.a.rows; ++i) column += g.a(i, j) * g.x[i];
        out.y[j] = -column;
    }
    return out;
}

Vector normalised(Vector v) {
    double sum = 0.0;
    for (double e : v) sum += e;
    for (double& e : v) e /= sum;
    return v;
}

Vector shifted_exp(const Vector& a) {
    double c = -kInf;
    for (double e : a) c = e > c ? e : c;
    Vector out;
    for (double e : a) out.push_back(std::exp(e - c));
    return out;
}

Vector minus_scaled(const Vector& from, double eta, const Vector& g) {
    Vector out;
    for (std::size_t i = 0; i < g.size(); ++i) out.push_back(from[i] - eta * g[i]);
    return out;
}

double literal_ogda(Ogda& o, GameState& g) {
    const Gradients grad = literal_gradients(g);
    const Vector x_hat = simplex_projection(minus_scaled(o.x_hat, o.eta, grad.x), 1.0);
    const Vector y_hat = simplex_projection(minus_scaled(o.y_hat, o.eta, grad.y), 1.0);
    g.x = simplex_projection(minus_scaled(x_hat, o.eta, grad.x), 1.0);
    g.y = simplex_projection(minus_scaled(y_hat, o.eta, grad.y), 1.0);
    o.x_hat = x_hat;
    o.y_hat = y_hat;
    return GameState::duality_gap(grad.x, grad.y);
}

std::pair<Vector, Vector> literal_omwu_player(const Vector& hat, double eta, const Vector& g) {
    Vector a;
    for (double e : g) a.push_back((-eta) * e);
    const Vector e = shifted_exp(a);
    Vector w;
    for (std::size_t i = 0; i < e.size(); ++i) w.push_back(e[i] * hat[i] + kEps);
    const Vector new_hat = normalised(w);
    Vector v;
    for (std::size_t i = 0; i < e.size(); ++i) v.push_back(new_hat[i] * e[i]);
    return {normalised(v), new_hat};
}

double literal_omwu(OmwuOomd& o, GameState& g) {
    const Gradients grad = literal_gradients(g);
    auto [x, x_hat] = literal_omwu_player(o.x_hat, o.eta, grad.x);
    auto [y, y_hat] = literal_omwu_player(o.y_hat, o.eta, grad.y);
    g.x = x, g.y = y, o.x_hat = x_hat, o.y_hat = y_hat;
    return GameState::duality_gap(grad.x, grad.y);
}

Vector literal_ftrl_player(Vector& sum, double eta, const Vector& g) {
    for (std::size_t i = 0; i < g.size(); ++i) sum[i] = sum[i] + g[i];
    Vector z;
    for (std::size_t i = 0; i < g.size(); ++i) z.push_back((sum[i] + g[i]) * (-eta));
    return normalised(shifted_exp(z));
}

double literal_ftrl(OmwuOftrl& o, GameState& g) {
    const Gradients grad = literal_gradients(g);
    g.x = literal_ftrl_player(o.sum_grad_x, o.eta, grad.x);
    g.y = literal_ftrl_player(o.sum_grad_y, o.eta, grad.y);
    return GameState::duality_gap(grad.x, grad.y);
}

double literal_step(Optimizer& o, GameState& g) {
    return std::visit(
        [&](auto& rule) {
            using Rule = std::decay_t<decltype(rule)>;
            if constexpr (std::is_same_v<Rule, Ogda>) return literal_ogda(rule, g);
            else if constexpr (std::is_same_v<Rule, OmwuOomd>) return literal_omwu(rule, g);
            else return literal_ftrl(rule, g);
        },
        o.variant);
}

// The two vectors of whichever rule the optimizer holds.
std::pair<Vector, Vector> vectors_of(const Optimizer& o) {
    return std::visit(
        [](const auto& rule) {
            const auto& [first, second, eta] = rule;
            return std::pair<Vector, Vector>{first, second};
        },
        o.variant);
}

GameState random_game(std::mt19937_64& gen, std::size_t m, std::size_t n) {
    std::uniform_real_distribution<double> entry(-1.0, 1.0);
    Matrix a = Matrix::zeros(m, n);
    for (double& e : a.data) e = entry(gen);
    Vector x(m), y(n);
    for (double& e : x) e = entry(gen);
    for (double& e : y) e = entry(gen);
    return GameState::from_parts(x, y, std::move(a));
}

Optimizer make(int tag, double eta, std::uint64_t dim) {
    switch (tag) {
        case 0: return Optimizer::ogda(eta, dim);
        case 1: return Optimizer::omwuoomd(eta, dim);
        default: return Optimizer::omwuoftrl(eta, dim);
    }
}

class EveryRule : public ::testing::TestWithParam<int> {};

TEST_P(EveryRule, StepsMatchTheLiteralRuleBitForBit) {
    std::mt19937_64 gen(11 + GetParam());
    const std::size_t shapes[][2] = {{2, 2}, {3, 3}, {5, 5}, {7, 7}};
    for (const auto& shape : shapes) {
        for (double eta : {0.05, 0.3, 2.0}) {
            const std::size_t n = shape[0];
            GameState game = random_game(gen, n, shape[1]);
            GameState expected_game = game;
            Optimizer optimizer = make(GetParam(), eta, n);
            Optimizer expected_optimizer = optimizer;
            StepWorkspace ws;
            for (int step = 0; step < 60; ++step) {
                const double gap = optimizer.step(game, ws);
                ASSERT_EQ(gap, literal_step(expected_optimizer, expected_game)) << "step " << step;
                ASSERT_EQ(game.x, expected_game.x) << "step " << step;
                ASSERT_EQ(game.y, expected_game.y) << "step " << step;
                ASSERT_EQ(vectors_of(optimizer), vectors_of(expected_optimizer)) << "step " << step;
            }
        }
    }
}

TEST_P(EveryRule, MatchingPenniesIsAFixedPoint) {
    GameState game = uniform_game(pennies());
    Optimizer optimizer = make(GetParam(), 0.7, 2);
    for (int step = 0; step < 5; ++step) {
        EXPECT_EQ(optimizer.step(game), 0.0);
        EXPECT_EQ(game.x, (Vector{0.5, 0.5}));
        EXPECT_EQ(game.y, (Vector{0.5, 0.5}));
    }
}

TEST_P(EveryRule, FirstStepReportsTheGapOfTheStartingStrategies) {
    GameState game = GameState::from_parts(Vector{1.0, 0.0}, Vector{0.5, 0.5}, pennies());
    EXPECT_EQ(make(GetParam(), 0.1, 2).step(game), 1.0);
}

TEST_P(EveryRule, LengthOneVectorsStretchToTheGame) {
    GameState game = uniform_game(matrix(2, 3, {1, -2, 0.5, 0, 3, -1}));
    Optimizer optimizer = make(GetParam(), 0.2, 1);
    optimizer.step(game);
    EXPECT_EQ(game.x.size(), 2u);
    EXPECT_EQ(game.y.size(), 3u);
    const auto [first, second] = vectors_of(optimizer);
    EXPECT_EQ(first.size(), 2u);
    EXPECT_EQ(second.size(), 3u);
}

// Each vector comes back at its own length, uniform (zeros for the running sums).
TEST_P(EveryRule, ResetKeepsEachVectorsOwnLength) {
    GameState game = uniform_game(matrix(2, 3, {1, -2, 0.5, 0, 3, -1}));
    Optimizer optimizer = make(GetParam(), 0.2, 1);
    optimizer.step(game);
    optimizer.step(game);
    optimizer.reset();
    const bool sums = GetParam() == 2;
    const auto [first, second] = vectors_of(optimizer);
    EXPECT_EQ(first, sums ? Vector(2, 0.0) : Vector(2, 0.5));
    EXPECT_EQ(second, sums ? Vector(3, 0.0) : Vector(3, 1.0 / 3.0));
}

INSTANTIATE_TEST_SUITE_P(Optimizers, EveryRule, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return std::string(info.param == 0   ? "ogda"
                                                                   : info.param == 1 ? "omwu_oomd"
                                                                                     : "omwu_oftrl"); });

TEST(Optimizers, CreationBuildsStartingVectors) {
    const Ogda ogda = Ogda::create(0.1, 3);
    EXPECT_EQ(ogda.x_hat, Vector(3, 1.0 / 3.0));
    EXPECT_EQ(ogda.y_hat, Vector(3, 1.0 / 3.0));
    EXPECT_EQ(OmwuOomd::create(-1.0, 3).x_hat, Vector(3, 1.0 / 3.0));
    const OmwuOftrl ftrl = OmwuOftrl::create(0.1, 3);
    EXPECT_EQ(ftrl.sum_grad_x, Vector(3, 0.0));
    EXPECT_EQ(ftrl.sum_grad_y, Vector(3, 0.0));
    EXPECT_TRUE(OmwuOftrl::create(0.1, 0).sum_grad_x.empty());
    EXPECT_EQ(panic_message([] { Ogda::create(0.1, 0); }), "Issue computing theta");
    EXPECT_EQ(panic_message([] { Optimizer::omwuoomd(0.1, 0); }), "Issue computing theta");
    EXPECT_TRUE(std::isnan(std::get<Ogda>(Optimizer::ogda(kNaN, 2).variant).eta));
}

TEST(Optimizers, ResetOfAnEmptyHatCarriesTheCheckText) {
    Ogda empty{{}, {}, 0.1};
    EXPECT_EQ(panic_message([&] { empty.reset(); }),
              "v does not belong on the simplex. Last values : [] (length 0, stride 1, 1 dimension)");
}

struct MismatchCase {
    const char* name;
    int tag;
    std::uint64_t dim;
    std::size_t rows, cols;
    const char* message;
};

class LengthMismatch : public ::testing::TestWithParam<MismatchCase> {};

// A mismatch is caught before the game or the optimizer changes.
TEST_P(LengthMismatch, PanicsBeforeAnythingChanges) {
    const auto& c = GetParam();
    GameState game = uniform_game(Matrix::zeros(c.rows, c.cols));
    game.a.data[0] = 1.0;
    const GameState game_before = game;
    Optimizer optimizer = make(c.tag, 0.3, c.dim);
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
    [](const auto& info) { return std::string(info.param.name); });

TEST(Optimizers, StretchingGradientsGrowTheStrategies) {
    // A 1 x 1 game: the length-3 vectors of OGDA and FTRL absorb the single gradient entry.
    for (int tag : {0, 2}) {
        GameState game = uniform_game(matrix(1, 1, {2.0}));
        Optimizer optimizer = make(tag, 0.1, 3);
        optimizer.step(game);
        EXPECT_EQ(game.x.size(), 3u) << tag;
        EXPECT_EQ(game.y.size(), 3u) << tag;
        EXPECT_TRUE(lies_on_simplex(game.x) && lies_on_simplex(game.y)) << tag;
    }
}

TEST(Ogda, ZeroStepSizeReturnsToTheUniformPoint) {
    GameState game = GameState::from_parts(Vector{1.0, 0.0, 0.0}, Vector{0.0, 0.2, 0.8},
                                           matrix(3, 3, {1, 2, 3, -4, 5, 6, 7, -8, 9}));
    const double before = GameState::duality_gap(game.compute_gradient().first, game.compute_gradient().second);
    EXPECT_EQ(Optimizer::ogda(0.0, 3).step(game), before);
    EXPECT_EQ(game.x, Vector(3, 1.0 / 3.0));
    EXPECT_EQ(game.y, Vector(3, 1.0 / 3.0));
}

TEST(Ogda, HugeStepSizeStaysOnTheSimplex) {
    GameState game = uniform_game(matrix(2, 3, {1, -2, 0.5, 0, 3, -1}));
    Optimizer optimizer = Optimizer::ogda(1e300, 2);
    std::get<Ogda>(optimizer.variant).y_hat = Vector(3, 1.0 / 3.0);
    for (int step = 0; step < 10; ++step) {
        optimizer.step(game);
        EXPECT_TRUE(lies_on_simplex(game.x) && lies_on_simplex(game.y)) << step;
    }
}

// An infinite payoff feeds NaN into y's update only: the failure at y_hat' leaves every
// vector as it was, although x_hat' had been formed.
TEST(Ogda, FailureBeforeInstallingChangesNothing) {
    GameState game = GameState::from_parts(Vector{1.0, 0.0}, Vector{0.5, 0.5}, matrix(2, 2, {1, 1, kInf, 1}));
    const GameState before = game;
    Optimizer optimizer = Optimizer::ogda(0.1, 2);
    EXPECT_EQ(panic_message([&] { optimizer.step(game); }), "NaN encountered");
    EXPECT_EQ(game.x, before.x);
    EXPECT_EQ(game.y, before.y);
    EXPECT_EQ(std::get<Ogda>(optimizer.variant).x_hat, (Vector{0.5, 0.5}));
}

// grad_x = (inf, 0) is harmless (its exponential is 0), grad_y = (-inf, -0) makes NaN.
GameState infinite_corner_game() { return uniform_game(matrix(2, 2, {kInf, 0.0, 0.0, 0.0})); }

std::string quoted_failure(const char* context, const char* rendered) {
    return std::string(context) + ": \"v does not belong on the simplex. Last values : " + rendered +
           " (length 2, stride 1, 1 dimension)\"";
}

TEST(OmwuOomd, FailureAtYKeepsTheNewX) {
    GameState game = infinite_corner_game();
    Optimizer optimizer = Optimizer::omwuoomd(0.5, 2);
    EXPECT_EQ(panic_message([&] { optimizer.step(game); }), quoted_failure("y doesn't lie on the simplex", "[NaN, NaN]"));
    EXPECT_EQ(game.x, (Vector{0.0, 1.0}));
    EXPECT_EQ(game.y, (Vector{0.5, 0.5}));
    EXPECT_EQ(std::get<OmwuOomd>(optimizer.variant).x_hat, (Vector{0.5, 0.5}));
    EXPECT_EQ(std::get<OmwuOomd>(optimizer.variant).y_hat, (Vector{0.5, 0.5}));
}

TEST(OmwuOomd, FailureAtXChangesNothing) {
    GameState game = uniform_game(matrix(2, 2, {kNaN, 0.0, 0.0, 0.0}));
    Optimizer optimizer = Optimizer::omwuoomd(0.5, 2);
    EXPECT_EQ(panic_message([&] { optimizer.step(game); }), quoted_failure("x doesn't lie on the simplex", "[NaN, NaN]"));
    EXPECT_EQ(game.x, (Vector{0.5, 0.5}));
    EXPECT_EQ(std::get<OmwuOomd>(optimizer.variant).x_hat, (Vector{0.5, 0.5}));
}

TEST(OmwuOomd, UnderflowKeepsTheHatPositiveAndThePlayZero) {
    GameState game = uniform_game(matrix(2, 2, {0, 0, 1, 1}));
    Optimizer optimizer = Optimizer::omwuoomd(1000.0, 2);
    optimizer.step(game);
    EXPECT_EQ(game.x, (Vector{1.0, 0.0}));
    const Vector& x_hat = std::get<OmwuOomd>(optimizer.variant).x_hat;
    EXPECT_GT(x_hat[1], 0.0);
    EXPECT_LT(x_hat[1], 1e-15);
}

TEST(OmwuOomd, ZeroStepSizeOnlyAddsTheFloor) {
    GameState game = uniform_game(matrix(3, 3, {1, 2, 3, -4, 5, 6, 7, -8, 9}));
    Optimizer optimizer = Optimizer::omwuoomd(0.0, 3);
    std::get<OmwuOomd>(optimizer.variant).x_hat = {0.5, 0.25, 0.25};
    optimizer.step(game);
    const Vector expected = normalised({0.5 + kEps, 0.25 + kEps, 0.25 + kEps});
    EXPECT_EQ(std::get<OmwuOomd>(optimizer.variant).x_hat, expected);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(game.x[i], expected[i], 1e-16);
}

TEST(OmwuOftrl, FirstGradientCountsTwice) {
    GameState game = GameState::from_parts(Vector{0.3, 0.7}, Vector{0.6, 0.4}, matrix(2, 2, {1, -2, 3, 0.5}));
    const auto [gx, gy] = game.compute_gradient();
    Optimizer optimizer = Optimizer::omwuoftrl(0.4, 2);
    optimizer.step(game);
    Vector z;
    for (double g : gx) z.push_back((g + g) * -0.4);
    EXPECT_EQ(game.x, normalised(shifted_exp(z)));
    EXPECT_EQ(std::get<OmwuOftrl>(optimizer.variant).sum_grad_x, gx);
    EXPECT_EQ(std::get<OmwuOftrl>(optimizer.variant).sum_grad_y, gy);
}

TEST(OmwuOftrl, ZeroStepSizePlaysUniformWhileSumsAccumulate) {
    GameState game = uniform_game(matrix(3, 2, {1, 2, 3, -4, 5, 6}));
    Optimizer optimizer = Optimizer::omwuoftrl(0.0, 3);
    std::get<OmwuOftrl>(optimizer.variant).sum_grad_y = Vector(2, 0.0);
    const Vector g = game.compute_gradient().first;
    optimizer.step(game);
    optimizer.step(game);
    EXPECT_EQ(game.x, Vector(3, 1.0 / 3.0));
    EXPECT_EQ(game.y, Vector(2, 0.5));
    EXPECT_EQ(std::get<OmwuOftrl>(optimizer.variant).sum_grad_x, (Vector{g[0] + g[0], g[1] + g[1], g[2] + g[2]}));
}

TEST(OmwuOftrl, SumsAdvanceBeforeTheChecks) {
    GameState game = infinite_corner_game();
    Optimizer optimizer = Optimizer::omwuoftrl(0.5, 2);
    EXPECT_EQ(panic_message([&] { optimizer.step(game); }), quoted_failure("y doesn't lie on the simplex", "[NaN, NaN]"));
    EXPECT_EQ(game.x, (Vector{0.0, 1.0}));
    EXPECT_EQ(game.y, (Vector{0.5, 0.5}));
    const auto& rule = std::get<OmwuOftrl>(optimizer.variant);
    EXPECT_EQ(rule.sum_grad_x, (Vector{kInf, 0.0}));
    EXPECT_EQ(rule.sum_grad_y[0], -kInf);
}

}  // namespace
}  // namespace quarnel
