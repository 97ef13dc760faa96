#include "explore/batch.hpp"

#include <algorithm>
#include <span>

#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "core/run.hpp"
#include "explore/neighborhood.hpp"
#include "explore/pool.hpp"

namespace quarnel {
namespace {

void fill_uniform(Vector& strategy) {
    const double share = 1.0 / static_cast<double>(strategy.size());
    std::fill(strategy.begin(), strategy.end(), share);
}

// Loops over the entries of huge matrices poll the stop check a row at a time (a poll every
// million entries or so), so that even a single trial's setup stops promptly.
void add_entrywise(Matrix& target, const MatrixView& addend) {
    StopPoller poller(target.cols);
    for (std::size_t i = 0; i < target.rows; ++i) {
        poller.tick();
        for (std::size_t j = 0; j < target.cols; ++j) target(i, j) += addend(i, j);
    }
}

void copy_entries(Matrix& target, const MatrixView& source) {
    StopPoller poller(target.cols);
    for (std::size_t i = 0; i < target.rows; ++i) {
        poller.tick();
        for (std::size_t j = 0; j < target.cols; ++j) target(i, j) = source(i, j);
    }
}

// A rows x cols matrix whose entries every trial overwrites, zero-filled in polled blocks.
Matrix blank_matrix(std::size_t rows, std::size_t cols) {
    Matrix blank{rows, cols, {}};
    grow_polled(blank.data, checked_product(rows, cols), kWorkPerPoll, [](std::size_t, std::size_t) {});
    return blank;
}

struct ShapeOf {
    Matrix operator()(const PerturbedBase& source) const { return blank_matrix(source.base.rows, source.base.cols); }
    Matrix operator()(const StackOfMatrices& source) const {
        return blank_matrix(source.matrices.rows, source.matrices.cols);
    }
};

// One trial's working state, reused by the trials that follow.
struct TrialSlot {
    Optimizer optimizer;
    GameState game_state;
    Vector gaps;  // the trial's gap history
};

// ---- reductions: measuring a trial's matrix before the run, reducing a group's gaps after ----

void measure(const NormAndMetric& reduction, const MatrixView& matrix, RandomGameResult& result) {
    result.norm = reduction.norm_fn(matrix);
}

void reduce(const NormAndMetric& reduction, std::span<const TrialSlot> slots, std::span<RandomGameResult> results) {
    for (std::size_t i = 0; i < results.size(); ++i) results[i].metric = metric_of(slots[i].gaps, reduction.metric_method);
}

struct MetricCannotFail {
    bool operator()(const TotalVar&) const { return true; }
    template <typename TailMetric>
    bool operator()(const TailMetric& method) const {
        return !(method.cutoff < 0.0);
    }
};

bool cannot_fail(const NormAndMetric& reduction) { return std::visit(MetricCannotFail{}, reduction.metric_method); }

void measure(const FullSummary&, const MatrixView& matrix, TrialSummary& result) {
    for (const NormKind kind : {NormKind::Max, NormKind::Infinity, NormKind::Frobenius})
        result.norms[static_cast<int>(kind)] = norm_function(kind)(matrix);
}

void reduce(const FullSummary& reduction, std::span<const TrialSlot> slots, std::span<TrialSummary> results) {
    std::span<const double> histories[kRunsTogether];
    GapSummary summaries[kRunsTogether];
    for (std::size_t i = 0; i < results.size(); ++i) histories[i] = slots[i].gaps;
    summarize_gaps_together(std::span(histories, results.size()), reduction.cutoff, std::span(summaries, results.size()));
    for (std::size_t i = 0; i < results.size(); ++i) results[i].gaps = summaries[i];
}

bool cannot_fail(const FullSummary& reduction) { return !(reduction.cutoff < 0.0); }

// Trials run together each keep a gap history alive: only for runs short enough that those
// stay small next to everything else.
constexpr std::uint64_t kMostStepsTogether = std::uint64_t{1} << 20;

// Multiply-adds of one trial's run, saturating: how often to poll between trials.
std::size_t work_of_trial(const BatchPlan& plan, const Matrix& matrix) {
    std::size_t work;
    if (__builtin_mul_overflow(plan.num_steps, std::max<std::size_t>(matrix.data.size(), 1), &work)) return SIZE_MAX;
    return work;
}

// The working state of one worker over one contiguous piece of a batch.
template <typename Reduction>
class Exploration {
public:
    using Result = typename Reduction::Result;

    Exploration(const BatchPlan& plan, const Reduction& reduction) : plan_(plan), reduction_(reduction) {
        slots_.push_back({plan.optimizer->clone(), GameState::from_matrix(std::visit(ShapeOf{}, plan.source)), {}});
        const bool together = plan.num_steps <= kMostStepsTogether && cannot_fail(reduction) &&
                              steps_together(slots_.front().game_state, slots_.front().optimizer);
        if (together) slots_.resize(kRunsTogether, slots_.front());
    }

