#pragma once
// Convergence metrics: reduce one gap history to one number.
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "core/run.hpp"

namespace quarnel {

struct MaxLast { double cutoff; };
struct VarLast { double cutoff; };
struct TotalVar {};
using MetricMethod = std::variant<MaxLast, VarLast, TotalVar>;

// Case-insensitive match of max_last, max_last_10, var_last, var_last_10, total_var.
std::optional<MetricMethod> parse_metric_method(std::string_view text, double cutoff);

// The metric of one gap history; panics when a negative cutoff puts the tail start past the end.
double metric_of(std::span<const double> gaps, const MetricMethod& method);

// Everything a sweep reports of one gap history.
struct GapSummary {
    double max_last;   // with the summary's cutoff
    double var_last;   // with the summary's cutoff
    double total_var;
    double last_gap;   // NaN for an empty history
    std::uint64_t steps;  // k + 1 when step k's gap fell below the convergence tolerance, else its length
};

// Panics as metric_of does when the cutoff puts the tail start past the end.
GapSummary summarize_gaps(std::span<const double> gaps, double cutoff);

// The most gap histories summarize_gaps_together reduces side by side.
inline constexpr std::size_t kHistoriesTogether = 4;

// out[t] = summarize_gaps(histories[t], cutoff) for up to kHistoriesTogether histories of one
// length, reduced side by side so that their in-order sums overlap rather than queue.
void summarize_gaps_together(std::span<const std::span<const double>> histories, double cutoff,
                             std::span<GapSummary> out);

// Element i is the metric of results[i]; each result is released once reduced.
std::vector<double> vec_results_to_metrics(std::vector<GameResult> results, const MetricMethod& method);

}  // namespace quarnel
