#include "core/lane_block.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <tuple>
#include <variant>

#include "core/instruction_sets.hpp"
#include "core/panic.hpp"
#include "core/simplex.hpp"
#include "core/vector_ops.hpp"

namespace quarnel {

namespace {

#pragma GCC diagnostic ignored "-Wpsabi"

using exponential_detail::splat;
using LaneBits = exponential_detail::OctetBits;
typedef std::int64_t LaneKeys __attribute__((vector_size(64)));

// The helpers are always inlined, so each build of a step compiles them for its own
// instruction set (no lane vector crosses a call). Each mirrors one scalar helper of the steps
// and names it.

// The lanes whose bits are clear in `passed`, as bits of a mask.
[[gnu::always_inline]] inline unsigned failed_lanes(LaneBits passed) {
    unsigned failed = 0;
    for (std::size_t t = 0; t < kLaneCount; ++t) failed |= passed[t] == 0 ? 1u << t : 0u;
    return failed;
}

// matrix_vector_products: grad_x = a y, row by row (rows shorter than eight entries summed in
// order from 0.0, longer ones in eight partial sums by column modulo eight, added up as
// ((p0+p4) + (p1+p5)) + ((p2+p6) + (p3+p7)), then plus the leftover entries summed in order
// from 0.0); grad_y = -(a^T x), each column summed in row order from 0.0.
//
// Rows i .. i + Rows - 1 in one pass over their entries, so each column's running sum is read
// and written once per block of rows.
template <std::size_t Rows, bool kShortRows>
[[gnu::always_inline]] inline void lane_gradient_rows(LaneArrays& s, std::size_t i) {
    const std::size_t n = s.n, whole = kShortRows ? 0 : n - n % 8;
    const LaneValues* a = &s.a[i * n];
    LaneValues partial[Rows][kShortRows ? 1 : 8], rest[Rows], weight[Rows];
    for (std::size_t r = 0; r < Rows; ++r) {
        for (LaneValues& p : partial[r]) p = splat<LaneValues>(0.0);
        rest[r] = splat<LaneValues>(0.0);
        weight[r] = s.x[i + r];
    }
    for (std::size_t j = 0; j < whole; j += 8) {
        for (std::size_t l = 0; l < (kShortRows ? 0 : 8); ++l) {
            const LaneValues y = s.y[j + l];
            LaneValues column = s.grad_y[j + l];
            for (std::size_t r = 0; r < Rows; ++r) {
                const LaneValues entry = a[r * n + j + l];
                partial[r][l] += entry * y;
                column += entry * weight[r];
            }
            s.grad_y[j + l] = column;
        }
    }
    for (std::size_t j = whole; j < n; ++j) {
        const LaneValues y = s.y[j];
        LaneValues column = s.grad_y[j];
        for (std::size_t r = 0; r < Rows; ++r) {
            const LaneValues entry = a[r * n + j];
            rest[r] += entry * y;
            column += entry * weight[r];
        }
        s.grad_y[j] = column;
    }
    for (std::size_t r = 0; r < Rows; ++r) {
        if constexpr (kShortRows) {
            s.grad_x[i + r] = rest[r];
        } else {
            const LaneValues* p = partial[r];
            s.grad_x[i + r] = (((p[0] + p[4]) + (p[1] + p[5])) + ((p[2] + p[6]) + (p[3] + p[7]))) + rest[r];
        }
    }
}

template <bool kShortRows>
[[gnu::always_inline]] inline void lane_gradients(LaneArrays& s) {
    // As many rows a block as keep their partial sums in registers.
    constexpr std::size_t kBlock = kShortRows ? 4 : 2;
    for (std::size_t j = 0; j < s.n; ++j) s.grad_y[j] = splat<LaneValues>(0.0);
    std::size_t i = 0;
    for (; i + kBlock <= s.m; i += kBlock) lane_gradient_rows<kBlock, kShortRows>(s, i);
    for (; i < s.m; ++i) lane_gradient_rows<1, kShortRows>(s, i);
    for (std::size_t j = 0; j < s.n; ++j) s.grad_y[j] = -s.grad_y[j];
}

[[gnu::always_inline]] inline void lane_gradients(LaneArrays& s) {
    if (s.n < 8) lane_gradients<true>(s);
    else lane_gradients<false>(s);
}

// The combinations of the folds, named (lambdas would be functions of the baseline build, and
// a lane vector must not cross into one).
struct LargerOf {
    [[gnu::always_inline]] LaneValues operator()(LaneValues x, LaneValues largest) const {
        return x > largest ? x : largest;
    }
};
struct PlusOf {
    [[gnu::always_inline]] LaneValues operator()(LaneValues x, LaneValues total) const { return total + x; }
};

// fold_in_four's order: four interleaved partial results, the leftovers into the first, then
// (p0 . p1) . (p2 . p3).
template <typename Combine>
[[gnu::always_inline]] inline LaneValues lane_fold_in_four(const LaneVector& v, std::size_t length, double start,
                                                         Combine combine) {
    LaneValues partial[4];
    for (LaneValues& p : partial) p = splat<LaneValues>(start);
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4)
        for (std::size_t l = 0; l < 4; ++l) partial[l] = combine(v[i + l], partial[l]);
    for (; i < length; ++i) partial[0] = combine(v[i], partial[0]);
    return combine(combine(partial[1], partial[0]), combine(partial[3], partial[2]));
}

// exp_shifted_in_place: v <- exp(v - max(v)), the maximum passing over NaN. The differences
// are <= 0 or NaN; when every one is above -kShortFormLimit, the short form of the exponential
// gives the same values for less work.
[[gnu::always_inline]] inline void lane_exp_shifted(LaneVector& v, std::size_t length) {
    using exponential_detail::exp_lanes, exponential_detail::kShortFormLimit;
    const LaneValues largest = lane_fold_in_four(v, length, -std::numeric_limits<double>::infinity(), LargerOf{});
    LaneBits short_form = splat<LaneBits>(~std::uint64_t{0});
    for (std::size_t i = 0; i < length; ++i) {
        v[i] -= largest;
        short_form &= std::bit_cast<LaneBits>(v[i] > -kShortFormLimit);
    }
    if (failed_lanes(short_form) == 0) {
        for (std::size_t i = 0; i < length; ++i) v[i] = exp_lanes<LaneValues, LaneBits, false>(v[i]);
    } else {
        for (std::size_t i = 0; i < length; ++i) v[i] = exp_lanes<LaneValues, LaneBits, true>(v[i]);
    }
}

// normalise: every entry divided by sum_of the entries.
[[gnu::always_inline]] inline void lane_normalise(LaneVector& v, std::size_t length) {
    LaneValues sum;
    if (length < 8) {
        sum = splat<LaneValues>(0.0);
        for (std::size_t i = 0; i < length; ++i) sum += v[i];
    } else {
        sum = lane_fold_in_four(v, length, 0.0, PlusOf{});
    }
    for (std::size_t i = 0; i < length; ++i) v[i] /= sum;
}

// lies_on_simplex, whose verdict is that of the index-order sum from -0.0: lanes that pass
// are all ones.
[[gnu::always_inline]] inline LaneBits lane_on_simplex(const LaneVector& v, std::size_t length) {
    LaneValues sum = splat<LaneValues>(-0.0);
    LaneBits non_negative = splat<LaneBits>(~std::uint64_t{0});
    for (std::size_t i = 0; i < length; ++i) {
        sum += v[i];
        non_negative &= std::bit_cast<LaneBits>(v[i] >= 0.0);
    }
    const LaneValues distance = std::bit_cast<LaneValues>(std::bit_cast<LaneBits>(sum - 1.0) & ~(std::uint64_t{1} << 63));
    return non_negative & std::bit_cast<LaneBits>(distance < kSimplexTolerance);
}

// IEEE totalOrder as signed integer order (total_order_key), its own inverse.
[[gnu::always_inline]] inline LaneKeys total_order_keys(LaneKeys bits) {
    return bits ^ std::bit_cast<LaneKeys>(std::bit_cast<LaneBits>(bits >> 63) >> 1);
}

// total_order_min: the smallest entry under totalOrder, a single value whatever the order.
[[gnu::always_inline]] inline LaneValues lane_total_order_min(const LaneVector& v, std::size_t length) {
    LaneKeys smallest = total_order_keys(std::bit_cast<LaneKeys>(v[0]));
    for (std::size_t i = 1; i < length; ++i) {
        const LaneKeys key = total_order_keys(std::bit_cast<LaneKeys>(v[i]));
        smallest = key < smallest ? key : smallest;
    }
    return std::bit_cast<LaneValues>(total_order_keys(smallest));
}

// GameState::duality_gap of each lane's gradients.
[[gnu::always_inline]] inline void lane_duality_gaps(const LaneArrays& s, double (&gaps)[kLaneCount]) {
    const LaneValues gap = (-lane_total_order_min(s.grad_y, s.n)) - lane_total_order_min(s.grad_x, s.m);
    for (std::size_t t = 0; t < kLaneCount; ++t) gaps[t] = gap[t];
}

// target <- candidate in the lanes that were not declined; the declined keep their values.
[[gnu::always_inline]] inline void install(LaneVector& target, LaneVector& candidate, unsigned declined) {
    if (declined == 0) {
        swap(target, candidate);
        return;
    }
    LaneBits keep;
    for (std::size_t t = 0; t < kLaneCount; ++t) keep[t] = (declined >> t) & 1u ? ~std::uint64_t{0} : 0;
    for (std::size_t i = 0; i < target.size(); ++i)
        target[i] = std::bit_cast<LaneValues>((std::bit_cast<LaneBits>(target[i]) & keep) |
                                              (std::bit_cast<LaneBits>(candidate[i]) & ~keep));
}

// One player's half of a mirror-descent step (OmwuOomd::step): e = exp-shifted(-eta g),
// hat' = normalise(e hat + 2^-52), strategy' = normalise(e hat'); the lanes where both lie on
// the simplex.
[[gnu::always_inline]] inline LaneBits tilt_player(const LaneVector& grad, const LaneVector& hat, LaneValues factor,
                                                   LaneVector& e, LaneVector& next_hat, LaneVector& next) {
    const std::size_t length = grad.size();
    for (std::size_t i = 0; i < length; ++i) e[i] = factor * grad[i];
    lane_exp_shifted(e, length);
    for (std::size_t i = 0; i < length; ++i) next_hat[i] = e[i] * hat[i] + kMachineEpsilon;
    lane_normalise(next_hat, length);
    for (std::size_t i = 0; i < length; ++i) next[i] = e[i] * next_hat[i];
    lane_normalise(next, length);
    return lane_on_simplex(next, length) & lane_on_simplex(next_hat, length);
}

// One player's half of an FTRL step (OmwuOftrl::step): sum' = sum + g, strategy' =
// normalise(exp-shifted(-eta (sum' + g))); the lanes where it lies on the simplex.
[[gnu::always_inline]] inline LaneBits softmax_player(const LaneVector& grad, const LaneVector& sum, LaneValues factor,
                                                      LaneVector& next_sum, LaneVector& next) {
    const std::size_t length = grad.size();
    for (std::size_t i = 0; i < length; ++i) {
        next_sum[i] = sum[i] + grad[i];
        next[i] = (next_sum[i] + grad[i]) * factor;
    }
    lane_exp_shifted(next, length);
    lane_normalise(next, length);
    return lane_on_simplex(next, length);
}

// Installs the candidates of the lanes that passed and returns the declined ones.
[[gnu::always_inline]] inline unsigned install_passed(LaneArrays& s, LaneBits passed) {
    const unsigned declined = failed_lanes(passed);
    install(s.x, s.next_x, declined);
    install(s.y, s.next_y, declined);
    install(s.first, s.next_first, declined);
    install(s.second, s.next_second, declined);
    return declined;
}

QUARNEL_INSTRUCTION_SET_CLONES unsigned step_mirror_descent(LaneArrays& s, double (&gaps)[kLaneCount]) {
    lane_gradients(s);
    const LaneValues factor = splat<LaneValues>(-s.eta);
    const LaneBits passed = tilt_player(s.grad_x, s.first, factor, s.work_x, s.next_first, s.next_x) &
                            tilt_player(s.grad_y, s.second, factor, s.work_y, s.next_second, s.next_y);
    const unsigned declined = install_passed(s, passed);
    lane_duality_gaps(s, gaps);
    return declined;
}

QUARNEL_INSTRUCTION_SET_CLONES unsigned step_ftrl(LaneArrays& s, double (&gaps)[kLaneCount]) {
    lane_gradients(s);
    const LaneValues factor = splat<LaneValues>(-s.eta);
    const LaneBits passed = softmax_player(s.grad_x, s.first, factor, s.next_first, s.next_x) &
                            softmax_player(s.grad_y, s.second, factor, s.next_second, s.next_y);
    const unsigned declined = install_passed(s, passed);
    lane_duality_gaps(s, gaps);
    return declined;
}

// The rule's two vectors and step size, for the two multiplicative rules.
struct RuleVectors {
    template <typename Rule>
    std::tuple<const Vector*, const Vector*, double> operator()(const Rule& rule) const {
        const auto& [first, second, eta] = rule;
        return {&first, &second, eta};
    }
};

void put_lane(LaneVector& lanes, std::size_t lane, std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) lanes[i][lane] = values[i];
}

