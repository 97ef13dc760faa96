#pragma once
// Convergence metrics: reduce one gap history to one number.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "core/dense.hpp"
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
    // Over the rows run, k < steps (the padding after a convergence repeats its row):
    double best_gap;         // the smallest gap, NaN gaps passed over; NaN when there is none
    std::int64_t best_step;  // the first k with that gap; -1 when there is none
    double rate;  // minus the least-squares slope of ln g_k against k over the rows steps / 2 <= k < steps
                  // whose gap is positive and finite; NaN with fewer than two such rows
};

// The rows a run of this padded gap history ran: k + 1 for the first gap k below the
// convergence tolerance when the run converged (its last gap is below it), else its length.
std::uint64_t steps_run(std::span<const double> gaps);

// Panics as metric_of does when the cutoff puts the tail start past the end.
GapSummary summarize_gaps(std::span<const double> gaps, double cutoff);

// The most gap histories summarize_gaps_together reduces side by side.
inline constexpr std::size_t kHistoriesTogether = 4;

// out[t] = summarize_gaps(histories[t], cutoff) for up to kHistoriesTogether histories of one
// length, reduced side by side so that their in-order sums overlap rather than queue.
void summarize_gaps_together(std::span<const std::span<const double>> histories, double cutoff,
                             std::span<GapSummary> out);

// Tolerances for hitting times, in the caller's order, and that order by decreasing tolerance.
class Tolerances {
public:
    Tolerances() = default;
    explicit Tolerances(Vector values);
    std::span<const double> values() const { return values_; }
    std::size_t size() const { return values_.size(); }

    // out[j] = k + 1 for the first k with gaps[k] < values()[j], else gaps.size() (the budget:
    // a history is padded to it). One pass, whatever the number of tolerances.
    void steps_below(std::span<const double> gaps, std::span<std::uint64_t> out) const;

private:
    Vector values_;
    std::vector<std::size_t> descending_;
};

// The duality gap of the average strategies: x_bar = sum_x / rows, y_bar likewise, then
// max(a^T x_bar) - min(a y_bar), each product summed in index order. NaN for rows = 0.
double average_gap(const Matrix& a, std::span<const double> sum_x, std::span<const double> sum_y, std::uint64_t rows,
                   Vector& scratch);

// Element i is the metric of results[i]; each result is released once reduced.
std::vector<double> vec_results_to_metrics(std::vector<GameResult> results, const MetricMethod& method);

}  // namespace quarnel
