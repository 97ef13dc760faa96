#pragma once
// The three learning rules on 2 x 2 games in two-lane vectors: lane 0 carries the row player
// (x and the rule's vector for x), lane 1 the column player, so both players' updates run as
// one. Every lane performs the general step's operations in the general step's order, so
// accepted steps are bit for bit those of the general path. A step that meets anything the
// general step treats specially (NaN or infinite values, a projection whose threshold search
// would need the shifted retry, a result off the simplex) is declined, having changed nothing,
// and the caller takes it the general way, which also raises its failure.
#include <cmath>
#include <cstdint>
#include <limits>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "core/exponential.hpp"
#include "core/game.hpp"
#include "core/optimizer.hpp"
#include "core/simplex.hpp"
#include "core/vector_ops.hpp"

namespace quarnel::two_by_two {

// Two doubles: one SSE2 register on x86-64 (plain pairs of doubles elsewhere). Comparisons
// give lane masks of all ones or all zeros.
typedef double Duo __attribute__((vector_size(16)));
typedef std::int64_t DuoMask __attribute__((vector_size(16)));

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// A pair of per-player vectors by entry: first = {entry 0 of x, entry 0 of y}, second = entry 1.
struct Lanes {
    Duo first, second;
};

// The run's state: the strategies and the rule's two vectors (hats or running sums).
struct State {
    Lanes play;
    Lanes rule;
};

// The game's entries arranged for the gradient products, and the step size in both lanes.
struct Game {
    Duo c00, c01, c10, c11;
    Duo eta;
};

// True when the game and the rule's vectors all have the 2 x 2 shapes.
inline bool fits(const GameState& game, const Vector& first, const Vector& second) {
    return game.a.rows == 2 && game.a.cols == 2 && game.x.size() == 2 && game.y.size() == 2 &&
           first.size() == 2 && second.size() == 2;
}

inline Game game_of(const GameState& game, double eta) {
    const double* a = game.a.data.data();  // a00 a01 a10 a11
    return {Duo{a[0], a[0]}, Duo{a[1], a[2]}, Duo{a[2], a[1]}, Duo{a[3], a[3]}, Duo{eta, eta}};
}

inline Lanes load(const Vector& x, const Vector& y) { return {Duo{x[0], y[0]}, Duo{x[1], y[1]}}; }

inline void store(const Lanes& lanes, Vector& x, Vector& y) {
    x[0] = lanes.first[0], x[1] = lanes.second[0];
    y[0] = lanes.first[1], y[1] = lanes.second[1];
}

template <typename Rule>
State load(const GameState& game, const Rule& rule) {
    const auto& [first, second, eta] = rule;
    return {load(game.x, game.y), load(first, second)};
}

template <typename Rule>
void store(const State& s, GameState& game, Rule& rule) {
    auto& [first, second, eta] = rule;
    store(s.play, game.x, game.y);
    store(s.rule, first, second);
}

// Per lane a > b ? a : b, and a < b ? a : b: exactly the rules of the SSE2 max and min
// instructions (NaN or equal lanes give b).
[[gnu::always_inline]] inline Duo greater_else_second(Duo a, Duo b) {
#ifdef __SSE2__
    return (Duo)_mm_max_pd((__m128d)a, (__m128d)b);
#else
    return a > b ? a : b;
#endif
}

[[gnu::always_inline]] inline Duo less_else_second(Duo a, Duo b) {
#ifdef __SSE2__
    return (Duo)_mm_min_pd((__m128d)a, (__m128d)b);
#else
    return a < b ? a : b;
#endif
}

// Lane masks set in both. (GCC spells `a & b` of two comparisons out lane by lane.)
[[gnu::always_inline]] inline DuoMask both(DuoMask a, DuoMask b) {
#ifdef __SSE2__
    return (DuoMask)_mm_and_pd((__m128d)a, (__m128d)b);
#else
    return a & b;
#endif
}

// Bit i set when lane i of the mask is.
[[gnu::always_inline]] inline int lane_bits(DuoMask mask) {
#ifdef __SSE2__
    return _mm_movemask_pd((__m128d)mask);
#else
    return static_cast<int>((mask[0] & 1) | (mask[1] & 2));
#endif
}

constexpr int kBothLanes = 3;

[[gnu::always_inline]] inline Duo swapped(Duo v) { return __builtin_shufflevector(v, v, 1, 0); }

// {g, h} -> {g, -h}: the column player's gradient is the negated column sum.
[[gnu::always_inline]] inline Duo negate_lane_1(Duo v) {
    constexpr DuoMask kSignOfLane1 = {0, std::numeric_limits<std::int64_t>::min()};
    return reinterpret_cast<Duo>(reinterpret_cast<DuoMask>(v) ^ kSignOfLane1);
}

// grad_x = a y and grad_y = -(a^T x), each entry a dot product from 0.0 in index order:
// first = {(0 + a00 y0) + a01 y1, -((0 + a00 x0) + a10 x1)}, second likewise for entry 1.
[[gnu::always_inline]] inline Lanes gradients(const Game& g, const Lanes& play) {
    const Duo zero = {0.0, 0.0};
    const Duo s0 = swapped(play.first), s1 = swapped(play.second);  // {y0, x0}, {y1, x1}
    return {negate_lane_1((zero + g.c00 * s0) + g.c01 * s1), negate_lane_1((zero + g.c10 * s0) + g.c11 * s1)};
}

// mask ? a : b per lane. The lanes mostly agree, and keep agreeing from step to step: a
// predicted branch then takes the selection off the step's chain of dependent operations.
[[gnu::always_inline]] inline Duo select(DuoMask mask, Duo a, Duo b) {
    const int bits = lane_bits(mask);
    if (bits == kBothLanes) [[likely]]
        return a;
    if (bits == 0) return b;
    return mask ? a : b;
}

struct Projected {
    Lanes point;
    DuoMask usable;  // per lane: the general projection would take this very threshold
};

// Both lanes' projections onto the simplex by the two-entry threshold scan. The general scan
// starts its running sum from 0.0 and divides by 1 and 2; dropping the 0.0 changes at most the
// sign of a zero that the following "- 1" absorbs, and x / 2 equals x * 0.5 exactly. A lane
// is usable when the first entry lies above its threshold (then some threshold is found) and
// the sum is finite (which rules out NaN and infinite entries, and with them any overflow).
[[gnu::always_inline]] inline Projected project(const Lanes& p) {
    const Duo zero = {0.0, 0.0};
    const Duo high = greater_else_second(p.second, p.first);  // the general scan's order
    const Duo low = less_else_second(p.first, p.second);
    const Duo t1 = high - 1.0;
    const Duo sum = high + low;
    const Duo t2 = (sum - 1.0) * 0.5;
    const Duo theta = select(low > t2, t2, t1);
    const Duo d0 = p.first - theta, d1 = p.second - theta;
    constexpr DuoMask kMagnitude = {std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max()};
    const Duo magnitude = reinterpret_cast<Duo>(reinterpret_cast<DuoMask>(sum) & kMagnitude);
    return {{greater_else_second(d0, zero), greater_else_second(d1, zero)},
            both(high > t1, magnitude <= std::numeric_limits<double>::max())};
}

// Per lane, the smaller of the two entries under IEEE totalOrder, the first of equal ones. No
// entry is NaN here (NaN in a gradient reaches the step's results, and the step is declined),
// and without NaN totalOrder is the numeric order except that -0.0 precedes 0.0; but the zeros
// of one gradient all have one sign (a sum started from 0.0 that comes to zero is 0.0, its
// negation -0.0), so the numeric minimum is the totalOrder one.
[[gnu::always_inline]] inline Duo total_order_min(const Lanes& v) { return less_else_second(v.second, v.first); }

// The duality gap of the strategies the gradients were taken at: (-min grad_y) - min grad_x.
[[gnu::always_inline]] inline double duality_gap(const Lanes& grad) {
    const Duo smallest = total_order_min(grad);
    return (-smallest[1]) - smallest[0];
}

// OGDA: hats <- P(hats - eta g), play <- P(hats' - eta g).
[[gnu::always_inline]] inline bool step(const Ogda&, const Game& g, State& s, double& gap) {
    const Lanes grad = gradients(g, s.play);
    const Lanes scaled = {g.eta * grad.first, g.eta * grad.second};
    const Projected hats = project({s.rule.first - scaled.first, s.rule.second - scaled.second});
    const Projected play = project({hats.point.first - scaled.first, hats.point.second - scaled.second});
    if (lane_bits(both(hats.usable, play.usable)) != kBothLanes) [[unlikely]]
        return false;
    gap = duality_gap(grad);
    s = {play.point, hats.point};
    return true;
}

// The multiplicative rules take each player's update in plain doubles: the two players' chains
// of exp, divisions and products then overlap.
struct Pair {
    double first, second;
};

inline Pair lane(const Lanes& lanes, int i) { return {lanes.first[i], lanes.second[i]}; }

inline Lanes join(Pair x, Pair y) { return {Duo{x.first, y.first}, Duo{x.second, y.second}}; }

// exp(p - max(p)), the maximum ignoring NaN. The larger entry's exponent is 0 (exp gives 1) or
// NaN (exp gives NaN), and adding 1 reproduces both, so only one exp is evaluated. Where one
// entry is the larger, the maximum is that entry: the exponent needs no maximum computed first.
inline Pair exp_shifted(Pair p) {
    if (p.second > p.first) return {exponential(p.first - p.second), (p.second - p.second) + 1.0};
    if (p.first > p.second) return {(p.first - p.first) + 1.0, exponential(p.second - p.first)};
    const double lowest = -std::numeric_limits<double>::infinity();
    const double c0 = p.first > lowest ? p.first : lowest;
    const double c = p.second > c0 ? p.second : c0;
    return {(p.first - c) + 1.0, exponential(p.second - c)};
}

// Each entry over the sum. The general sum starts from 0.0; without it the sum differs only
// when both entries are -0.0, and then both quotients are the default NaN either way.
inline Pair normalised(Pair p) {
    const double sum = p.first + p.second;
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

// One player's FTRL update: the advanced running sum and the softmax of the prediction.
inline bool ftrl_player(Pair sum, double eta, Pair g, Pair& new_sum, Pair& play) {
    const double factor = -eta;
    new_sum = {sum.first + g.first, sum.second + g.second};
    play = normalised(exp_shifted({(new_sum.first + g.first) * factor, (new_sum.second + g.second) * factor}));
    return on_simplex(play);
}

// A multiplicative rule's step through `player`, which updates one player's vector and play.
template <typename Player>
[[gnu::always_inline]] inline bool multiplicative_step(Player player, const Game& g, State& s, double& gap) {
    const Lanes grad = gradients(g, s.play);
    Pair x_vector, x, y_vector, y;
    if (!(player(lane(s.rule, 0), g.eta[0], lane(grad, 0), x_vector, x) &&
          player(lane(s.rule, 1), g.eta[1], lane(grad, 1), y_vector, y)))
        return false;
    gap = duality_gap(grad);
    s = {join(x, y), join(x_vector, y_vector)};
    return true;
}

inline bool step(const OmwuOomd&, const Game& g, State& s, double& gap) {
    return multiplicative_step(omwu_player, g, s, gap);
}

inline bool step(const OmwuOftrl&, const Game& g, State& s, double& gap) {
    return multiplicative_step(ftrl_player, g, s, gap);
}

#pragma GCC diagnostic pop

}  // namespace quarnel::two_by_two
