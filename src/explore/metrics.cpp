#include "explore/metrics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "core/game.hpp"
#include "core/panic.hpp"
#include "explore/fold.hpp"
#include "explore/text.hpp"

// The vector types below are internal to this file: the ABI note on passing them does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quarnel {
namespace {

// First index of the tail a cutoff selects: the integer part of (1 - cutoff) * n, 0 for a
// NaN or negative product, saturating at the largest index type value.
std::size_t tail_start(std::size_t n, double cutoff) {
    const double product = (1.0 - cutoff) * static_cast<double>(n);
    if (!(product > 0.0)) return 0;
    constexpr double kBeyondSizeRange = 0x1.0p64;
    if (product >= kBeyondSizeRange) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(product);
}

// tail_start, or a panic when the tail would start past the end of a history of length n.
std::size_t checked_tail_start(std::size_t n, double cutoff) {
    const std::size_t start = tail_start(n, cutoff);
    if (start > n)
        panic("metric tail would start at index " + std::to_string(start) +
              ", beyond the end of the gap history of length " + std::to_string(n));
    return start;
}

// Reductions of L histories of one length side by side, lane t over entries [begin, end) of
// history t. Each lane computes in index order exactly what a reduction of its history alone
// computes; the lanes, independent of one another, overlap in the processor instead of each
// waiting for its own previous addition.
template <std::size_t L>
using Lanes = std::array<double, L>;
template <std::size_t L>
using Histories = std::array<const double*, L>;

template <std::size_t L>
Lanes<L> filled(double value) {
    Lanes<L> lanes;
    lanes.fill(value);
    return lanes;
}

template <std::size_t L>
Lanes<L> max_of(const Histories<L>& histories, std::size_t begin, std::size_t end) {
    Lanes<L> result = filled<L>(-std::numeric_limits<double>::infinity());
    for (std::size_t k = begin; k < end; ++k)
        for (std::size_t t = 0; t < L; ++t) result[t] = max_skipping_nan(result[t], histories[t][k]);
    return result;
}

template <std::size_t L>
Lanes<L> population_variance(const Histories<L>& histories, std::size_t begin, std::size_t end) {
    Lanes<L> variance = filled<L>(0.0);
    if (begin == end) return variance;
    const auto count = static_cast<double>(end - begin);
    Lanes<L> mean = filled<L>(-0.0);
    for (std::size_t k = begin; k < end; ++k)
        for (std::size_t t = 0; t < L; ++t) mean[t] += histories[t][k];
    for (double& value : mean) value /= count;
    for (std::size_t k = begin; k < end; ++k)
        for (std::size_t t = 0; t < L; ++t) {
            const double deviation = histories[t][k] - mean[t];
            variance[t] += deviation * deviation / count;
        }
    return variance;
}

template <std::size_t L>
Lanes<L> total_variation(const Histories<L>& histories, std::size_t n) {
    Lanes<L> total = filled<L>(0.0);
    for (std::size_t k = 1; k < n; ++k)
        for (std::size_t t = 0; t < L; ++t) total[t] += std::fabs(histories[t][k] - histories[t][k - 1]);
    return total;
}

struct MetricOf {
    std::span<const double> gaps;
    Histories<1> history() const { return {gaps.data()}; }
    double operator()(const MaxLast& method) const {
        return max_of(history(), checked_tail_start(gaps.size(), method.cutoff), gaps.size())[0];
    }
    double operator()(const VarLast& method) const {
        return population_variance(history(), checked_tail_start(gaps.size(), method.cutoff), gaps.size())[0];
    }
    double operator()(const TotalVar&) const { return total_variation(history(), gaps.size())[0]; }
};

// Two doubles (and 64-bit integers) in the lanes of a vector type every build's processor has
// (SSE2, NEON): rate_of's rows. Wider types would be taken apart lane by lane on processors
// without them.
constexpr std::size_t kRowsTogether = 2;
using DoubleLanes = double __attribute__((vector_size(sizeof(double) * kRowsTogether)));
using IntegerLanes = std::int64_t __attribute__((vector_size(sizeof(double) * kRowsTogether)));
using Bits = std::uint64_t __attribute__((vector_size(sizeof(DoubleLanes))));

// ln 2 in two parts: 43 significant bits (e times it is exact for any exponent e), and the rest.
constexpr double kLn2High = 0x1.62e42fefa3800p-1;
constexpr double kLn2Low = 0x1.ef35793c76730p-45;

// The significands of normal values' bits, as values in [1, 2).
[[gnu::always_inline]] inline DoubleLanes significands(Bits bits) {
    return reinterpret_cast<DoubleLanes>((bits & 0x000fffffffffffff) | 0x3ff0000000000000);
}

// Natural logarithm of positive finite values, lane by lane, in IEEE operations alone (the same
// bits on every processor and C library), within about 2 ulp: ln v = e ln2 + ln m with
// v = 2^e m, sqrt(1/2) <= m < sqrt(2) (subnormals scaled first), and ln m = 2 atanh(s),
// s = (m - 1) / (m + 1), |s| <= 0.1716, as its series to s^21 (the next term is below 2^-60
// of the result). Only floating-point lane operations and bit masks: no 64-bit integer
// comparisons or conversions, which older vector instruction sets lack.
[[gnu::always_inline]] inline DoubleLanes logarithm(DoubleLanes v) {
    constexpr double kSqrt2 = 0x1.6a09e667f3bcdp+0;
    const DoubleLanes zero{};
    const IntegerLanes subnormal = v < 0x1p-1022;
    v = subnormal ? v * 0x1p54 : v;
    const Bits bits = reinterpret_cast<Bits>(v);
    // The biased exponent as a double: its bits under those of 2^52, less 2^52.
    const Bits exponent_bits = (bits >> 52) | 0x4330000000000000;
    DoubleLanes e = reinterpret_cast<DoubleLanes>(exponent_bits) - (0x1p52 + 1023.0);
    e -= subnormal ? zero + 54.0 : zero;
    DoubleLanes m = significands(bits);
    const IntegerLanes upper = m > kSqrt2;
    m = upper ? m * 0.5 : m;
    e += upper ? zero + 1.0 : zero;
    const DoubleLanes s = (m - 1.0) / (m + 1.0);
    // p = 1/3 + z/5 + ... + z^9/21 with z = s^2, by Estrin's scheme: a short chain of operations.
    const DoubleLanes z = s * s, z2 = z * z, z4 = z2 * z2, z8 = z4 * z4;
    const DoubleLanes pairs01 = (1.0 / 3.0 + z * (1.0 / 5.0)) + z2 * (1.0 / 7.0 + z * (1.0 / 9.0));
    const DoubleLanes pairs23 = (1.0 / 11.0 + z * (1.0 / 13.0)) + z2 * (1.0 / 15.0 + z * (1.0 / 17.0));
    const DoubleLanes p = (pairs01 + z4 * pairs23) + z8 * (1.0 / 19.0 + z * (1.0 / 21.0));
    const DoubleLanes twice_s = s + s;
    return e * kLn2High + (e * kLn2Low + (twice_s + twice_s * z * p));
}

// The smallest of the first `rows` gaps (NaN gaps passed over) and the first row holding it;
// NaN and -1 when every gap is NaN. Blocks of 64 rows are reduced to their smallest gap (in two
// lanes of two: a < b ? a : b never takes a NaN a); the first block holding the smallest of
// all is then searched for its first row, whose gap is the one returned: of a -0.0 and a 0.0
// the first, as a scan in order would give.
std::pair<double, std::int64_t> best_of(const double* gaps, std::uint64_t rows) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    constexpr std::uint64_t kBlockRows = 64;
    double best = kInfinity;
    std::uint64_t best_block = 0, k = 0;
    for (; k + kBlockRows <= rows; k += kBlockRows) {
        DoubleLanes smallest[2] = {DoubleLanes{} + kInfinity, DoubleLanes{} + kInfinity};
#pragma GCC unroll 4
        for (std::uint64_t j = 0; j < kBlockRows; j += 2 * kRowsTogether)
#pragma GCC unroll 2
            for (std::size_t v = 0; v < 2; ++v) {
                DoubleLanes g;
                std::memcpy(&g, gaps + k + j + v * kRowsTogether, sizeof g);
                smallest[v] = g < smallest[v] ? g : smallest[v];
            }
        const DoubleLanes both = smallest[0] < smallest[1] ? smallest[0] : smallest[1];
        const double block_best = both[0] < both[1] ? both[0] : both[1];
        if (block_best < best) best = block_best, best_block = k;
    }
    std::uint64_t tail = k;  // the rows after the last whole block
    for (; k < rows; ++k)
        if (gaps[k] < best) best = gaps[k], best_block = tail;
    // Every gap +inf or NaN: the first +inf, if any.
    const std::uint64_t from = best == kInfinity ? 0 : best_block;
    for (k = from; k < rows; ++k)
        if (gaps[k] == best) return {gaps[k], static_cast<std::int64_t>(k)};
    return {std::numeric_limits<double>::quiet_NaN(), -1};
}

