// The lane step: one step of every lane of a block (core/lane_block.hpp), each lane repeating
// its run's own operations in order.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>
#if defined(__SSE2__)
// (GCC 12's AVX-512 max and min start from an undefined register, which it then warns about.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

#include "core/exponential.hpp"
#include "core/kernels/build.hpp"
#include "core/lane_block.hpp"
#include "core/run.hpp"
#include "core/simplex.hpp"
#include "core/vector_ops.hpp"

namespace quarnel::QUARNEL_KERNELS {

namespace {

#pragma GCC diagnostic ignored "-Wpsabi"

using exponential_detail::splat;
using LaneValues = Doubles;
using LaneBits = Bits;
using LaneVector = Doubles*;
using Arrays = LaneArraysOf<Doubles>;

// The helpers are always inlined, so each build of a step compiles them for its own
// instruction set (no lane vector crosses a call). Each mirrors one scalar helper of the steps
// and names it.

// The lanes whose bits are set (all ones or all zeros per lane), as bits of a mask: each
// lane's bit picked out, then the lanes or-ed together in halves (a few instructions, where
// lane-by-lane extraction takes a score).
template <typename B>
[[gnu::always_inline]] inline unsigned set_lanes(B bits) {
    constexpr std::size_t Width = sizeof(B) / sizeof(std::uint64_t);
    // Where the instruction set has one, the instruction that gathers the lanes' top bits.
#if defined(__AVX512F__)
    if constexpr (Width == 8) return _mm512_test_epi64_mask(reinterpret_cast<__m512i>(bits), reinterpret_cast<__m512i>(bits));
#elif defined(__AVX__)
    if constexpr (Width == 4) return static_cast<unsigned>(_mm256_movemask_pd(reinterpret_cast<__m256d>(bits)));
#elif defined(__SSE2__)
    if constexpr (Width == 2) return static_cast<unsigned>(_mm_movemask_pd(reinterpret_cast<__m128d>(bits)));
#endif
    B weights;
    for (std::size_t t = 0; t < Width; ++t) weights[t] = std::uint64_t{1} << t;
    const B picked = bits & weights;
    typedef std::uint64_t QuarterBits __attribute__((vector_size(16)));
    QuarterBits quarter;
    if constexpr (Width == 8) {
        typedef std::uint64_t HalfBits __attribute__((vector_size(32)));
        const HalfBits half = __builtin_shufflevector(picked, picked, 0, 1, 2, 3) |
                              __builtin_shufflevector(picked, picked, 4, 5, 6, 7);
        quarter = __builtin_shufflevector(half, half, 0, 1) | __builtin_shufflevector(half, half, 2, 3);
    } else if constexpr (Width == 4) {
        quarter = __builtin_shufflevector(picked, picked, 0, 1) | __builtin_shufflevector(picked, picked, 2, 3);
    } else {
        quarter = picked;
    }
    return static_cast<unsigned>(quarter[0] | quarter[1]);
}

// The lanes whose bits are clear in `passed`.
[[gnu::always_inline]] inline unsigned failed_lanes(LaneBits passed) { return set_lanes(~passed); }

// Per lane: if_set where the mask's lane is all ones, otherwise where it is all zeros.
[[gnu::always_inline]] inline LaneValues lane_select(LaneBits mask, LaneValues if_set, LaneValues otherwise) {
    return std::bit_cast<LaneValues>((std::bit_cast<LaneBits>(if_set) & mask) | (std::bit_cast<LaneBits>(otherwise) & ~mask));
}

// |v| per lane: the sign bit cleared.
[[gnu::always_inline]] inline LaneValues lane_magnitude(LaneValues v) {
    return std::bit_cast<LaneValues>(std::bit_cast<LaneBits>(v) & ~(std::uint64_t{1} << 63));
}

// Per lane a > b ? a : b, and a < b ? a : b: exactly the rules of the x86 max and min
// instructions (b where a lane holds NaN or two zeros), which GCC leaves as a comparison and
// selections when the vectors are its own.
[[gnu::always_inline]] inline LaneValues greater_else_second(LaneValues a, LaneValues b) {
#if defined(__AVX512F__)
    return reinterpret_cast<LaneValues>(_mm512_max_pd(reinterpret_cast<__m512d>(a), reinterpret_cast<__m512d>(b)));
#elif defined(__AVX__)
    return reinterpret_cast<LaneValues>(_mm256_max_pd(reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(b)));
#elif defined(__SSE2__)
    return reinterpret_cast<LaneValues>(_mm_max_pd(reinterpret_cast<__m128d>(a), reinterpret_cast<__m128d>(b)));
#else
    return a > b ? a : b;
#endif
}

[[gnu::always_inline]] inline LaneValues less_else_second(LaneValues a, LaneValues b) {
#if defined(__AVX512F__)
    return reinterpret_cast<LaneValues>(_mm512_min_pd(reinterpret_cast<__m512d>(a), reinterpret_cast<__m512d>(b)));
#elif defined(__AVX__)
    return reinterpret_cast<LaneValues>(_mm256_min_pd(reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(b)));
#elif defined(__SSE2__)
    return reinterpret_cast<LaneValues>(_mm_min_pd(reinterpret_cast<__m128d>(a), reinterpret_cast<__m128d>(b)));
#else
    return a < b ? a : b;
#endif
}

// matrix_vector_products: grad_x = a y, row by row (rows shorter than eight entries summed in
// order from 0.0, longer ones in eight partial sums by column modulo eight, added up as
// ((p0+p4) + (p1+p5)) + ((p2+p6) + (p3+p7)), then plus the leftover entries summed in order
// from 0.0); grad_y = -(a^T x), each column summed in row order from 0.0.
//
// Rows i .. i + Rows - 1 in one pass over their entries, so each column's running sum is read
// and written once per block of rows. Long rows are passed over one partial sum at a time (the
// columns j = l, l + 8, ... of partial sum l, in order), so that only the block's current
// partial sums take registers, not all eight of each row. A first block (kFirst) starts the
// column sums from 0.0, a last one (kLast) negates them.
template <std::size_t Rows, bool kShortRows, bool kFirst, bool kLast>
[[gnu::always_inline]] inline void lane_gradient_rows(Arrays& s, std::size_t n, std::size_t i) {
    const std::size_t whole = kShortRows ? 0 : n - n % 8;
    const LaneValues* a = s.a + i * n;
    LaneValues partial[Rows][kShortRows ? 1 : 8], rest[Rows], weight[Rows];
    for (std::size_t r = 0; r < Rows; ++r) {
        rest[r] = splat<LaneValues>(0.0);
        weight[r] = s.x[i + r];
    }
    // Column j of the block: row r's product added to sums[r], and the column's running sum.
    const auto pass_column = [&](std::size_t j, LaneValues (&sums)[Rows]) {
        const LaneValues y = s.y[j];
        LaneValues column = kFirst ? splat<LaneValues>(0.0) : s.grad_y[j];
        for (std::size_t r = 0; r < Rows; ++r) {
            const LaneValues entry = a[r * n + j];
            sums[r] += entry * y;
            column += entry * weight[r];
        }
        s.grad_y[j] = kLast ? -column : column;
    };
    for (std::size_t l = 0; l < (kShortRows ? 0 : 8); ++l) {
        LaneValues sums[Rows];
        for (LaneValues& sum : sums) sum = splat<LaneValues>(0.0);
        // (Not unrolled: GCC would then hold several columns' entries at once, and spill.)
#pragma GCC unroll 1
        for (std::size_t j = l; j < whole; j += 8) pass_column(j, sums);
        for (std::size_t r = 0; r < Rows; ++r) partial[r][l] = sums[r];
    }
    for (std::size_t j = whole; j < n; ++j) pass_column(j, rest);
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
[[gnu::always_inline]] inline void lane_gradients(Arrays& s, std::size_t m, std::size_t n) {
    // As many rows a block as keep their sums, weights and a column in registers.
    constexpr std::size_t kBlock = kShortRows ? 4 : (kWidth == 8 ? 8 : 4);
    const std::size_t blocked = m - m % kBlock;
    // Games of a block or two: the first block clears the column sums and the last negates them,
    // as they pass (a pass over grad_y of its own costs a good part of a block there).
    // Larger ones keep one body for every block, and the two passes.
    if (m <= 2 * kBlock) {
        const auto block = [&]<std::size_t Rows>(std::size_t i) __attribute__((always_inline)) {
            const bool first = i == 0, last = i + Rows == m;
            if (first && last) lane_gradient_rows<Rows, kShortRows, true, true>(s, n, i);
            else if (first) lane_gradient_rows<Rows, kShortRows, true, false>(s, n, i);
            else if (last) lane_gradient_rows<Rows, kShortRows, false, true>(s, n, i);
            else lane_gradient_rows<Rows, kShortRows, false, false>(s, n, i);
        };
        for (std::size_t i = 0; i < blocked; i += kBlock) block.template operator()<kBlock>(i);
        for (std::size_t i = blocked; i < m; ++i) block.template operator()<1>(i);
        return;
    }
    for (std::size_t j = 0; j < n; ++j) s.grad_y[j] = splat<LaneValues>(0.0);
    for (std::size_t i = 0; i < blocked; i += kBlock) lane_gradient_rows<kBlock, kShortRows, false, false>(s, n, i);
    for (std::size_t i = blocked; i < m; ++i) lane_gradient_rows<1, kShortRows, false, false>(s, n, i);
    for (std::size_t j = 0; j < n; ++j) s.grad_y[j] = -s.grad_y[j];
}

[[gnu::always_inline]] inline void lane_gradients(Arrays& s, std::size_t m, std::size_t n) {
    if (n < 8) lane_gradients<true>(s, m, n);
    else lane_gradients<false>(s, m, n);
}

// The passes over a player's entries feed them in index order to a visit(i, chain), `chain`
// being the partial result entry i joins: with four chains, fold_in_four's (four interleaved
// ones, the leftovers past the last whole four into the first); with one, index order.
template <std::size_t Chains, typename Visit>
[[gnu::always_inline]] inline void in_fold_order(std::size_t length, Visit&& visit) {
    const std::size_t whole = Chains == 4 ? length - length % 4 : 0;
    for (std::size_t i = 0; i < whole; i += 4) visit(i, 0), visit(i + 1, 1), visit(i + 2, 2), visit(i + 3, 3);
    for (std::size_t i = whole; i < length; ++i) visit(i, 0);
}

// sum_of's result from its chains: index order from 0.0 below eight entries, else
// fold_in_four's (p2 + p3) + (p0 + p1).
template <std::size_t Chains>
[[gnu::always_inline]] inline LaneValues sum_of_chains(const LaneValues (&p)[4]) {
    if constexpr (Chains == 4) return (p[2] + p[3]) + (p[0] + p[1]);
    else return p[0];
}

[[gnu::always_inline]] inline LaneValues larger_of(LaneValues x, LaneValues largest) { return x > largest ? x : largest; }

// The partial results of a fold, all starting at `start`.
struct LaneChains {
    LaneValues p[4];
    explicit LaneChains(double start) {
        for (LaneValues& chain : p) chain = splat<LaneValues>(start);
    }
};

// What a pass computing the exponentials' arguments v learns about them: their maximum in
// nan_ignoring_max's order (the shift), and whether every v - shift is above -kShortFormLimit,
// where the short form of the exponential gives the full form's values for less work. (Those
// differences are <= 0 or NaN, and each is at least the smallest v less the shift.) NaN
// arguments are passed over: the exponential of a NaN is NaN in either form, and a lane with
// one declines its step (the NaN reaches its sums), so its values are never read.
struct ExponentArguments {
    LaneChains largest{-std::numeric_limits<double>::infinity()};
    LaneValues smallest = splat<LaneValues>(std::numeric_limits<double>::infinity());

    [[gnu::always_inline]] void add(LaneValues v, std::size_t chain) {
        largest.p[chain] = larger_of(v, largest.p[chain]);
        smallest = less_else_second(v, smallest);
    }
    [[gnu::always_inline]] LaneValues shift() const {
        const LaneValues* p = largest.p;
        return larger_of(larger_of(p[1], p[0]), larger_of(p[3], p[2]));
    }
    [[gnu::always_inline]] bool short_form(LaneValues shift) const {
        return failed_lanes(std::bit_cast<LaneBits>(smallest - shift > -exponential_detail::kShortFormLimit)) == 0;
    }
};

// v <- exp(v - shift), exp_of_differences' values.
[[gnu::always_inline]] inline void lane_exp_of_differences(LaneVector& v, std::size_t length,
                                                           const ExponentArguments& arguments) {
    using exponential_detail::exp_lanes;
    const LaneValues shift = arguments.shift();
    if (arguments.short_form(shift)) {
        for (std::size_t i = 0; i < length; ++i) v[i] = exp_lanes<LaneValues, LaneBits, false>(v[i] - shift);
    } else {
        for (std::size_t i = 0; i < length; ++i) v[i] = exp_lanes<LaneValues, LaneBits, true>(v[i] - shift);
    }
}

// lies_on_simplex, whose verdict is that of the index-order sum from -0.0, fed entry by entry:
// lanes that pass are all ones. No entry below zero as nan_ignoring_min finds it: a NaN entry
// makes the sum NaN, which fails.
struct SimplexCheck {
    LaneValues sum = splat<LaneValues>(-0.0);
    LaneValues smallest = splat<LaneValues>(std::numeric_limits<double>::infinity());

    [[gnu::always_inline]] void add(LaneValues v) {
        sum += v;
        smallest = less_else_second(v, smallest);
    }
    [[gnu::always_inline]] LaneBits passed() const {
        return std::bit_cast<LaneBits>(smallest >= 0.0) &
               std::bit_cast<LaneBits>(lane_magnitude(sum - 1.0) < kSimplexTolerance);
    }
};

// v <- v / total (normalise's division), checked as lies_on_simplex checks.
[[gnu::always_inline]] inline LaneBits divide_and_check(LaneVector& v, std::size_t length, LaneValues total) {
    SimplexCheck check;
    for (std::size_t i = 0; i < length; ++i) check.add(v[i] /= total);
    return check.passed();
}

// The smallest entry, in four chains of the numeric minimum: total_order_min's value in every
// lane whose step passes. Such a lane's gradients hold no NaN (a NaN reaches the step's sums,
// which it makes NaN, and the lane declines), and the zeros of one gradient all have one sign
// (lane_gradients' sums start from 0.0, so a zero among them is 0.0 and its negation -0.0):
// there totalOrder and the numeric order agree, and the minimum is one value whatever the
// order of the comparisons. (Declined lanes' gaps are not read.)
[[gnu::always_inline]] inline LaneValues lane_min(const LaneVector& v, std::size_t length) {
    LaneValues s0 = v[0], s1 = v[0], s2 = v[0], s3 = v[0];
    std::size_t i = 1;
    for (; i + 4 <= length; i += 4) {
        s0 = less_else_second(v[i], s0), s1 = less_else_second(v[i + 1], s1);
        s2 = less_else_second(v[i + 2], s2), s3 = less_else_second(v[i + 3], s3);
    }
    for (; i < length; ++i) s0 = less_else_second(v[i], s0);
    return less_else_second(less_else_second(s0, s1), less_else_second(s2, s3));
}

// GameState::duality_gap of each lane's gradients (in the lanes that pass).
// Returns the lanes whose gap is below the convergence tolerance.
[[gnu::always_inline]] inline unsigned lane_duality_gaps(const Arrays& s, std::size_t m, std::size_t n,
                                                         double* gaps) {
    const LaneValues gap = (-lane_min(s.grad_y, n)) - lane_min(s.grad_x, m);
    for (std::size_t t = 0; t < kWidth; ++t) gaps[t] = gap[t];
    return set_lanes(std::bit_cast<LaneBits>(gap < kConvergenceTolerance));
}

// target <- candidate in the lanes that were not declined; the declined keep their values.
[[gnu::always_inline]] inline void install(LaneVector& target, LaneVector& candidate, std::size_t length, unsigned declined) {
    if (declined == 0) {
        std::swap(target, candidate);
        return;
    }
    LaneBits keep;
    for (std::size_t t = 0; t < kWidth; ++t) keep[t] = (declined >> t) & 1u ? ~std::uint64_t{0} : 0;
    for (std::size_t i = 0; i < length; ++i) target[i] = lane_select(keep, target[i], candidate[i]);
}

// sum_of's chains at a player's length: index order (one chain) below eight entries, else four.
[[gnu::always_inline]] inline bool four_sum_chains(std::size_t length) { return length >= 8; }

// A fold over a player's entries with sum_of's chains at its length.
template <typename Visit>
[[gnu::always_inline]] inline void in_sum_order(std::size_t length, Visit&& visit) {
    if (four_sum_chains(length)) in_fold_order<4>(length, visit);
    else in_fold_order<1>(length, visit);
}

[[gnu::always_inline]] inline LaneValues sum_in_order(std::size_t length, const LaneChains& chains) {
    return four_sum_chains(length) ? sum_of_chains<4>(chains.p) : sum_of_chains<1>(chains.p);
}

// The steps of the multiplicative rules take each player's half in passes over its entries, the
// two players' passes alternating: each player's operations stay in their order, and the
// processor has the other player's pass to go on with while one waits on a chain of sums or
// divisions.
//
// One player's half of a mirror-descent step (OmwuOomd::step): e = exp-shifted(-eta g),
// hat' = normalise(e hat + 2^-52), strategy' = normalise(e hat'); passed: the lanes where both
// lie on the simplex.
struct TiltPlayer {
    std::size_t length;
    const LaneVector &grad, &hat;
    LaneVector &e, &next_hat, &next;
    ExponentArguments arguments{};
    LaneValues sum{};
    SimplexCheck hat_check{};
    LaneBits passed{};

    [[gnu::always_inline]] void arguments_pass(LaneValues factor) {
        in_fold_order<4>(length, [&](std::size_t i, std::size_t chain) { arguments.add(e[i] = factor * grad[i], chain); });
    }
    [[gnu::always_inline]] void exponentials_pass() {
        lane_exp_of_differences(e, length, arguments);
        LaneChains total(0.0);
        in_sum_order(length, [&](std::size_t i, std::size_t chain) {
            total.p[chain] += next_hat[i] = e[i] * hat[i] + kMachineEpsilon;
        });
        sum = sum_in_order(length, total);
    }
    [[gnu::always_inline]] void hat_pass() {
        LaneChains total(0.0);
        in_sum_order(length, [&](std::size_t i, std::size_t chain) {
            hat_check.add(next_hat[i] /= sum);
            total.p[chain] += next[i] = e[i] * next_hat[i];
        });
        sum = sum_in_order(length, total);
    }
    [[gnu::always_inline]] void strategy_pass() { passed = divide_and_check(next, length, sum) & hat_check.passed(); }
};

// One player's half of an FTRL step (OmwuOftrl::step): sum' = sum + g, strategy' =
// normalise(exp-shifted(-eta (sum' + g))); passed: the lanes where it lies on the simplex.
struct SoftmaxPlayer {
    std::size_t length;
    const LaneVector &grad, &sum;
    LaneVector &next_sum, &next;
    ExponentArguments arguments{};
    LaneValues total{};
    LaneBits passed{};

    [[gnu::always_inline]] void arguments_pass(LaneValues factor) {
        in_fold_order<4>(length, [&](std::size_t i, std::size_t chain) {
            next_sum[i] = sum[i] + grad[i];
            arguments.add(next[i] = (next_sum[i] + grad[i]) * factor, chain);
        });
    }
    [[gnu::always_inline]] void exponentials_pass() {
        lane_exp_of_differences(next, length, arguments);
        LaneChains chains(0.0);
        in_sum_order(length, [&](std::size_t i, std::size_t chain) { chains.p[chain] += next[i]; });
        total = sum_in_order(length, chains);
    }
    [[gnu::always_inline]] void strategy_pass() { passed = divide_and_check(next, length, total); }
};

// Installs the candidates of the lanes that passed and returns the declined ones.
[[gnu::always_inline]] inline unsigned install_passed(Arrays& s, std::size_t m, std::size_t n, LaneBits passed) {
    const unsigned declined = failed_lanes(passed);
    install(s.x, s.next_x, m, declined);
    install(s.y, s.next_y, n, declined);
    install(s.first, s.next_first, m, declined);
    install(s.second, s.next_second, n, declined);
    return declined;
}

[[gnu::always_inline]] inline LaneStep step_mirror_descent(Arrays& s, std::size_t m, std::size_t n,
                                                           double* gaps) {
    lane_gradients(s, m, n);
    const LaneValues factor = splat<LaneValues>(-s.eta);
    TiltPlayer x{m, s.grad_x, s.first, s.work_x, s.next_first, s.next_x};
    TiltPlayer y{n, s.grad_y, s.second, s.work_y, s.next_second, s.next_y};
    x.arguments_pass(factor), y.arguments_pass(factor);
    const unsigned converged = lane_duality_gaps(s, m, n, gaps);
    x.exponentials_pass(), y.exponentials_pass();
    x.hat_pass(), y.hat_pass();
    x.strategy_pass(), y.strategy_pass();
    return {install_passed(s, m, n, x.passed & y.passed), converged};
}

[[gnu::always_inline]] inline LaneStep step_ftrl(Arrays& s, std::size_t m, std::size_t n,
                                                 double* gaps) {
    lane_gradients(s, m, n);
    const LaneValues factor = splat<LaneValues>(-s.eta);
    SoftmaxPlayer x{m, s.grad_x, s.first, s.next_first, s.next_x};
    SoftmaxPlayer y{n, s.grad_y, s.second, s.next_second, s.next_y};
    x.arguments_pass(factor), y.arguments_pass(factor);
    const unsigned converged = lane_duality_gaps(s, m, n, gaps);
    x.exponentials_pass(), y.exponentials_pass();
    x.strategy_pass(), y.strategy_pass();
    return {install_passed(s, m, n, x.passed & y.passed), converged};
}

// The lanes' projections onto the simplex (simplex_projection_into with radius 1, where it
// takes its direct path): the entries sorted in descending order, the running sums of the
// sorted entries from 0.0, and the threshold of the last entry above its own candidate
// (cumsum_k - 1) / (k + 1); out = max(v - theta, 0). The lanes that pass are all ones; the
// others (a NaN, no threshold, a sum or threshold out of the finite range) take the general
// path, which retries shifted or fails.
//
// The sort is Batcher's odd-even merge network over the length rounded up to a power of two,
// the padding -inf (below every entry, and never scanned): equal entries may swap places,
// which changes no running sum (a zero's sign included, as 0.0 + -0.0 is 0.0). Any sorting
// network gives the same sorted entries; this one takes the fewest compare-exchanges of the
// regular ones (19, 63 and 191 for 8, 16 and 32 entries, where the bitonic one takes 24, 80
// and 240).
//
// A compare-exchange leaves the larger entry at the lower index.
[[gnu::always_inline]] inline void compare_exchange(LaneValues* v, std::size_t i, std::size_t l) {
    const LaneValues a = v[i], b = v[l];
    v[i] = greater_else_second(a, b);
    v[l] = less_else_second(b, a);
}

// The network's compare-exchanges in order, as (i, l) pairs with i < l, for `padded` entries
// (a power of two); `visit` sees each.
template <typename Visit>
constexpr void odd_even_merge_network(std::size_t padded, Visit&& visit) {
    for (std::size_t p = 1; p < padded; p <<= 1)
        for (std::size_t k = p; k >= 1; k >>= 1)
            for (std::size_t j = k % p; j + k < padded; j += 2 * k)
                for (std::size_t i = 0; i < std::min(k, padded - j - k); ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) visit(i + j, i + j + k);
}

template <std::size_t Padded>
constexpr std::size_t kNetworkSize = [] {
    std::size_t count = 0;
    odd_even_merge_network(Padded, [&](std::size_t, std::size_t) { ++count; });
    return count;
}();

// The network's pairs for Padded entries, written out at compile time.
template <std::size_t Padded>
constexpr auto kNetwork = [] {
    std::array<std::pair<std::uint8_t, std::uint8_t>, kNetworkSize<Padded>> pairs{};
    std::size_t c = 0;
    odd_even_merge_network(Padded, [&](std::size_t i, std::size_t l) {
        pairs[c++] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(l)};
    });
    return pairs;
}();

// The network's sort of v, then the running sums of the sorted entries from 0.0 into sums (past
// the entries sorted they run into the -inf padding, and are never read).
template <std::size_t Padded>
[[gnu::noinline]] void sort_and_sum_network(LaneValues* v, LaneValues* sums) {
    LaneValues held[Padded];  // in registers, as far as they go
#pragma GCC unroll 64
    for (std::size_t i = 0; i < Padded; ++i) held[i] = v[i];
    [&]<std::size_t... Cs>(std::index_sequence<Cs...>) {
        (compare_exchange(held, kNetwork<Padded>[Cs].first, kNetwork<Padded>[Cs].second), ...);
    }(std::make_index_sequence<kNetworkSize<Padded>>{});
    LaneValues cumsum = splat<LaneValues>(0.0);
#pragma GCC unroll 64
    for (std::size_t i = 0; i < Padded; ++i) {
        v[i] = held[i];
        sums[i] = cumsum += held[i];
    }
}

[[gnu::always_inline]] inline void lane_sort_and_sum(LaneVector& v, LaneVector& sums, std::size_t padded) {
    switch (padded) {
        case 4: return sort_and_sum_network<4>(v, sums);
        case 8: return sort_and_sum_network<8>(v, sums);
        case 16: return sort_and_sum_network<16>(v, sums);
        case 32: return sort_and_sum_network<32>(v, sums);
    }
    odd_even_merge_network(padded, [&](std::size_t i, std::size_t l) { compare_exchange(v, i, l); });
    LaneValues cumsum = splat<LaneValues>(0.0);
    for (std::size_t k = 0; k < padded; ++k) sums[k] = cumsum += v[k];
}

[[gnu::always_inline]] inline LaneBits finite(LaneValues v) {
    return std::bit_cast<LaneBits>(lane_magnitude(v) < std::numeric_limits<double>::infinity());
}

// (sum - 1) / position, the general scan's candidate threshold. Dividing by a power of two is
// multiplying by its reciprocal, exactly: for those positions (1, 2, 4, ...) no division.
[[gnu::always_inline]] inline LaneValues candidate_threshold(LaneValues sum, std::size_t position) {
    const LaneValues excess = sum - 1.0;
    if ((position & (position - 1)) == 0) return excess * (1.0 / static_cast<double>(position));
    return excess / static_cast<double>(position);
}

// out <- P(from - eta g) (descend_and_project), the descent's entries into v (and, to be
// sorted, into sorted). No lane needs its own look for NaN: a compare-exchange with a NaN swaps
// or keeps its two entries (the max and min instructions then give their second operand), so
// the NaN stays among the sorted entries, or leaves them for the padding and lets a -inf in,
// and their sum is not finite either way.
[[gnu::always_inline]] inline LaneBits lane_descend_and_project(std::size_t length, const LaneVector& from,
                                                                const LaneVector& g, LaneValues eta, LaneVector& v,
                                                                LaneVector& sorted, LaneVector& sums, LaneVector& out) {
#pragma GCC unroll 4
    for (std::size_t i = 0; i < length; ++i) sorted[i] = v[i] = from[i] - eta * g[i];
    const std::size_t padded = std::bit_ceil(length);
    for (std::size_t i = length; i < padded; ++i) sorted[i] = splat<LaneValues>(-std::numeric_limits<double>::infinity());
    lane_sort_and_sum(sorted, sums, padded);
    const LaneValues cumsum = sums[length - 1];
    // The last entry above its threshold, searched from the end as the general scan does, so
    // that most divisions are skipped: usually every lane's support is found at once. (Up to
    // four entries only the third position divides: no need to look whether to stop.)
    LaneValues theta = splat<LaneValues>(0.0);
    LaneBits found = splat<LaneBits>(0);
    for (std::size_t k = length; k-- > 0;) {
        const LaneValues t = candidate_threshold(sums[k], k + 1);
        const LaneBits above = std::bit_cast<LaneBits>(sorted[k] > t) & ~found;
        theta = lane_select(above, t, theta);
        found |= above;
        if (length > 4 && failed_lanes(found) == 0) break;
    }
    const LaneValues zero = splat<LaneValues>(0.0);
#pragma GCC unroll 4
    for (std::size_t i = 0; i < length; ++i) out[i] = greater_else_second(v[i] - theta, zero);
    return found & finite(cumsum) & finite(theta);
}

// OGDA (Ogda::step): hat' = P(hat - eta g), strategy' = P(hat' - eta g), P the projection

[[gnu::always_inline]] inline LaneStep step_ogda(Arrays& s, std::size_t m, std::size_t n,
                                                 double* gaps) {
    lane_gradients(s, m, n);
    const LaneValues eta = splat<LaneValues>(s.eta);
    LaneBits passed = lane_descend_and_project(m, s.first, s.grad_x, eta, s.work_x, s.sorted, s.sums, s.next_first);
    passed &= lane_descend_and_project(n, s.second, s.grad_y, eta, s.work_y, s.sorted, s.sums, s.next_second);
    passed &= lane_descend_and_project(m, s.next_first, s.grad_x, eta, s.work_x, s.sorted, s.sums, s.next_x);
    passed &= lane_descend_and_project(n, s.next_second, s.grad_y, eta, s.work_y, s.sorted, s.sums, s.next_y);
    const unsigned declined = install_passed(s, m, n, passed);
    return {declined, lane_duality_gaps(s, m, n, gaps)};
}

// ---- 2 x 2 OGDA: the step above written out for two entries, every value in a register ----

// lane_descend_and_project's projection of the two entries {v0, v1}, in the general scan's own
// order (scan_pair: the second entry leads only when it is the larger): theta is the lower entry's candidate if the
// lower entry lies above it, else the higher one's if the higher lies above that. The running
// sum's 0.0 start is left out (it changes at most the sign of a zero, which the "- 1" absorbs),
// position 1 divides by 1 and position 2 by 2, which is multiplying by 0.5 exactly. A finite
// sum of the two entries rules out NaN and infinite entries, and with them a threshold out of
// the finite range: the lane passes when some threshold was found and the sum is finite.
struct PairProjection {
    LaneValues first, second;
    LaneBits passed;
};

[[gnu::always_inline]] inline PairProjection project_pair(LaneValues v0, LaneValues v1) {
    const LaneValues high = greater_else_second(v1, v0), low = less_else_second(v0, v1);
    const LaneValues sum = high + low;
    const LaneValues t1 = high - 1.0, t2 = (sum - 1.0) * 0.5;
    const LaneBits low_above = std::bit_cast<LaneBits>(low > t2);
    const LaneValues zero = splat<LaneValues>(0.0);
    // Mostly every lane's lower entry lies above its threshold, and keeps doing so from step to
    // step: a predicted branch then takes the selection off the chain of dependent operations.
    LaneValues theta = t2;
    LaneBits found = low_above;
    if (set_lanes(low_above) != (1u << kWidth) - 1) [[unlikely]] {
        const LaneBits high_above = std::bit_cast<LaneBits>(high > t1);
        theta = lane_select(low_above, t2, lane_select(high_above, t1, zero));
        found |= high_above;
    }
    const LaneValues d0 = v0 - theta, d1 = v1 - theta;
    return {greater_else_second(d0, zero), greater_else_second(d1, zero), found & finite(sum)};
}

// A block's 2 x 2 runs in registers: the game, the strategies and the rule's vectors (hats,
// or running sums; named as OGDA's).
struct Runs2x2 {
    const LaneValues* a;  // a00 a01 a10 a11, read where used (registers are scarce)
    LaneValues x0, x1, y0, y1;
    LaneValues hat_x0, hat_x1, hat_y0, hat_y1;
};

[[gnu::always_inline]] inline Runs2x2 load_2x2(const LaneArrays& lanes) {
    const auto at = [](const double* p, std::size_t i) { return reinterpret_cast<const LaneValues*>(p)[i]; };
    return {reinterpret_cast<const LaneValues*>(lanes.a),
            at(lanes.x, 0), at(lanes.x, 1), at(lanes.y, 0), at(lanes.y, 1),
            at(lanes.first, 0), at(lanes.first, 1), at(lanes.second, 0), at(lanes.second, 1)};
}

// Every lane's state back into the block, or (masked) only the lanes whose bits are set.
[[gnu::always_inline]] inline void store_2x2(const Runs2x2& r, LaneArrays& lanes, LaneBits mask, bool all) {
    const auto put = [&](double* p, std::size_t i, LaneValues v) {
        LaneValues& target = reinterpret_cast<LaneValues*>(p)[i];
        target = all ? v : lane_select(mask, v, target);
    };
    put(lanes.x, 0, r.x0), put(lanes.x, 1, r.x1), put(lanes.y, 0, r.y0), put(lanes.y, 1, r.y1);
    put(lanes.first, 0, r.hat_x0), put(lanes.first, 1, r.hat_x1);
    put(lanes.second, 0, r.hat_y0), put(lanes.second, 1, r.hat_y1);
}

// A step's candidate state, the lanes whose step passed, and the gap of the step's strategies.
struct Step2x2 {
    Runs2x2 next;
    LaneBits passed;
    LaneValues gap;
};

// step_ogda at 2 x 2 with every value in a register: lane_gradients' sums (rows and columns
// of two entries, from 0.0 in index order), eta g formed once for both descents (the same
// product each time), the projections above, and the gap from the numeric minima of the
// gradients. Those are the totalOrder ones in every lane that passed: its gradients hold no
// NaN (a NaN reaches its projections, whose sum it makes NaN), and the zeros of one gradient
// all have one sign (a sum from 0.0 that comes to zero is 0.0, its negation -0.0), so
// totalOrder and the numeric order agree.
[[gnu::always_inline]] inline Step2x2 step_2x2(const Runs2x2& r, LaneValues eta) {
    const LaneValues zero = splat<LaneValues>(0.0);
    const LaneValues* a = r.a;
    const LaneValues gx0 = (zero + a[0] * r.y0) + a[1] * r.y1, gx1 = (zero + a[2] * r.y0) + a[3] * r.y1;
    const LaneValues gy0 = -((zero + a[0] * r.x0) + a[2] * r.x1), gy1 = -((zero + a[1] * r.x0) + a[3] * r.x1);
    const LaneValues sx0 = eta * gx0, sx1 = eta * gx1, sy0 = eta * gy0, sy1 = eta * gy1;
    const PairProjection hat_x = project_pair(r.hat_x0 - sx0, r.hat_x1 - sx1);
    const PairProjection hat_y = project_pair(r.hat_y0 - sy0, r.hat_y1 - sy1);
    const PairProjection x = project_pair(hat_x.first - sx0, hat_x.second - sx1);
    const PairProjection y = project_pair(hat_y.first - sy0, hat_y.second - sy1);
    return {{a, x.first, x.second, y.first, y.second, hat_x.first, hat_x.second, hat_y.first,
             hat_y.second},
            hat_x.passed & hat_y.passed & x.passed & y.passed,
            (-less_else_second(gy1, gy0)) - less_else_second(gx1, gx0)};
}

// One step of the block, the candidates written over the state in the lanes that passed.
LaneStep step_ogda_2x2_lanes(LaneArrays& lanes, std::size_t, double* gaps) {
    const Step2x2 step = step_2x2(load_2x2(lanes), splat<LaneValues>(lanes.eta));
    const unsigned declined = failed_lanes(step.passed);
    store_2x2(step.next, lanes, step.passed, declined == 0);
    for (std::size_t t = 0; t < kWidth; ++t) gaps[t] = step.gap[t];
    return {declined, set_lanes(std::bit_cast<LaneBits>(step.gap < kConvergenceTolerance))};
}

// Whether every value it is given lies in (0, +inf), lane by lane: its bits less one, as an
// unsigned integer, below those of the largest finite double. In integer operations, which
// leave the floating-point adders to the step: the greatest of those keys where the instruction
// set compares 64-bit integers without sign (AVX-512), each key shifted into a signed
// comparison where only those exist (AVX2), and two comparisons of the value where 64-bit
// integer comparisons take emulation (SSE2).
class PositiveAndFinite {
public:
    [[gnu::always_inline]] void add(LaneValues v) {
#if defined(__AVX512F__)
        greatest_ = max_unsigned(greatest_, std::bit_cast<LaneBits>(v) - 1);
#elif defined(__AVX2__)
        // Bits 1 .. kLargestFinite shifted to the least signed integers, all others above them.
        constexpr std::uint64_t kShift = std::numeric_limits<std::int64_t>::max();
        constexpr std::int64_t kBound = std::numeric_limits<std::int64_t>::min() + static_cast<std::int64_t>(kLargestFinite);
        passed_ &= std::bit_cast<LaneBits>(std::bit_cast<Keys>(std::bit_cast<LaneBits>(v) + kShift) < kBound);
#elif defined(__SSE2__)
        passed_ &= std::bit_cast<LaneBits>(v > 0.0) & std::bit_cast<LaneBits>(v < std::numeric_limits<double>::infinity());
#else
        passed_ &= std::bit_cast<LaneBits>(std::bit_cast<LaneBits>(v) - 1 < kLargestFinite);
#endif
    }
    // The lanes where every value did (all ones), as the step's masks are.
    [[gnu::always_inline]] LaneBits passed() const {
#if defined(__AVX512F__)
        return std::bit_cast<LaneBits>(greatest_ < kLargestFinite);
#else
        return passed_;
#endif
    }

private:
    static constexpr std::uint64_t kLargestFinite = 0x7fefffffffffffff;
#if defined(__AVX512F__)
    [[gnu::always_inline]] static LaneBits max_unsigned(LaneBits a, LaneBits b) {
        return reinterpret_cast<LaneBits>(_mm512_max_epu64(reinterpret_cast<__m512i>(a), reinterpret_cast<__m512i>(b)));
    }
    LaneBits greatest_ = splat<LaneBits>(0);
#else
    LaneBits passed_ = splat<LaneBits>(~std::uint64_t{0});
#endif
};

// project_pair where the lower entry lies above its threshold and the sum is finite, which is
// where both differences from the threshold are positive and finite (`check` is given them):
// then theta is (sum - 1) / 2 and the projections are the differences themselves. The sum is
// v0 + v1, which is high + low (addition commutes, and with a NaN both are NaN). A positive
// finite difference v - t means v > t (no difference of finite values rounds to zero or across
// it); a sum out of the finite range makes the threshold infinite or NaN, and with it some
// difference.
[[gnu::always_inline]] inline std::pair<LaneValues, LaneValues> project_interior_pair(LaneValues v0, LaneValues v1,
                                                                                       PositiveAndFinite& check) {
    const LaneValues t = ((v0 + v1) - 1.0) * 0.5;
    const LaneValues d0 = v0 - t, d1 = v1 - t;
    check.add(d0), check.add(d1);
    return {d0, d1};
}

// step_2x2 where every projection is interior (above; elsewhere the step is taken again by
// step_2x2), from hats none of which is -0.0 (the projections give 0.0), the lanes that passed
// being those where every projection is interior. The column player's gradient enters negated
// (c = -g_y): hat - eta g_y is hat + eta c, and -min(g_y) is max(c), with the same bits as the
// negations (x - (-y) is x + y, and a product's sign is its factors'). The gradients' sums
// leave out their 0.0 start, which changes only a sum of two -0.0 products, to -0.0: such a
// gradient enters the descents as -0.0 times eta, which leaves every hat but -0.0 as it is, and
// the gap, as the difference of a zero from another value, only when that value is zero too,
// which is a converged gap (the step is taken again).
[[gnu::always_inline]] inline Step2x2 step_2x2_interior(const Runs2x2& r, LaneValues eta) {
    const LaneValues* a = r.a;
    const LaneValues gx0 = a[0] * r.y0 + a[1] * r.y1, gx1 = a[2] * r.y0 + a[3] * r.y1;
    const LaneValues cy0 = a[0] * r.x0 + a[2] * r.x1, cy1 = a[1] * r.x0 + a[3] * r.x1;
    const LaneValues sx0 = eta * gx0, sx1 = eta * gx1, ty0 = eta * cy0, ty1 = eta * cy1;
    PositiveAndFinite check;
    const auto [hat_x0, hat_x1] = project_interior_pair(r.hat_x0 - sx0, r.hat_x1 - sx1, check);
    const auto [hat_y0, hat_y1] = project_interior_pair(r.hat_y0 + ty0, r.hat_y1 + ty1, check);
    const auto [x0, x1] = project_interior_pair(hat_x0 - sx0, hat_x1 - sx1, check);
    const auto [y0, y1] = project_interior_pair(hat_y0 + ty0, hat_y1 + ty1, check);
    return {{a, x0, x1, y0, y1, hat_x0, hat_x1, hat_y0, hat_y1},
            check.passed(),
            greater_else_second(cy1, cy0) - less_else_second(gx1, gx0)};
}

// The lanes of the block where some hat is -0.0.
[[gnu::always_inline]] inline LaneBits negative_zero_hats(const Runs2x2& r) {
    const LaneBits sign = splat<LaneBits>(std::uint64_t{1} << 63);
    const auto is = [&](LaneValues v) { return std::bit_cast<LaneBits>(std::bit_cast<LaneBits>(v) == sign); };
    return is(r.hat_x0) | is(r.hat_x1) | is(r.hat_y0) | is(r.hat_y1);
}

// rows[t][k] <- lane t of v, each pair of lanes taken out of the register together.
[[gnu::always_inline]] inline void store_lanes(double* const* rows, std::size_t k, LaneValues v) {
    [&]<std::size_t... Ts>(std::index_sequence<Ts...>) {
        ((rows[2 * Ts][k] = __builtin_shufflevector(v, v, 2 * Ts, 2 * Ts + 1)[0],
          rows[2 * Ts + 1][k] = __builtin_shufflevector(v, v, 2 * Ts, 2 * Ts + 1)[1]),
         ...);
    }(std::make_index_sequence<kWidth / 2>{});
}

// A step the blocks take: its candidates written over the block's state, its gaps into the
// rows at k, and with kTotals the row stepped from (the block's state until then) added to the
// block's row totals, with kLast kept as its last row.
template <bool kTotals, bool kLast>
[[gnu::always_inline]] inline void take_step_2x2(LaneArrays& block, const Step2x2& step, double* const* rows,
                                                 std::size_t k) {
    const auto at = [](double* p) { return reinterpret_cast<LaneValues*>(p); };
    if constexpr (kTotals) {
        LaneValues *sum_x = at(block.row_sum_x), *sum_y = at(block.row_sum_y);
        const LaneValues *x = at(block.x), *y = at(block.y);
        sum_x[0] += x[0], sum_x[1] += x[1], sum_y[0] += y[0], sum_y[1] += y[1];
    }
    if constexpr (kLast) {
        LaneValues *last_x = at(block.last_x), *last_y = at(block.last_y);
        const LaneValues *x = at(block.x), *y = at(block.y);
        last_x[0] = x[0], last_x[1] = x[1], last_y[0] = y[0], last_y[1] = y[1];
    }
    store_2x2(step.next, block, splat<LaneBits>(0), true);
    store_lanes(rows, k, step.gap);
}

// The blocks' step k taken in full (step_2x2) from their states, where some projection meets
// the simplex's boundary: false, the step left untaken, if some lane would decline or
// converge. Out of line, so that the common steps keep their registers.
template <bool kTotals, bool kLast>
[[gnu::noinline]] bool take_full_steps_2x2(LaneArrays* const* blocks, double* const* rows, std::size_t k) {
    Step2x2 step[kLaneBlocks];
    LaneBits incident = splat<LaneBits>(0);
    for (std::size_t b = 0; b < kLaneBlocks; ++b) {
        step[b] = step_2x2(load_2x2(*blocks[b]), splat<LaneValues>(blocks[b]->eta));
        incident |= ~step[b].passed | std::bit_cast<LaneBits>(step[b].gap < kConvergenceTolerance);
    }
    if (set_lanes(incident) != 0) return false;
    for (std::size_t b = 0; b < kLaneBlocks; ++b) take_step_2x2<kTotals, kLast>(*blocks[b], step[b], rows + b * kWidth, k);
    return true;
}

// Up to `steps` steps of kLaneBlocks blocks at once, while every lane passes and none
// converges: lane t of the blocks (block by block) writes the gap of its k-th step to
// gap_rows[t][k]. The first step where some lane would decline or converge is left untaken,
// for the step of one block at a time to take. Returns the steps taken. With kTotals, the
// blocks' row totals add up the strategies of every step taken (as the block adds them, one
// step at a time); with kLast, the blocks' last rows are those of the last step taken. The
// states stay in registers from step to step, and are written to the blocks after each (whose
// memory the totals and the full steps read).
template <bool kTotals, bool kLast>
std::size_t stretch_2x2(LaneArrays* const* blocks, std::size_t steps, double* const* gap_rows) {
    Runs2x2 state[kLaneBlocks];
    LaneBits negative_zeros = splat<LaneBits>(0);
    for (std::size_t b = 0; b < kLaneBlocks; ++b) {
        state[b] = load_2x2(*blocks[b]);
        negative_zeros |= negative_zero_hats(state[b]);
    }
    // (A hat of -0.0 comes only from outside the lanes, whose projections give 0.0: the step
    // of one block at a time takes the first step from it.)
    if (set_lanes(negative_zeros) != 0) [[unlikely]]
        return 0;
    const LaneValues eta = splat<LaneValues>(blocks[0]->eta);
    double* rows[kLaneBlocks * kWidth];
    for (std::size_t t = 0; t < kLaneBlocks * kWidth; ++t) rows[t] = gap_rows[t];
    std::size_t k = 0;
    for (; k < steps; ++k) {
        Step2x2 step[kLaneBlocks];
        LaneBits incident = splat<LaneBits>(0);
#pragma GCC unroll 8
        for (std::size_t b = 0; b < kLaneBlocks; ++b) {
            step[b] = step_2x2_interior(state[b], eta);
            incident |= ~step[b].passed | std::bit_cast<LaneBits>(step[b].gap < kConvergenceTolerance);
        }
        if (set_lanes(incident) != 0) [[unlikely]] {
            if (!take_full_steps_2x2<kTotals, kLast>(blocks, rows, k)) break;
#pragma GCC unroll 8
            for (std::size_t b = 0; b < kLaneBlocks; ++b) state[b] = load_2x2(*blocks[b]);
            continue;
        }
#pragma GCC unroll 8
        for (std::size_t b = 0; b < kLaneBlocks; ++b) {
            take_step_2x2<kTotals, kLast>(*blocks[b], step[b], rows + b * kWidth, k);
            state[b] = step[b].next;
        }
    }
    return k;
}

// The stretch for the row totals the blocks keep (none, the sums, or the sums and last rows).
std::size_t stretch_ogda_2x2_lanes(LaneArrays* const* blocks, std::size_t steps, double* const* gap_rows) {
    if (blocks[0]->row_sum_x == nullptr) return stretch_2x2<false, false>(blocks, steps, gap_rows);
    if (blocks[0]->last_x == nullptr) return stretch_2x2<true, false>(blocks, steps, gap_rows);
    return stretch_2x2<true, true>(blocks, steps, gap_rows);
}

// ---- 2 x 2 multiplicative weights: the lane steps written out for two entries ----

// exp_of_differences of a pair (each entry less the larger, NaN aside): the larger entry's
// exponential is e^(+0) = 1, the smaller's e^(smaller - larger), and smaller - larger is
// -|v1 - v0| (a difference's negation is the reversed difference): one exponential for two
// entries. Tied entries give e^(+-0) = 1 both. The lanes whose difference is finite (which
// rules out NaN and infinite entries) pass; the form of the exponential is that of the
// register's least argument, as lane_exp_of_differences takes it.
struct PairExponentials {
    LaneValues first, second;
    LaneBits passed;
};

[[gnu::always_inline]] inline PairExponentials exp_of_pair_differences(LaneValues v0, LaneValues v1) {
    using exponential_detail::exp_lanes, exponential_detail::kShortFormLimit;
    const LaneValues difference = v1 - v0;
    const LaneValues argument =
        std::bit_cast<LaneValues>(std::bit_cast<LaneBits>(difference) | splat<LaneBits>(std::uint64_t{1} << 63));
    const LaneBits first_larger = std::bit_cast<LaneBits>(difference <= 0.0);
    LaneValues e;
    if (failed_lanes(std::bit_cast<LaneBits>(argument > -kShortFormLimit)) == 0) [[likely]]
        e = exp_lanes<LaneValues, LaneBits, false>(argument);
    else
        e = exp_lanes<LaneValues, LaneBits, true>(argument);
    const LaneValues one = splat<LaneValues>(1.0);
    return {lane_select(first_larger, one, e), lane_select(first_larger, e, one), finite(difference)};
}

// The simplex check of a pair (SimplexCheck: the sum from -0.0, which adds nothing).
[[gnu::always_inline]] inline LaneBits pair_on_simplex(LaneValues p0, LaneValues p1) {
    return std::bit_cast<LaneBits>(p0 >= 0.0) & std::bit_cast<LaneBits>(p1 >= 0.0) &
           std::bit_cast<LaneBits>(lane_magnitude((p0 + p1) - 1.0) < kSimplexTolerance);
}

struct PlayerStep {
    LaneValues vector0, vector1, play0, play1;
    LaneBits passed;
};

// tilt_player at length two (sums of one chain from 0.0).
[[gnu::always_inline]] inline PlayerStep tilt_pair(LaneValues g0, LaneValues g1, LaneValues hat0, LaneValues hat1,
                                                   LaneValues factor) {
    const LaneValues zero = splat<LaneValues>(0.0);
    const PairExponentials e = exp_of_pair_differences(factor * g0, factor * g1);
    const LaneValues tilted0 = e.first * hat0 + kMachineEpsilon, tilted1 = e.second * hat1 + kMachineEpsilon;
    const LaneValues hat_sum = (zero + tilted0) + tilted1;
    const LaneValues next_hat0 = tilted0 / hat_sum, next_hat1 = tilted1 / hat_sum;
    const LaneValues played0 = e.first * next_hat0, played1 = e.second * next_hat1;
    const LaneValues total = (zero + played0) + played1;
    const LaneValues play0 = played0 / total, play1 = played1 / total;
    return {next_hat0, next_hat1, play0, play1,
            e.passed & pair_on_simplex(next_hat0, next_hat1) & pair_on_simplex(play0, play1)};
}

// softmax_player at length two.
[[gnu::always_inline]] inline PlayerStep softmax_pair(LaneValues g0, LaneValues g1, LaneValues sum0, LaneValues sum1,
                                                      LaneValues factor) {
    const LaneValues zero = splat<LaneValues>(0.0);
    const LaneValues next_sum0 = sum0 + g0, next_sum1 = sum1 + g1;
    const PairExponentials e = exp_of_pair_differences((next_sum0 + g0) * factor, (next_sum1 + g1) * factor);
    const LaneValues total = (zero + e.first) + e.second;
    const LaneValues play0 = e.first / total, play1 = e.second / total;
    return {next_sum0, next_sum1, play0, play1, e.passed & pair_on_simplex(play0, play1)};
}

// step_mirror_descent or step_ftrl (Player: tilt_pair or softmax_pair) at 2 x 2 with every
// value in a register: lane_gradients' sums, the players' halves, and the gap as step_2x2
// takes it (the numeric minima are the totalOrder ones in every lane that passes: a NaN
// gradient makes a NaN exponent).
template <typename Player>
[[gnu::always_inline]] inline Step2x2 multiplicative_step_2x2(const Runs2x2& r, LaneValues factor, Player player) {
    const LaneValues zero = splat<LaneValues>(0.0);
    const LaneValues* a = r.a;
    const LaneValues gx0 = (zero + a[0] * r.y0) + a[1] * r.y1, gx1 = (zero + a[2] * r.y0) + a[3] * r.y1;
    const LaneValues gy0 = -((zero + a[0] * r.x0) + a[2] * r.x1), gy1 = -((zero + a[1] * r.x0) + a[3] * r.x1);
    const PlayerStep x = player(gx0, gx1, r.hat_x0, r.hat_x1, factor);
    const PlayerStep y = player(gy0, gy1, r.hat_y0, r.hat_y1, factor);
    return {{a, x.play0, x.play1, y.play0, y.play1, x.vector0, x.vector1, y.vector0, y.vector1},
            x.passed & y.passed,
            (-less_else_second(gy1, gy0)) - less_else_second(gx1, gx0)};
}

struct TiltPair {
    [[gnu::always_inline]] PlayerStep operator()(LaneValues g0, LaneValues g1, LaneValues v0, LaneValues v1,
                                                 LaneValues factor) const {
        return tilt_pair(g0, g1, v0, v1, factor);
    }
};
struct SoftmaxPair {
    [[gnu::always_inline]] PlayerStep operator()(LaneValues g0, LaneValues g1, LaneValues v0, LaneValues v1,
                                                 LaneValues factor) const {
        return softmax_pair(g0, g1, v0, v1, factor);
    }
};

// One step of the block, the candidates written over the state in the lanes that passed.
template <typename Player>
LaneStep step_multiplicative_2x2_lanes(LaneArrays& lanes, std::size_t, double* gaps) {
    const Step2x2 step = multiplicative_step_2x2(load_2x2(lanes), splat<LaneValues>(-lanes.eta), Player{});
    const unsigned declined = failed_lanes(step.passed);
    store_2x2(step.next, lanes, step.passed, declined == 0);
    for (std::size_t t = 0; t < kWidth; ++t) gaps[t] = step.gap[t];
    return {declined, set_lanes(std::bit_cast<LaneBits>(step.gap < kConvergenceTolerance))};
}

// stretch_2x2 for the multiplicative rules: each step from the blocks' memory (the steps'
// exponentials and divisions leave the registers no room to keep the states).
template <typename Player, bool kTotals, bool kLast>
std::size_t stretch_multiplicative_2x2(LaneArrays* const* blocks, std::size_t steps, double* const* gap_rows) {
    const LaneValues factor = splat<LaneValues>(-blocks[0]->eta);
    double* rows[kLaneBlocks * kWidth];
    for (std::size_t t = 0; t < kLaneBlocks * kWidth; ++t) rows[t] = gap_rows[t];
    std::size_t k = 0;
    for (; k < steps; ++k) {
        Step2x2 step[kLaneBlocks];
        LaneBits incident = splat<LaneBits>(0);
#pragma GCC unroll 8
        for (std::size_t b = 0; b < kLaneBlocks; ++b) {
            step[b] = multiplicative_step_2x2(load_2x2(*blocks[b]), factor, Player{});
            incident |= ~step[b].passed | std::bit_cast<LaneBits>(step[b].gap < kConvergenceTolerance);
        }
        if (set_lanes(incident) != 0) [[unlikely]]
            break;
#pragma GCC unroll 8
        for (std::size_t b = 0; b < kLaneBlocks; ++b)
            take_step_2x2<kTotals, kLast>(*blocks[b], step[b], rows + b * kWidth, k);
    }
    return k;
}

template <typename Player>
std::size_t stretch_multiplicative_2x2_lanes(LaneArrays* const* blocks, std::size_t steps, double* const* gap_rows) {
    if (blocks[0]->row_sum_x == nullptr) return stretch_multiplicative_2x2<Player, false, false>(blocks, steps, gap_rows);
    if (blocks[0]->last_x == nullptr) return stretch_multiplicative_2x2<Player, true, false>(blocks, steps, gap_rows);
    return stretch_multiplicative_2x2<Player, true, true>(blocks, steps, gap_rows);
}

// One step of the rule (the variant index) in every lane.
[[gnu::always_inline]] inline LaneStep step_rule(Arrays& s, std::size_t rule, std::size_t m, std::size_t n,
                                                 double* gaps) {
    if (rule == kRuleIndex<Ogda>) return step_ogda(s, m, n, gaps);
    if (rule == kRuleIndex<OmwuOomd>) return step_mirror_descent(s, m, n, gaps);
    return step_ftrl(s, m, n, gaps);
}

// The step with the shape as constants for the smallest games, where loop overhead would
// cost as much as the arithmetic, and at 8 x 8 and 32 x 32, the sweeps' common sizes, whose
// passes, gradients and sorts then unroll (8 x 8 mirror descent with AVX2: 2,711 against 2,260
// instructions a block step).
[[gnu::always_inline]] inline LaneStep step_rule(Arrays& s, std::size_t rule, double* gaps) {
    if (s.m == 2 && s.n == 2) return step_rule(s, rule, 2, 2, gaps);
    if (s.m == 3 && s.n == 3) return step_rule(s, rule, 3, 3, gaps);
    if (s.m == 8 && s.n == 8) return step_rule(s, rule, 8, 8, gaps);
    if (s.m == 32 && s.n == 32) return step_rule(s, rule, 32, 32, gaps);
    return step_rule(s, rule, s.m, s.n, gaps);
}

// Every field of `from` into `to`, the pointers as pointers to the other's lanes, one by one (a
// copy of the whole record would be read with wide loads right after narrow stores, which the
// processor cannot forward: a stall of some ten cycles every step).
template <typename To, typename From>
[[gnu::always_inline]] inline void assign_fields(LaneArraysOf<To>& to, const LaneArraysOf<From>& from) {
    to.m = from.m, to.n = from.n, to.eta = from.eta;
    const auto convert = [](From* p) { return reinterpret_cast<To*>(p); };
    to.a = convert(from.a), to.x = convert(from.x), to.y = convert(from.y);
    to.first = convert(from.first), to.second = convert(from.second);
    to.grad_x = convert(from.grad_x), to.grad_y = convert(from.grad_y);
    to.work_x = convert(from.work_x), to.work_y = convert(from.work_y);
    to.next_x = convert(from.next_x), to.next_y = convert(from.next_y);
    to.next_first = convert(from.next_first), to.next_second = convert(from.next_second);
    to.sorted = convert(from.sorted), to.sums = convert(from.sums);
    to.row_sum_x = convert(from.row_sum_x), to.row_sum_y = convert(from.row_sum_y);
    to.last_x = convert(from.last_x), to.last_y = convert(from.last_y);
}

LaneStep step_lanes(LaneArrays& lanes, std::size_t rule, double* gaps) {
    Arrays s;
    assign_fields(s, lanes);
    const LaneStep step = step_rule(s, rule, gaps);
    // The candidates that were installed swapped places with the quantities they replaced.
    assign_fields(lanes, s);
    return step;
}

// OGDA's step with the shape as constants, for the shapes sweeps take most (a function of its
// own: compiled apart from the other rules' and shapes' steps).
template <std::size_t M, std::size_t N>
LaneStep step_ogda_lanes(LaneArrays& lanes, std::size_t, double* gaps) {
    Arrays s;
    assign_fields(s, lanes);
    const LaneStep step = step_ogda(s, M, N, gaps);
    assign_fields(lanes, s);
    return step;
}

}  // namespace

Kernels::StepLanes lane_step(std::size_t rule, std::size_t rows, std::size_t cols) {
    if (rule == kRuleIndex<Ogda> && rows == 8 && cols == 8) return step_ogda_lanes<8, 8>;
    if (rule == kRuleIndex<Ogda> && rows == 32 && cols == 32) return step_ogda_lanes<32, 32>;
    if (rows != 2 || cols != 2) return step_lanes;
    if (rule == kRuleIndex<Ogda>) return step_ogda_2x2_lanes;
    if (rule == kRuleIndex<OmwuOomd>) return step_multiplicative_2x2_lanes<TiltPair>;
    return step_multiplicative_2x2_lanes<SoftmaxPair>;
}

Kernels::StretchLanes lane_stretch(std::size_t rule, std::size_t rows, std::size_t cols) {
    if (rows != 2 || cols != 2) return nullptr;
    if (rule == kRuleIndex<Ogda>) return stretch_ogda_2x2_lanes;
    if (rule == kRuleIndex<OmwuOomd>) return stretch_multiplicative_2x2_lanes<TiltPair>;
    return stretch_multiplicative_2x2_lanes<SoftmaxPair>;
}

}  // namespace quarnel::QUARNEL_KERNELS
