#include "explore/orchestrator.hpp"

#include "core/panic.hpp"
#include "explore/batch.hpp"

namespace quarnel {
namespace {

BatchPlan batch_plan(const MatrixView& base_matrix, const Optimizer& optimizer, const ExplorationParams& params,
                     NormFn norm_fn, UniformRange range) {
    return {base_matrix, &optimizer, params.num_steps, norm_fn, range, params.metric_method};
}

}  // namespace

ScatteredOutput ScatteredOutput::create(const MatrixView& base_matrix, const Optimizer& optimizer,
                                        const ExplorationParams& params, NormKind norm_kind) {
    const NormFn norm_fn = norm_function(norm_kind);
    const UniformRange range = UniformRange::create_or_panic(params.inner_radius, params.outer_radius);
    const auto trials = run_batch_exploration(batch_plan(base_matrix, optimizer, params, norm_fn, range),
                                              params.num_exploration);
    ScatteredOutput output;
    output.norms.reserve(trials.size());
    output.metrics.reserve(trials.size());
    for (const RandomGameResult& trial : trials) {
        output.norms.push_back(trial.norm);
        output.metrics.push_back(trial.metric);
    }
    return output;
}

ConcentricOutput ConcentricOutput::create(const MatrixView& base_matrix, const Optimizer& optimizer,
                                          const ExplorationParams& params, std::uint64_t num_slices) {
    if (num_slices == 0) panic("attempt to divide by zero");
    const std::uint64_t per_slice = params.num_exploration / num_slices;
    const double width = (params.outer_radius - params.inner_radius) / static_cast<double>(num_slices);
    ConcentricOutput output;
    // Room for every slice up front: an impossible slice count fails here, before any run.
    output.slice_boundaries.reserve(num_slices);
    output.metrics.reserve(num_slices);
    for (std::uint64_t slice = 0; slice < num_slices; ++slice) {
        // Both ends from the inner radius, never by summing widths, so rounding does not drift.
        const double index = static_cast<double>(slice);
        const double low = params.inner_radius + width * index;
        const double high = params.inner_radius + width * (index + 1.0);
        output.slice_boundaries.emplace_back(low, high);
        const UniformRange range = UniformRange::create_or_panic(low, high);
        const Optimizer slice_optimizer = optimizer.clone();
        const auto trials =
            run_batch_exploration(batch_plan(base_matrix, slice_optimizer, params, max_norm, range), per_slice);
        Vector& metrics = output.metrics.emplace_back();
        metrics.reserve(trials.size());
        for (const RandomGameResult& trial : trials) metrics.push_back(trial.metric);
    }
    return output;
}

}  // namespace quarnel
