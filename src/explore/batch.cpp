#include "explore/batch.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <optional>
#include <span>
#include <utility>

#include "core/interrupt.hpp"
#include "core/kernels.hpp"
#include "core/lane_block.hpp"
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

struct SizeOf {
    std::pair<std::size_t, std::size_t> operator()(const PerturbedBase& source) const {
        return {source.base.rows, source.base.cols};
    }
    std::pair<std::size_t, std::size_t> operator()(const StackOfMatrices& source) const {
        return {source.matrices.rows, source.matrices.cols};
    }
};

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
    RowTotals totals;  // its rows added up, where the reduction uses them
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

// Whether the reduction uses the rows' totals, and what it makes of them when a trial's run has
// ended (its `rows` rows run), its matrix still in the slot.
bool adds_rows(const NormAndMetric&) { return false; }
bool keeps_last(const NormAndMetric&) { return false; }
void finish(const NormAndMetric&, const TrialSlot&, std::uint64_t, RandomGameResult&, Vector&) {}

void measure(const FullSummary&, const MatrixView& matrix, TrialSummary& result) {
    for (const NormKind kind : {NormKind::Max, NormKind::Infinity, NormKind::Frobenius})
        result.norms[static_cast<int>(kind)] = norm_function(kind)(matrix);
}

void reduce(const FullSummary& reduction, std::span<const TrialSlot> slots, std::span<TrialSummary> results) {
    std::span<const double> histories[kHistoriesTogether];
    GapSummary summaries[kHistoriesTogether];
    for (std::size_t i = 0; i < results.size(); ++i) histories[i] = slots[i].gaps;
    summarize_gaps_together(std::span(histories, results.size()), reduction.cutoff, std::span(summaries, results.size()));
    for (std::size_t i = 0; i < results.size(); ++i) {
        results[i].gaps = summaries[i];
        results[i].steps_below.resize(reduction.tolerances.size());
        reduction.tolerances.steps_below(slots[i].gaps, results[i].steps_below);
    }
}

bool cannot_fail(const FullSummary& reduction) { return !(reduction.cutoff < 0.0); }

bool adds_rows(const FullSummary&) { return true; }
bool keeps_last(const FullSummary& reduction) { return reduction.keep_last; }
void finish(const FullSummary& reduction, const TrialSlot& slot, std::uint64_t rows, TrialSummary& result,
            Vector& scratch) {
    const RowTotals& totals = slot.totals;
    result.avg_gap = average_gap(slot.game_state.a, totals.sum_x, totals.sum_y, rows, scratch);
    if (!reduction.keep_last) return;
    result.last_x.assign(totals.last_x.begin(), totals.last_x.end());
    result.last_y.assign(totals.last_y.begin(), totals.last_y.end());
}

// Multiply-adds of one trial's run, saturating: how often to poll between trials.
std::size_t work_of_trial(const BatchPlan& plan, const Matrix& matrix) {
    std::size_t work;
    if (__builtin_mul_overflow(plan.num_steps, std::max<std::size_t>(matrix.data.size(), 1), &work)) return SIZE_MAX;
    return work;
}

// The trial's fresh state and matrix in the slot, measured before the run.
template <typename Reduction>
void prepare(const BatchPlan& plan, const Reduction& reduction, TrialSlot& slot, std::uint64_t trial,
             typename Reduction::Result& result) {
    Matrix& matrix = slot.game_state.a;
    if (const auto* perturbed = std::get_if<PerturbedBase>(&plan.source)) {
        // From the template's vectors: a rule's vectors stretching from length 1 grow to the
        // game's lengths in a run, and the next trial must not start from those. Reset to the
        // uniform start unless the batch has a start point, whose vectors the template holds.
        slot.optimizer = *plan.optimizer;
        if (plan.start == nullptr) slot.optimizer.reset();
        draw_trial_perturbation(matrix, perturbed->magnitudes, perturbed->key, trial);
        measure(reduction, MatrixView::of(matrix), result);  // the perturbation alone
        add_entrywise(matrix, perturbed->base);
    } else {
        const auto& stack = std::get<StackOfMatrices>(plan.source);
        slot.optimizer = plan.optimizer->clone();  // deliberately not reset
        copy_entries(matrix, stack.matrices[trial]);
        if (stack.normalize) normalize_min_max(matrix);
        measure(reduction, MatrixView::of(matrix), result);
    }
    if (plan.start == nullptr) {
        fill_uniform(slot.game_state.x);
        fill_uniform(slot.game_state.y);
    } else {
        slot.game_state.x.assign(plan.start->x.begin(), plan.start->x.end());
        slot.game_state.y.assign(plan.start->y.begin(), plan.start->y.end());
    }
}

