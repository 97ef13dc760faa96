#pragma once
// The three learning rules on 2 x 2 games with everything held in plain doubles, for the
// convergence run's fast path. Each step performs the very operations of the general step in
// the same order, so results are bit for bit those of the general path. A step reports false,
// having changed nothing, when it meets anything the general step treats specially (NaN or
// infinite values, a projection whose threshold search needs the shifted retry, a result off
// the simplex); the caller then takes that step the general way, which also raises its failure.
#include <bit>
#include <cmath>
#include <cstdint>

#include "core/optimizer.hpp"
#include "core/simplex.hpp"
#include "core/vector_ops.hpp"

namespace quarnel::two_by_two {

struct Pair {
    double first, second;
};

// A 2 x 2 game, its strategies and the optimizer's two vectors (hats or running sums).
struct State {
    double a00, a01, a10, a11;
    Pair x, y;
    Pair u, v;  // the optimizer's first and second vector
    double eta;
};

// True when the game and the optimizer's vectors all have the 2 x 2 shapes.
inline bool fits(const GameState& game, const Vector& first, const Vector& second) {
    return game.a.rows == 2 && game.a.cols == 2 && game.x.size() == 2 && game.y.size() == 2 &&
           first.size() == 2 && second.size() == 2;
}

inline Pair load(const Vector& v) { return {v[0], v[1]}; }

inline void store(Pair p, Vector& v) {
    v[0] = p.first;
    v[1] = p.second;
}

template <typename Rule>
State load(const GameState& game, const Rule& rule) {
    const auto& [first, second, eta] = rule;
    const double* a = game.a.data.data();
    return {a[0], a[1], a[2], a[3], load(game.x), load(game.y), load(first), load(second), eta};
}

template <typename Rule>
void store(const State& s, GameState& game, Rule& rule) {
    auto& [first, second, eta] = rule;
    store(s.x, game.x);
    store(s.y, game.y);
    store(s.u, first);
    store(s.v, second);
}

struct Gradients {
    Pair gx, gy;
};

// The general gradient's operations: dot products from 0.0, the column sums negated last.
inline Gradients gradients(const State& s) {
    return {{(0.0 + s.a00 * s.y.first) + s.a01 * s.y.second, (0.0 + s.a10 * s.y.first) + s.a11 * s.y.second},
            {-((0.0 + s.a00 * s.x.first) + s.a10 * s.x.second), -((0.0 + s.a01 * s.x.first) + s.a11 * s.x.second)}};
}

// The smaller entry under IEEE totalOrder, the first of equal ones.
inline double total_order_min(Pair p) {
    const auto key = [](double value) {
        const auto bits = std::bit_cast<std::int64_t>(value);
        return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
    };
    return key(p.second) < key(p.first) ? p.second : p.first;
}

inline double duality_gap(const Gradients& g) { return (-total_order_min(g.gy)) - total_order_min(g.gx); }

// exp(p - max(p)), the maximum ignoring NaN. The larger entry's exponent is 0 (exp gives 1)
// or NaN (exp gives NaN), and adding 1 reproduces both, so only one exp is evaluated.
inline Pair exp_shifted(Pair p) {
    const double lowest = -std::numeric_limits<double>::infinity();
    const double c0 = p.first > lowest ? p.first : lowest;
    const double c = p.second > c0 ? p.second : c0;
    if (p.second > p.first) return {std::exp(p.first - c), (p.second - c) + 1.0};
    return {(p.first - c) + 1.0, std::exp(p.second - c)};
}

inline Pair normalised(Pair p) {
    const double sum = (0.0 + p.first) + p.second;
    return {p.first / sum, p.second / sum};
}

// The simplex membership check: both entries >= 0 and the sum from -0.0 within tolerance.
inline bool on_simplex(Pair p) {
    const double sum = (-0.0 + p.first) + p.second;
    return p.first >= 0.0 && p.second >= 0.0 && std::fabs(sum - 1.0) < kSimplexTolerance;
}

// One player's mirror-descent update: the new hat (tilted, floored, normalised) and the play.
inline bool omwu_player(Pair hat, double eta, Pair g, Pair& new_hat, Pair& play) {
    const double factor = -eta;
    const Pair e = exp_shifted({factor * g.first, factor * g.second});
    new_hat = normalised({e.first * hat.first + kMachineEpsilon, e.second * hat.second + kMachineEpsilon});
    play = normalised({e.first * new_hat.first, e.second * new_hat.second});
    return on_simplex(new_hat) && on_simplex(play);
}

inline bool omwu_oomd_step(State& s, double& gap) {
    const Gradients g = gradients(s);
    Pair u, v, x, y;
    if (!(omwu_player(s.u, s.eta, g.gx, u, x) && omwu_player(s.v, s.eta, g.gy, v, y))) return false;
    s.x = x, s.y = y, s.u = u, s.v = v;
    gap = duality_gap(g);
    return true;
}

// One player's FTRL update: the advanced running sum and the softmax of the prediction.
inline bool ftrl_player(Pair sum, double eta, Pair g, Pair& new_sum, Pair& play) {
    const double factor = -eta;
    new_sum = {sum.first + g.first, sum.second + g.second};
    play = normalised(exp_shifted({(new_sum.first + g.first) * factor, (new_sum.second + g.second) * factor}));
    return on_simplex(play);
}

inline bool omwu_oftrl_step(State& s, double& gap) {
    const Gradients g = gradients(s);
    Pair u, v, x, y;
    if (!(ftrl_player(s.u, s.eta, g.gx, u, x) && ftrl_player(s.v, s.eta, g.gy, v, y))) return false;
    s.x = x, s.y = y, s.u = u, s.v = v;
    gap = duality_gap(g);
    return true;
}

inline bool step(const OmwuOomd&, State& s, double& gap) { return omwu_oomd_step(s, gap); }
inline bool step(const OmwuOftrl&, State& s, double& gap) { return omwu_oftrl_step(s, gap); }

}  // namespace quarnel::two_by_two
