#pragma once
// The OGDA step on 2 x 2 games in two-lane vectors: lane 0 carries the row player (x and its
// hat), lane 1 the column player (y and its hat), so the two players' projections run as one.
// Every lane performs the general step's operations in the general step's order, so accepted
// results are bit for bit those of the general path. A step that meets anything the general
// step treats specially (NaN or infinite values, a projection whose threshold search would
// need the shifted retry) is declined, and the caller takes it the general way.
#include <cstdint>
#include <limits>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "core/game.hpp"
#include "core/optimizer.hpp"

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

struct OgdaLanes {
    Lanes play;  // x and y
    Lanes hats;  // x_hat and y_hat
};

// The game's entries arranged for the gradient products, and the step size in both lanes.
struct OgdaGame {
    Duo c00, c01, c10, c11;
    Duo eta;
};

inline OgdaGame ogda_game(const GameState& game, double eta) {
    const double* a = game.a.data.data();  // a00 a01 a10 a11
    return {Duo{a[0], a[0]}, Duo{a[1], a[2]}, Duo{a[2], a[1]}, Duo{a[3], a[3]}, Duo{eta, eta}};
}

inline Lanes load(const Vector& x, const Vector& y) { return {Duo{x[0], y[0]}, Duo{x[1], y[1]}}; }

inline void store(const Lanes& lanes, Vector& x, Vector& y) {
    x[0] = lanes.first[0], x[1] = lanes.second[0];
    y[0] = lanes.first[1], y[1] = lanes.second[1];
}

inline OgdaLanes load(const GameState& game, const Ogda& rule) {
    return {load(game.x, game.y), load(rule.x_hat, rule.y_hat)};
}

inline void store(const OgdaLanes& lanes, GameState& game, Ogda& rule) {
    store(lanes.play, game.x, game.y);
    store(lanes.hats, rule.x_hat, rule.y_hat);
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
[[gnu::always_inline]] inline Lanes gradients(const OgdaGame& g, const Lanes& play) {
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

// Per lane, the smaller of the two entries under IEEE totalOrder, the first of equal ones. The
// entries are finite here (a step with a NaN or infinite gradient is declined), where totalOrder
// is the numeric order except that -0.0 precedes 0.0; but the zeros of one gradient all have
// one sign (a sum started from 0.0 that comes to zero is 0.0, its negation -0.0), so the
// numeric minimum is the totalOrder one.
[[gnu::always_inline]] inline Duo total_order_min(const Lanes& v) { return less_else_second(v.second, v.first); }

// One step: hats <- P(hats - eta g), play <- P(hats' - eta g), and the duality gap of the
// strategies the step started from, (-min grad_y) - min grad_x. Returns false, having changed
// nothing, when the step must be taken the general way.
[[gnu::always_inline]] inline bool ogda_step(const OgdaGame& g, Lanes& play, Lanes& hats, double& gap) {
    const Lanes grad = gradients(g, play);
    const Lanes scaled = {g.eta * grad.first, g.eta * grad.second};
    const Projected new_hats = project({hats.first - scaled.first, hats.second - scaled.second});
    const Projected new_play = project({new_hats.point.first - scaled.first, new_hats.point.second - scaled.second});
    if (lane_bits(both(new_hats.usable, new_play.usable)) != kBothLanes) [[unlikely]]
        return false;
    const Duo smallest = total_order_min(grad);
    gap = (-smallest[1]) - smallest[0];
    play = new_play.point, hats = new_hats.point;
    return true;
}

#pragma GCC diagnostic pop

}  // namespace quarnel::two_by_two