// The rate of a history run for `rows` rows (see GapSummary), in blocks of 64 rows, each cut into
// four interleaved runs of 16 (row k0 + 4 i + s in run s; runs 2c and 2c + 1 are the lanes of
// chain c). A run's sum of ln g over its 16 rows is ln of the product of their mantissas
// (each in [1, 2), so the product stays below 2^16) plus the sum of their exponents times
// ln 2; its sum of i ln g is 15 ln P - ln Q, Q the product of the first 15 running products
// (below 2^240), with the exponents likewise: two logarithms for 16 rows rather than 16. Rows
// left out (a gap not positive and finite, or past the end) count as mantissa 1, exponent 0.
// Every run's operations are fixed, so any path gives the same bits. The regression runs on k
// and ln g_k shifted near their means, which keeps its sums free of cancellation: k about the
// centre of the rows, ln g_k about ln of the first row's gap.
double rate_of(const double* gaps, std::uint64_t rows) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    constexpr std::size_t kChains = 2, kRunRows = 16, kBlockRows = kChains * kRowsTogether * kRunRows;
    const std::uint64_t first = rows / 2;
    const double centre = (static_cast<double>(first) + static_cast<double>(rows - 1)) * 0.5;
    const double first_gap = rows == 0 ? 1.0 : gaps[first];
    const double origin = logarithm(DoubleLanes{} + (first_gap > 0.0 && first_gap < kInfinity ? first_gap : 1.0))[0];
    const DoubleLanes zero{}, one = zero + 1.0;
    double count = 0.0, sum_k = 0.0, sum_l = 0.0, sum_kk = 0.0, sum_kl = 0.0;
    for (std::uint64_t k0 = first; k0 < rows; k0 += kBlockRows) {
        DoubleLanes product[kChains], products[kChains], used_rows[kChains], sum_i[kChains], sum_ii[kChains];
        Bits exponents[kChains], running_exponents[kChains];
        for (std::size_t c = 0; c < kChains; ++c) {
            product[c] = products[c] = one;
            used_rows[c] = sum_i[c] = sum_ii[c] = zero;
            exponents[c] = running_exponents[c] = Bits{};
        }
        // A whole block of normal positive finite gaps (nearly every block) takes the short way:
        // no row left out, no subnormal to scale.
        // (Their sum is finite, which rules out NaN and infinities, and their least is normal.)
        bool plain = k0 + kBlockRows <= rows;
        if (plain) {
            DoubleLanes sum = zero, least = zero + kInfinity;
#pragma GCC unroll 4
            for (std::size_t j = 0; j < kBlockRows; j += kRowsTogether) {
                DoubleLanes g;
                std::memcpy(&g, gaps + k0 + j, sizeof g);
                sum += g;
                least = g < least ? g : least;
            }
            for (std::size_t t = 0; t < kRowsTogether; ++t) plain = plain && sum[t] < kInfinity && least[t] >= 0x1p-1022;
        }
        const auto add_row = [&](std::size_t c, std::size_t i, DoubleLanes g, Bits exponent) {
            const Bits bits = reinterpret_cast<Bits>(g);
            product[c] *= significands(bits);
            exponents[c] += (bits >> 52) - exponent;
            if (i + 1 < kRunRows) {
                products[c] *= product[c];
                running_exponents[c] += exponents[c];
            }
        };
        if (plain) {
#pragma GCC unroll 16
            for (std::size_t i = 0; i < kRunRows; ++i)
#pragma GCC unroll 2
                for (std::size_t c = 0; c < kChains; ++c) {
                    DoubleLanes g;
                    std::memcpy(&g, gaps + k0 + kRowsTogether * (kChains * i + c), sizeof g);
                    add_row(c, i, g, Bits{} + 1023);
                }
            for (std::size_t c = 0; c < kChains; ++c) {
                used_rows[c] = zero + double{kRunRows};
                sum_i[c] = zero + (kRunRows - 1) * kRunRows / 2.0;
                sum_ii[c] = zero + (kRunRows - 1) * kRunRows * (2 * kRunRows - 1) / 6.0;
            }
        } else {
            for (std::size_t i = 0; i < kRunRows; ++i) {
                const double row = static_cast<double>(i);
                for (std::size_t c = 0; c < kChains; ++c) {
                    const std::uint64_t k = k0 + kRowsTogether * (kChains * i + c);
                    DoubleLanes g;
                    for (std::size_t t = 0; t < kRowsTogether; ++t) g[t] = k + t < rows ? gaps[k + t] : 0.0;
                    const IntegerLanes used = (g > 0.0) & (g < kInfinity);
                    const IntegerLanes subnormal = g < 0x1p-1022;
                    // The exponent's bias, 54 more for a subnormal scaled by 2^54.
                    add_row(c, i, used ? (subnormal ? g * 0x1p54 : g) : one,
                            Bits{} + 1023 + (reinterpret_cast<Bits>(subnormal & used) & 54));
                    used_rows[c] += used ? one : zero;
                    sum_i[c] += used ? zero + row : zero;
                    sum_ii[c] += used ? zero + row * row : zero;
                }
            }
        }
        for (std::size_t c = 0; c < kChains; ++c) {
            const DoubleLanes ln_product = logarithm(product[c]), ln_products = logarithm(products[c]);
            for (std::size_t t = 0; t < kRowsTogether; ++t) {
                const std::size_t run = kRowsTogether * c + t;
                const auto e = static_cast<double>(static_cast<std::int64_t>(exponents[c][t]));
                const auto weighted_e = 15.0 * e - static_cast<double>(static_cast<std::int64_t>(running_exponents[c][t]));
                const double l = ln_product[t] + (e * kLn2High + e * kLn2Low) - used_rows[c][t] * origin;
                const double il = (15.0 * ln_product[t] - ln_products[t]) + (weighted_e * kLn2High + weighted_e * kLn2Low) -
                                  sum_i[c][t] * origin;
                const double d = (static_cast<double>(k0 + run) - centre);
                count += used_rows[c][t];
                sum_k += used_rows[c][t] * d + 4.0 * sum_i[c][t];
                sum_kk += (used_rows[c][t] * d * d + 8.0 * d * sum_i[c][t]) + 16.0 * sum_ii[c][t];
                sum_l += l;
                sum_kl += d * l + 4.0 * il;
            }
        }
    }
    if (!(count >= 2.0)) return std::numeric_limits<double>::quiet_NaN();
    const double sxx = sum_kk - sum_k * sum_k / count;
    const double sxy = sum_kl - sum_k * sum_l / count;
    return 0.0 - sxy / sxx;
}

}  // namespace