void take_lane(const LaneVector& lanes, std::size_t lane, std::span<double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = lanes[i][lane];
}

}  // namespace

bool LaneBlock::accepts(const GameState& state, const Optimizer& optimizer) {
    if (std::holds_alternative<Ogda>(optimizer.variant)) return false;
    const auto [first, second, eta] = std::visit(RuleVectors{}, optimizer.variant);
    return state.a.rows > 0 && state.a.cols > 0 && state.x.size() == state.a.rows && state.y.size() == state.a.cols &&
           first->size() == state.a.rows && second->size() == state.a.cols;
}

LaneBlock::LaneBlock(const GameState& example, const Optimizer& optimizer) : rule_index_(optimizer.variant.index()) {
    if (!accepts(example, optimizer)) panic("these runs cannot be stepped in lanes");
    const std::size_t m = example.a.rows, n = example.a.cols;
    arrays_.m = m, arrays_.n = n;
    arrays_.eta = std::get<2>(std::visit(RuleVectors{}, optimizer.variant));
    arrays_.a.resize(checked_product(m, n));
    for (auto* rows : {&arrays_.x, &arrays_.first, &arrays_.grad_x, &arrays_.work_x, &arrays_.next_x, &arrays_.next_first})
        rows->resize(m);
    for (auto* cols : {&arrays_.y, &arrays_.second, &arrays_.grad_y, &arrays_.work_y, &arrays_.next_y, &arrays_.next_second})
        cols->resize(n);
    for (std::size_t lane = 0; lane < kLaneCount; ++lane) load(lane, example, optimizer);
}