// Runs in lanes keep their gap histories alive (trials_in_lanes() stepping, up to
// kHistoriesTogether waiting for their reduction): only for runs short enough that those stay
// small (20 MB at most).
constexpr std::uint64_t kMostStepsInLanes = std::uint64_t{1} << 17;

// Trials in lanes: runs short enough (their histories stay alive while they step), of a rule
// and shape that step faster in lanes with this build, with a reduction that cannot fail (a
// failing one must stop the batch before later trials run).
bool steps_in_lanes(std::size_t rows, std::size_t cols, const Optimizer& optimizer, std::uint64_t num_steps,
                    bool reduction_cannot_fail) {
    return reduction_cannot_fail && num_steps > 0 && num_steps <= kMostStepsInLanes &&
           LaneBlock::accepts(rows, cols, optimizer) && LaneBlock::faster(rows, cols, optimizer);
}

// Block steps between two looks at the parallel loop's cancel flag.
constexpr std::size_t kStepsPerCancelCheck = 256;

// Trials stepped trials_in_lanes() at a time, one per lane of the LaneBlocks; a trial enters a
// lane as soon as the one before it there has ended, so lanes stay full while trials end at
// different steps. Each trial's gaps and result are those of its run alone: a step a lane
// declines is taken the general way, and a failing trial first lets the trials before it
// finish alone, one of whose failures would have come first run by run. Ended trials are
// reduced kHistoriesTogether at a time.
template <typename Reduction>
class LaneExploration {
public:
    using Result = typename Reduction::Result;

    // Blocks stepped one after the other (as many as the build's table says): the processor
    // overlaps one block's step with the next one's, which a single block's chain of dependent
    // operations leaves idle.
    LaneExploration(const BatchPlan& plan, const Reduction& reduction, const TrialSlot& example)
        : plan_(plan), reduction_(reduction), lanes_(trials_in_lanes()) {
        for (std::size_t b = 0; b < kernels().lane_blocks; ++b) {
            blocks_.emplace_back(example.game_state, example.optimizer);
            if (adds_rows(reduction)) blocks_.back().keep_row_totals(keeps_last(reduction));
        }
        width_ = blocks_[0].width();
        stretches_ = blocks_[0].stretches();
        all_lanes_ = lanes_.size() == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << lanes_.size()) - 1;
        for (Lane& lane : lanes_) lane.slot = example;
        for (TrialSlot& slot : ended_) slot = example;
    }

    // Trials first .. first + count - 1, trial first + k's result handed to store(k, result).
    void run(std::uint64_t first, std::size_t count, const ResultSink<Result>& store) {
        first_ = first, count_ = count, next_ = 0, store_ = &store, ended_count_ = 0, busy_ = 0;
        for (std::size_t t = 0; t < lanes_.size(); ++t) enter_next(t);
        const GameState& shape = lanes_[0].slot.game_state;
        StopPoller poller(lanes_.size() * shape.a.rows * shape.a.cols);
        std::size_t until_cancel_check = kStepsPerCancelCheck;
        for (std::size_t steps_left = steps_to_first_end(); busy_ != 0;) {
            // Common steps in stretches where the blocks take them so, up to the next poll,
            // look at the cancel flag or lane at its last step, which the loop below takes.
            if (stretches_ && busy_ == all_lanes_) {
                const std::size_t most = std::min({steps_left - 1, until_cancel_check - 1, poller.quiet_ticks()});
                if (most > 0) {
                    const std::size_t taken = stretch(most);
                    poller.skip(taken);
                    until_cancel_check -= taken;
                    steps_left -= taken;
                    if (taken == most) continue;
                }
            }
            poller.tick();
            if (--until_cancel_check == 0) {
                if (parallel_loop_cancelled()) return;
                until_cancel_check = kStepsPerCancelCheck;
            }
            double gaps[kMostTrialsInLanes];
            const Outcome outcome = step_blocks(gaps);
            // The common step: every lane busy and going on.
            if (outcome.declined == 0 && outcome.converged == 0 && steps_left > 1 && busy_ == all_lanes_) {
                for (std::size_t t = 0; t < lanes_.size(); ++t) lanes_[t].slot.gaps[lanes_[t].step++] = gaps[t];
                --steps_left;
                continue;
            }
            // The lanes that took their step first: then every lane's state is that of its
            // recorded steps when a declined one fails.
            for (std::size_t t = 0; t < lanes_.size(); ++t)
                if (busy(t) && !(outcome.declined >> t & 1u)) record(t, gaps[t]);
            for (std::size_t t = 0; t < lanes_.size(); ++t)
                if (busy(t) && outcome.declined >> t & 1u) record(t, step_alone(t));
            steps_left = steps_to_first_end();
        }
        reduce_ended();
    }