// A run stops at its first converged step and repeats that gap to the end: it converged
// exactly when its last gap is below the tolerance, at the first such gap.
std::uint64_t steps_run(std::span<const double> gaps) {
    if (gaps.empty() || !(gaps.back() < kConvergenceTolerance)) return gaps.size();
    const auto converged = std::find_if(gaps.begin(), gaps.end(), [](double gap) { return gap < kConvergenceTolerance; });
    return static_cast<std::uint64_t>(converged - gaps.begin()) + 1;
}

std::optional<MetricMethod> parse_metric_method(std::string_view text, double cutoff) {
    if (equals_ignoring_case(text, "max_last") || equals_ignoring_case(text, "max_last_10")) return MaxLast{cutoff};
    if (equals_ignoring_case(text, "var_last") || equals_ignoring_case(text, "var_last_10")) return VarLast{cutoff};
    if (equals_ignoring_case(text, "total_var")) return TotalVar{};
    return std::nullopt;
}

double metric_of(std::span<const double> gaps, const MetricMethod& method) {
    return std::visit(MetricOf{gaps}, method);
}

void summarize_gaps_together(std::span<const std::span<const double>> histories, double cutoff,
                             std::span<GapSummary> out) {
    constexpr std::size_t L = kHistoriesTogether;
    if (histories.size() > L || out.size() != histories.size()) panic("more gap histories than lanes");
    if (histories.empty()) return;
    const std::size_t n = histories.front().size();
    Histories<L> lanes;
    for (std::size_t t = 0; t < L; ++t) {
        const std::span<const double> history = histories[std::min(t, histories.size() - 1)];  // spare lanes repeat the last
        if (history.size() != n) panic("gap histories of different lengths");
        lanes[t] = history.data();
    }
    const std::size_t start = checked_tail_start(n, cutoff);
    const Lanes<L> max_last = max_of(lanes, start, n);
    const Lanes<L> var_last = population_variance(lanes, start, n);
    const Lanes<L> total_var = total_variation(lanes, n);
    for (std::size_t t = 0; t < histories.size(); ++t) {
        const double last_gap = n == 0 ? std::numeric_limits<double>::quiet_NaN() : histories[t].back();
        const std::uint64_t rows = steps_run(histories[t]);
        const auto [best_gap, best_step] = best_of(histories[t].data(), rows);
        out[t] = {max_last[t], var_last[t], total_var[t], last_gap, rows, best_gap, best_step,
                  rate_of(histories[t].data(), rows)};
    }
}