void LaneBlock::load(std::size_t lane, const GameState& state, const Optimizer& optimizer) {
    const auto [first, second, eta] = std::visit(RuleVectors{}, optimizer.variant);
    if (optimizer.variant.index() != rule_index_ || !(eta == arrays_.eta) || !accepts(state, optimizer) ||
        state.a.rows != arrays_.m || state.a.cols != arrays_.n)
        panic("a run that does not fit the block's lanes");
    put_lane(arrays_.a, lane, state.a.data);
    put_lane(arrays_.x, lane, state.x);
    put_lane(arrays_.y, lane, state.y);
    put_lane(arrays_.first, lane, *first);
    put_lane(arrays_.second, lane, *second);
}

void LaneBlock::store(std::size_t lane, GameState& state, Optimizer& optimizer) const {
    std::visit(
        [&](auto& rule) {
            auto& [first, second, eta] = rule;
            take_lane(arrays_.x, lane, state.x);
            take_lane(arrays_.y, lane, state.y);
            take_lane(arrays_.first, lane, first);
            take_lane(arrays_.second, lane, second);
        },
        optimizer.variant);
}

unsigned LaneBlock::step(double (&gaps)[kLaneCount]) {
    return rule_index_ == 1 ? step_mirror_descent(arrays_, gaps) : step_ftrl(arrays_, gaps);
}

}  // namespace quarnel
