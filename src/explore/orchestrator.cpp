#include "explore/orchestrator.hpp"

#include "core/panic.hpp"
#include "explore/batch.hpp"

namespace quarnel {
namespace {

// The module's explorations are sweeps under a fresh key from the OS: one trial path, with
// results nobody can (or is meant to) reproduce.
BatchPlan batch_plan(const MatrixView& base_matrix, const Optimizer& optimizer, const ExplorationParams& params,
                     UniformRange range, const SweepKey& key) {
    return {PerturbedBase{base_matrix, range, key}, &optimizer, params.num_steps};
}

}  // namespace

ScatteredOutput ScatteredOutput::create(const MatrixView& base_matrix, const Optimizer& optimizer,
                                        const ExplorationParams& params, NormKind norm_kind) {
    const NormAndMetric reduction{norm_function(norm_kind), params.metric_method};
    const UniformRange range = UniformRange::create_or_panic(params.inner_radius, params.outer_radius);
    const auto trials = run_trials(batch_plan(base_matrix, optimizer, params, range, SweepKey::from_entropy()),
                                   reduction, 0, params.num_exploration);
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
    const NormAndMetric reduction{max_norm, params.metric_method};
    const SweepKey key = SweepKey::from_entropy();
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
        // Slice s holds trials s * per_slice + j of one sweep.
        const auto trials =
            run_trials(batch_plan(base_matrix, optimizer, params, range, key), reduction, slice * per_slice, per_slice);
        Vector& metrics = output.metrics.emplace_back();
        metrics.reserve(trials.size());
        for (const RandomGameResult& trial : trials) metrics.push_back(trial.metric);
    }
    return output;
}

}  // namespace quarnel
