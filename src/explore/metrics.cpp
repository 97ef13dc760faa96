#include "explore/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/panic.hpp"
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

std::span<const double> tail_of(std::span<const double> gaps, double cutoff) {
    const std::size_t start = tail_start(gaps.size(), cutoff);
    if (start > gaps.size())
        panic("metric tail would start at index " + std::to_string(start) +
              ", beyond the end of the gap history of length " + std::to_string(gaps.size()));
    return gaps.subspan(start);
}

double max_of(std::span<const double> values) {
    double result = -std::numeric_limits<double>::infinity();
    for (const double value : values) result = std::fmax(result, value);
    return result;
}

double population_variance(std::span<const double> values) {
    if (values.empty()) return 0.0;
    const auto count = static_cast<double>(values.size());
    double sum = -0.0;
    for (const double value : values) sum += value;
    const double mean = sum / count;
    double variance = 0.0;
    for (const double value : values) variance += (value - mean) * (value - mean) / count;
    return variance;
}

double total_variation(std::span<const double> values) {
    double total = 0.0;
    for (std::size_t i = 1; i < values.size(); ++i) total += std::fabs(values[i] - values[i - 1]);
    return total;
}

struct MetricOf {
    std::span<const double> gaps;
    double operator()(const MaxLast& method) const { return max_of(tail_of(gaps, method.cutoff)); }
    double operator()(const VarLast& method) const { return population_variance(tail_of(gaps, method.cutoff)); }
    double operator()(const TotalVar&) const { return total_variation(gaps); }
};

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

GapSummary summarize_gaps(std::span<const double> gaps, double cutoff) {
    const MetricOf metric{gaps};
    // A run stops at its first converged step and repeats that gap: the first gap below the
    // tolerance is the step it converged at.
    const auto converged = std::find_if(gaps.begin(), gaps.end(), [](double gap) { return gap < kConvergenceTolerance; });
    const std::size_t steps = converged == gaps.end() ? gaps.size() : static_cast<std::size_t>(converged - gaps.begin()) + 1;
    return {metric(MaxLast{cutoff}), metric(VarLast{cutoff}), metric(TotalVar{}),
            gaps.empty() ? std::numeric_limits<double>::quiet_NaN() : gaps.back(), steps};
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
