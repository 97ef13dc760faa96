#pragma once
// The closed family of optimistic learning rules: OGDA and optimistic multiplicative weights
// in mirror-descent and FTRL form. Dispatch is by variant index, never through a vtable.
#include <concepts>
#include <cstdint>
#include <variant>

#include "core/dense.hpp"
#include "core/game.hpp"
#include "core/simplex.hpp"

namespace quarnel {

// Per-run scratch memory of the steps: buffers grow to the game's size on the first step and
// are reused afterwards, so a run makes no allocation per step.
// New vectors are built in these buffers and then swapped into the game or the optimizer, so
// the replaced buffers come back here for the next step.
struct StepWorkspace {
    Vector grad_x, grad_y;
    Vector work_x, work_y;        // differences, exponentials, sums
    Vector extra_x, extra_y;      // second temporaries (new hats, kept exponentials)
    Vector next_x, next_y;        // the strategies about to be installed
    ProjectionScratch projection_x, projection_y;  // one per player: each keeps its own order

    // grad_x and grad_y at the game's current strategies.
    void compute_gradients(const GameState& game);
};

// Optimistic gradient descent-ascent on the simplex (variant tag 0).
struct Ogda {
    Vector x_hat;
    Vector y_hat;
    double eta = 0.0;

    static Ogda create(double eta, std::uint64_t dim);
    void reset();
    double step(GameState& game, StepWorkspace& ws);
};

// Optimistic multiplicative weights, online-mirror-descent form (variant tag 1).
struct OmwuOomd {
    Vector x_hat;
    Vector y_hat;
    double eta = 0.0;

    static OmwuOomd create(double eta, std::uint64_t dim);
    void reset();
    double step(GameState& game, StepWorkspace& ws);
};

// Optimistic multiplicative weights, follow-the-regularized-leader form (variant tag 2).
struct OmwuOftrl {
    Vector sum_grad_x;
    Vector sum_grad_y;
    double eta = 0.0;

    static OmwuOftrl create(double eta, std::uint64_t dim);
    void reset();
    double step(GameState& game, StepWorkspace& ws);
};

// The interface every learning rule offers: one step on a game, returning the duality gap of
// the strategies the game held before the step, and a reset to the starting vectors.
template <typename T>
concept OptimizerStrategy = requires(T rule, GameState& game, StepWorkspace& ws) {
    { rule.step(game, ws) } -> std::same_as<double>;
    rule.reset();
};

// Variant index == tag: 0 Ogda, 1 OmwuOomd, 2 OmwuOftrl.
using OptimizerEnum = std::variant<Ogda, OmwuOomd, OmwuOftrl>;

struct Optimizer {
    OptimizerEnum variant;

    static Optimizer ogda(double eta, std::uint64_t dim) { return {Ogda::create(eta, dim)}; }
    static Optimizer omwuoomd(double eta, std::uint64_t dim) { return {OmwuOomd::create(eta, dim)}; }
    static Optimizer omwuoftrl(double eta, std::uint64_t dim) { return {OmwuOftrl::create(eta, dim)}; }

    Optimizer clone() const { return *this; }
    void reset();
    double step(GameState& game, StepWorkspace& ws);
    double step(GameState& game);  // with a one-off workspace
};

static_assert(OptimizerStrategy<Ogda> && OptimizerStrategy<OmwuOomd> && OptimizerStrategy<OmwuOftrl> &&
              OptimizerStrategy<Optimizer>);

}  // namespace quarnel
