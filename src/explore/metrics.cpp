#include "explore/metrics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "core/panic.hpp"
#include "explore/fold.hpp"
#include "explore/text.hpp"

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

// A run stops at its first converged step and repeats that gap to the end: it converged
// exactly when its last gap is below the tolerance, at the first such gap.
std::uint64_t steps_of(std::span<const double> gaps) {
    if (gaps.empty() || !(gaps.back() < kConvergenceTolerance)) return gaps.size();
    const auto converged = std::find_if(gaps.begin(), gaps.end(), [](double gap) { return gap < kConvergenceTolerance; });
    return static_cast<std::uint64_t>(converged - gaps.begin()) + 1;
}

}  // namespace

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
        out[t] = {max_last[t], var_last[t], total_var[t], last_gap, steps_of(histories[t])};
    }
}

GapSummary summarize_gaps(std::span<const double> gaps, double cutoff) {
    GapSummary summary;
    summarize_gaps_together(std::span(&gaps, 1), cutoff, std::span(&summary, 1));
    return summary;
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