    std::size_t group_size() const { return slots_.size(); }
    std::size_t work_of_trial() const { return quarnel::work_of_trial(plan_, slots_.front().game_state.a); }

    // Trials first, first + 1, ... (one per result, at most one per slot): each is prepared
    // in trial order, then they run together; each result is what its clean run alone gives.
    void run(std::uint64_t first, std::span<Result> results) {
        if (results.size() > slots_.size()) panic("more trials than slots");
        GapRun runs[kRunsTogether];
        for (std::size_t i = 0; i < results.size(); ++i) {
            TrialSlot& slot = slots_[i];
            prepare(slot, first + i, results[i]);
            runs[i] = {&slot.game_state, &slot.optimizer, &slot.gaps};
        }
        Experiment{plan_.num_steps}.run_recording_gaps_together(std::span(runs, results.size()), workspace_);
        // Reduced here, on the worker, so no history outlives its trial.
        reduce(reduction_, slots_, results);
    }

private:
    // The trial's fresh state and matrix, measured before the run.
    void prepare(TrialSlot& slot, std::uint64_t trial, Result& result) {
        Matrix& matrix = slot.game_state.a;
        if (const auto* perturbed = std::get_if<PerturbedBase>(&plan_.source)) {
            slot.optimizer.reset();
            draw_trial_perturbation(matrix, perturbed->magnitudes, perturbed->key, trial);
            measure(reduction_, MatrixView::of(matrix), result);  // the perturbation alone
            add_entrywise(matrix, perturbed->base);
        } else {
            const auto& stack = std::get<StackOfMatrices>(plan_.source);
            slot.optimizer = plan_.optimizer->clone();  // deliberately not reset
            copy_entries(matrix, stack.matrices[trial]);
            if (stack.normalize) normalize_min_max(matrix);
            measure(reduction_, MatrixView::of(matrix), result);
        }
        fill_uniform(slot.game_state.x);
        fill_uniform(slot.game_state.y);
    }

    const BatchPlan& plan_;
    const Reduction& reduction_;
    // kRunsTogether slots where trials can be stepped together, else one.
    std::vector<TrialSlot> slots_;
    StepWorkspace workspace_;  // step scratch memory, reused by every trial
};

// Calls process_piece on contiguous pieces covering [0, n), on at most `workers` threads at
// once (0: as many as the pool has): a capped loop is cut into exactly that many pieces.
void for_pieces_on(std::size_t workers, std::size_t n, const std::function<void(std::size_t, std::size_t)>& process_piece) {
    if (workers == 0 || workers >= n || workers >= pool_size()) {
        parallel_for_pieces(n, process_piece);
        return;
    }
    parallel_for_pieces(workers, [&](std::size_t first_lane, std::size_t end_lane) {
        for (std::size_t lane = first_lane; lane < end_lane; ++lane)
            process_piece(lane * n / workers, (lane + 1) * n / workers);
    });
}

}  // namespace

void draw_trial_perturbation(Matrix& target, const UniformRange& magnitudes, const SweepKey& key,
                             std::uint64_t index) {
    TrialStream stream(key, index);
    draw_perturbation(target, magnitudes, stream);
}

template <typename Reduction>
void run_trials(const BatchPlan& plan, const Reduction& reduction, std::uint64_t first, std::uint64_t count,
                std::size_t workers, const ResultSink<typename Reduction::Result>& store) {
    for_pieces_on(workers, count, [&](std::size_t begin, std::size_t end) {
        Exploration<Reduction> exploration(plan, reduction);
        const std::size_t group = exploration.group_size();
        typename Reduction::Result results[kRunsTogether];
        // Also between trials too short to reach a poll of their own.
        StopPoller poller(exploration.work_of_trial());
        for (std::size_t i = begin; i < end && !parallel_loop_cancelled(); i += group) {
            poller.tick();
            const std::size_t trials = std::min(group, end - i);
            exploration.run(first + i, std::span(results, trials));
            for (std::size_t t = 0; t < trials; ++t) store(i + t, results[t]);
        }
    });
}

template <typename Reduction>
std::size_t trials_run_together(const BatchPlan& plan, const Reduction& reduction) {
    return Exploration<Reduction>(plan, reduction).group_size();
}

template void run_trials(const BatchPlan&, const NormAndMetric&, std::uint64_t, std::uint64_t, std::size_t,
                         const ResultSink<RandomGameResult>&);
template void run_trials(const BatchPlan&, const FullSummary&, std::uint64_t, std::uint64_t, std::size_t,
                         const ResultSink<TrialSummary>&);
template std::size_t trials_run_together(const BatchPlan&, const NormAndMetric&);
template std::size_t trials_run_together(const BatchPlan&, const FullSummary&);

}  // namespace quarnel