private:
    // What a step of the blocks did: bit t for lane t of the worker's.
    struct Outcome {
        std::uint64_t declined, converged;
    };

    // Up to `most` common steps of every block (every lane busy and going on): their gaps
    // straight into the lanes' histories. Returns the steps taken.
    std::size_t stretch(std::size_t most) {
        double* gap_rows[kMostTrialsInLanes];
        for (std::size_t t = 0; t < lanes_.size(); ++t) gap_rows[t] = lanes_[t].slot.gaps.data() + lanes_[t].step;
        const std::size_t taken = LaneBlock::stretch(blocks_, most, gap_rows);
        for (Lane& lane : lanes_) lane.step += taken;
        return taken;
    }

    Outcome step_blocks(double* gaps) {
        Outcome outcome{0, 0};
        const std::uint64_t all_in_block = (std::uint64_t{1} << width_) - 1;
        for (std::size_t b = 0; b < blocks_.size(); ++b) {
            if ((busy_ >> (b * width_) & all_in_block) == 0) continue;  // a block left idle at a piece's end
            if (adds_rows(reduction_)) blocks_[b].add_rows();
            const LaneStep step = blocks_[b].step(gaps + b * width_);
            outcome.declined |= std::uint64_t{step.declined} << (b * width_);
            outcome.converged |= std::uint64_t{step.converged} << (b * width_);
        }
        return outcome;
    }
    LaneBlock& block_of(std::size_t t) { return blocks_[t / width_]; }
    std::size_t in_block(std::size_t t) const { return t % width_; }

    struct Lane {
        TrialSlot slot;
        Result result{};
        std::uint64_t trial = 0;  // index from first_
        std::size_t step = 0;     // the step the lane takes next
    };

    bool busy(std::size_t t) const { return busy_ >> t & 1u; }

    // Steps until the first busy lane reaches its last step.
    std::size_t steps_to_first_end() const {
        std::size_t fewest = SIZE_MAX;
        for (std::size_t t = 0; t < lanes_.size(); ++t)
            if (busy(t)) fewest = std::min<std::size_t>(fewest, plan_.num_steps - lanes_[t].step);
        return fewest;
    }

    // The next trial into lane t, or the lane left idle (still stepped, its results unread).
    void enter_next(std::size_t t) {
        Lane& lane = lanes_[t];
        busy_ &= ~(std::uint64_t{1} << t);
        if (next_ == count_ || parallel_loop_cancelled()) return;
        busy_ |= std::uint64_t{1} << t;
        lane.trial = next_++;
        lane.step = 0;
        prepare(plan_, reduction_, lane.slot, first_ + lane.trial, lane.result);
        lane.slot.gaps.resize(plan_.num_steps);
        block_of(t).load(in_block(t), lane.slot.game_state, lane.slot.optimizer);
        if (adds_rows(reduction_)) block_of(t).start_totals(in_block(t));
    }

    // The gap of lane t's step; the trial ends at convergence (the rest of its history repeats
    // the converging gap) or at the last step, and waits for its reduction.
    void record(std::size_t t, double gap) {
        Lane& lane = lanes_[t];
        Vector& gaps = lane.slot.gaps;
        gaps[lane.step] = gap;
        if (gap < kConvergenceTolerance) std::fill(gaps.begin() + lane.step + 1, gaps.end(), gap);
        else if (++lane.step < plan_.num_steps) return;
        if (adds_rows(reduction_)) {
            block_of(t).take_totals(in_block(t), lane.slot.totals);
            finish(reduction_, lane.slot, std::min<std::uint64_t>(lane.step + 1, plan_.num_steps), lane.result,
                   scratch_);
        }
        std::swap(gaps, ended_[ended_count_].gaps);
        ended_results_[ended_count_] = lane.result;
        ended_trials_[ended_count_] = lane.trial;
        if (++ended_count_ == kHistoriesTogether) reduce_ended();
        enter_next(t);
    }

    // Reduces the ended trials (their histories side by side) and hands their results out.
    void reduce_ended() {
        const std::size_t count = std::exchange(ended_count_, 0);
        reduce(reduction_, std::span(ended_, count), std::span(ended_results_, count));
        for (std::size_t k = 0; k < count; ++k) (*store_)(ended_trials_[k], ended_results_[k]);
    }

    // Lane t's step the general way, which raises the trial's failure if it has one.
    double step_alone(std::size_t t) {
        TrialSlot& slot = lanes_[t].slot;
        block_of(t).store(in_block(t), slot.game_state, slot.optimizer);
        try {
            const double gap = slot.optimizer.step(slot.game_state, workspace_);
            block_of(t).load(in_block(t), slot.game_state, slot.optimizer);
            return gap;
        } catch (abi::__forced_unwind&) {
            throw;  // the thread is being ended: nothing is left to finish for
        } catch (...) {
            finish_alone_before(lanes_[t].trial);
            throw;
        }
    }

    // Runs the busy trials before `trial` to their ends alone, in trial order.
    void finish_alone_before(std::uint64_t trial) {
        for (;;) {
            Lane* earliest = nullptr;
            for (std::size_t t = 0; t < lanes_.size(); ++t)
                if (busy(t) && lanes_[t].trial < trial && (earliest == nullptr || lanes_[t].trial < earliest->trial))
                    earliest = &lanes_[t];
            if (earliest == nullptr) return;
            const auto lane = static_cast<std::size_t>(earliest - lanes_.data());
            block_of(lane).store(in_block(lane), earliest->slot.game_state, earliest->slot.optimizer);
            busy_ &= ~(std::uint64_t{1} << lane);
            StopPoller poller(work_of_trial(plan_, earliest->slot.game_state.a) / plan_.num_steps);
            for (std::size_t k = earliest->step; k < plan_.num_steps; ++k) {
                poller.tick();
                if (earliest->slot.optimizer.step(earliest->slot.game_state, workspace_) < kConvergenceTolerance) break;
            }
        }
    }

    const BatchPlan& plan_;
    const Reduction& reduction_;
    std::vector<Lane> lanes_;
    std::vector<LaneBlock> blocks_;
    std::size_t width_ = 0;  // lanes a block
    bool stretches_ = false;  // the blocks take common steps in stretches
    // Ended trials waiting for their reduction: their histories (in slots, as reduce takes
    // them), results and indices.
    TrialSlot ended_[kHistoriesTogether];
    Result ended_results_[kHistoriesTogether]{};
    std::uint64_t ended_trials_[kHistoriesTogether] = {};
    std::size_t ended_count_ = 0;
    std::uint64_t busy_ = 0;  // the lanes holding a trial
    std::uint64_t all_lanes_ = 0;
    StepWorkspace workspace_;
    Vector scratch_;  // for finish
    std::uint64_t first_ = 0;
    std::size_t count_ = 0, next_ = 0;
    const ResultSink<Result>* store_ = nullptr;
};