GapSummary summarize_gaps(std::span<const double> gaps, double cutoff) {
    GapSummary summary;
    summarize_gaps_together(std::span(&gaps, 1), cutoff, std::span(&summary, 1));
    return summary;
}

Tolerances::Tolerances(Vector values) : values_(std::move(values)), descending_(values_.size()) {
    for (std::size_t j = 0; j < descending_.size(); ++j) descending_[j] = j;
    std::stable_sort(descending_.begin(), descending_.end(),
                     [&](std::size_t i, std::size_t j) { return values_[i] > values_[j]; });
}

// A gap below a tolerance is below every larger one: the tolerances are met in decreasing
// order, each at the first gap below it from where the larger one was met.
void Tolerances::steps_below(std::span<const double> gaps, std::span<std::uint64_t> out) const {
    if (out.size() != values_.size()) panic("hitting times of another number of tolerances");
    std::size_t met = 0;
    for (std::size_t k = 0; k < gaps.size() && met < descending_.size(); ++k)
        while (met < descending_.size() && gaps[k] < values_[descending_[met]]) out[descending_[met++]] = k + 1;
    for (; met < descending_.size(); ++met) out[descending_[met]] = gaps.size();
}

double average_gap(const Matrix& a, std::span<const double> sum_x, std::span<const double> sum_y, std::uint64_t rows,
                   Vector& scratch) {
    if (rows == 0) return std::numeric_limits<double>::quiet_NaN();
    const auto count = static_cast<double>(rows);
    scratch.resize(a.rows + a.cols + a.rows + a.cols);
    double* x_bar = scratch.data();
    double* y_bar = x_bar + a.rows;
    double* grad_x = y_bar + a.cols;  // a y_bar
    double* grad_y = grad_x + a.rows;  // -(a^T x_bar)
    for (std::size_t i = 0; i < a.rows; ++i) x_bar[i] = sum_x[i] / count;
    for (std::size_t j = 0; j < a.cols; ++j) y_bar[j] = sum_y[j] / count;
    for (std::size_t i = 0; i < a.rows; ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < a.cols; ++j) sum += a(i, j) * y_bar[j];
        grad_x[i] = sum;
    }
    for (std::size_t j = 0; j < a.cols; ++j) {
        double sum = 0.0;
        for (std::size_t i = 0; i < a.rows; ++i) sum += a(i, j) * x_bar[i];
        grad_y[j] = -sum;
    }
    return GameState::duality_gap(std::span(grad_x, a.rows), std::span(grad_y, a.cols));
}

std::vector<double> vec_results_to_metrics(std::vector<GameResult> results, const MetricMethod& method) {
    std::vector<double> metrics;
    metrics.reserve(results.size());
    for (GameResult& result : results) {
        metrics.push_back(metric_of(result.gaps_history, method));
        result = GameResult{};
    }
    return metrics;
}

}  // namespace quarnel