// The working state of one worker over one contiguous piece of a batch: trials in lanes where
// they can be, else one after another.
template <typename Reduction>
class Exploration {
public:
    using Result = typename Reduction::Result;

    Exploration(const BatchPlan& plan, const Reduction& reduction)
        : plan_(plan),
          reduction_(reduction),
          slot_{plan.optimizer->clone(), GameState::from_matrix(std::visit(ShapeOf{}, plan.source)), {}, {}} {
        slot_.totals.keep_last = keeps_last(reduction);
        const auto [rows, cols] = std::visit(SizeOf{}, plan.source);
        if (steps_in_lanes(rows, cols, *plan.optimizer, plan.num_steps, cannot_fail(reduction)))
            lanes_.emplace(plan, reduction, slot_);
    }

    std::size_t group_size() const { return lanes_ ? trials_in_lanes() : 1; }

    // Trials first .. first + count - 1, trial first + k's result handed to store(k, result).
    void run(std::uint64_t first, std::size_t count, const ResultSink<Result>& store) {
        if (lanes_) {
            lanes_->run(first, count, store);
            return;
        }
        // Also between trials too short to reach a poll of their own.
        StopPoller poller(work_of_trial(plan_, slot_.game_state.a));
        for (std::size_t k = 0; k < count && !parallel_loop_cancelled(); ++k) {
            poller.tick();
            Result result{};
            prepare(plan_, reduction_, slot_, first + k, result);
            const Experiment experiment{plan_.num_steps};
            if (adds_rows(reduction_)) {
                experiment.run_recording_gaps(slot_.game_state, slot_.optimizer, slot_.gaps, workspace_, slot_.totals);
                finish(reduction_, slot_, steps_run(slot_.gaps), result, scratch_);
            } else {
                experiment.run_recording_gaps(slot_.game_state, slot_.optimizer, slot_.gaps, workspace_);
            }
            reduce(reduction_, std::span(&slot_, 1), std::span(&result, 1));  // on the worker: no history outlives it
            store(k, result);
        }
    }

private:
    const BatchPlan& plan_;
    const Reduction& reduction_;
    TrialSlot slot_;
    StepWorkspace workspace_;  // step scratch memory, reused by every trial
    Vector scratch_;           // for finish
    std::optional<LaneExploration<Reduction>> lanes_;
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
        exploration.run(first + begin, end - begin,
                        [&](std::size_t k, const typename Reduction::Result& result) { store(begin + k, result); });
    });
}

std::size_t trials_in_lanes() { return kernels().lane_width * kernels().lane_blocks; }

template <typename Reduction>
std::size_t trials_run_together(const BatchPlan& plan, const Reduction& reduction) {
    const auto [rows, cols] = std::visit(SizeOf{}, plan.source);
    return steps_in_lanes(rows, cols, *plan.optimizer, plan.num_steps, cannot_fail(reduction)) ? trials_in_lanes() : 1;
}

std::size_t sweep_trials_run_together(std::size_t rows, std::size_t cols, const Optimizer& optimizer,
                                      std::uint64_t num_steps, double cutoff) {
    return steps_in_lanes(rows, cols, optimizer, num_steps, cannot_fail(FullSummary{cutoff})) ? trials_in_lanes() : 1;
}

template void run_trials(const BatchPlan&, const NormAndMetric&, std::uint64_t, std::uint64_t, std::size_t,
                         const ResultSink<RandomGameResult>&);
template void run_trials(const BatchPlan&, const FullSummary&, std::uint64_t, std::uint64_t, std::size_t,
                         const ResultSink<TrialSummary>&);
template std::size_t trials_run_together(const BatchPlan&, const NormAndMetric&);
template std::size_t trials_run_together(const BatchPlan&, const FullSummary&);

}  // namespace quarnel
