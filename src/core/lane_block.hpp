#pragma once
// Runs of one learning rule on games of one shape, stepped together: run t lives in lane t of
// vector registers (eight doubles with AVX-512, four with AVX2, two with SSE2 or NEON: the
// build's lane_width), every quantity stored as such registers, so the matrix-vector products,
// the exponentials, the normalisations and the projections of a register's runs take the
// instructions of one. Each lane performs the operations of the run's own step in the same
// order (products, folds, exponential, sums, divisions, checks), so an accepted step is bit for
// bit the one the run would take alone, on every instruction set. A step that a lane's run
// would take a special way or fail (a result off the simplex, NaN on the way there, a
// projection that needs its shifted retry) is declined for that lane, which is left unchanged:
// the caller takes that step the general way, which also raises the run's failure.
#include <cstddef>
#include <span>
#include <type_traits>
#include <variant>

#include "core/dense.hpp"
#include "core/game.hpp"
#include "core/optimizer.hpp"
#include "core/run.hpp"

namespace quarnel {

// The most lanes a block has (a mask of lanes fits in an unsigned).
inline constexpr std::size_t kMostLanesInBlock = 8;

// The block's state, structure of arrays: entry i of a quantity is one register, lane t
// holding run t's value. Lanes is double outside the kernels (entry i at i * width), the
// build's register type inside them.
template <typename Lanes>
struct LaneArraysOf {
    std::size_t m = 0, n = 0;
    double eta = 0.0;
    Lanes* a = nullptr;                          // m x n, row-major
    Lanes *x = nullptr, *y = nullptr;            // the strategies
    Lanes *first = nullptr, *second = nullptr;  // the rule's vectors: hats, or running gradient sums
    // Step scratch: gradients, exponentials, and the candidates a step installs.
    Lanes *grad_x = nullptr, *grad_y = nullptr, *work_x = nullptr, *work_y = nullptr;
    Lanes *next_x = nullptr, *next_y = nullptr, *next_first = nullptr, *next_second = nullptr;
    Lanes *sorted = nullptr, *sums = nullptr;  // a projection's entries in descending order, and their running sums
    // Row totals where the block keeps them (else null): the sums of the rows stepped from, and
    // the last of those rows. A stretch of steps adds its rows up itself.
    Lanes *row_sum_x = nullptr, *row_sum_y = nullptr, *last_x = nullptr, *last_y = nullptr;
};

struct LaneArrays : LaneArraysOf<double> {};

// What a step of the lanes did: bit t for lane t.
struct LaneStep {
    unsigned declined;   // left unchanged, for the caller to take the general way
    unsigned converged;  // gap below the convergence tolerance
};

// The variant index of a rule, as the lane step tells the rules apart.
template <typename Rule, typename Variant = OptimizerEnum>
struct RuleIndex;
template <typename Rule, typename... Rules>
struct RuleIndex<Rule, std::variant<Rules...>> {
    static constexpr std::size_t value = [] {
        std::size_t index = 0;
        ((std::is_same_v<Rule, Rules> ? false : (++index, true)) && ...);
        return index;
    }();
};
template <typename Rule>
inline constexpr std::size_t kRuleIndex = RuleIndex<Rule>::value;

class LaneBlock {
public:
    // True when runs of this game and optimizer can be stepped in a block: the rule's vectors
    // have the game's lengths (none stretching from length 1).
    static bool accepts(const GameState& state, const Optimizer& optimizer);
    // The same for runs from an rows x cols game's uniform start.
    static bool accepts(std::size_t rows, std::size_t cols, const Optimizer& optimizer);

    // True when the build in use steps runs of this rule on rows x cols games faster in lanes
    // than alone.
    static bool faster(std::size_t rows, std::size_t cols, const Optimizer& optimizer);

    // A block of the build's lane width for runs of the example's shape and step size, every
    // lane holding the example.
    LaneBlock(const GameState& example, const Optimizer& optimizer);
    LaneBlock(LaneBlock&&) = default;  // the arrays stay where they are
    LaneBlock(const LaneBlock&) = delete;
    LaneBlock& operator=(const LaneBlock&) = delete;

    // Its lanes: the runs it steps together.
    std::size_t width() const { return width_; }

    // Puts a run (of the block's shape, rule and step size) into a lane, or takes it out.
    void load(std::size_t lane, const GameState& state, const Optimizer& optimizer);
    void store(std::size_t lane, GameState& state, Optimizer& optimizer) const;

    // Row totals (see RowTotals) of every lane, kept from here on: started by start_totals,
    // added up by add_rows before each step, read by take_totals.
    void keep_row_totals(bool keep_last);
    void start_totals(std::size_t lane);
    // Adds every lane's row (the strategies its next step starts from) to its totals.
    void add_rows();
    void take_totals(std::size_t lane, RowTotals& totals) const;

    // One step of every lane; gaps[t] (width() entries) is lane t's duality gap (of the
    // strategies held before the step).
    LaneStep step(double* gaps);

    // True when blocks of this one's rule and shape take stretches of steps (below).
    bool stretches() const { return stretch_ != nullptr; }
    // Up to `steps` steps of all the blocks (as many as the build steps together, every one of
    // them stretches()), for as long as every lane takes its step and none converges: lane t
    // of the blocks, block after block, writes its k-th gap to gap_rows[t][k]. Returns the
    // steps taken; the first step some lane would decline or converge at is left to step().
    static std::size_t stretch(std::span<LaneBlock> blocks, std::size_t steps, double* const* gap_rows);

private:
    std::size_t rule_index_;  // the optimizer's variant index
    std::size_t width_;
    LaneStep (*step_)(LaneArrays&, std::size_t, double*);  // the build's kernel
    std::size_t (*stretch_)(LaneArrays* const*, std::size_t, double* const*);  // or nullptr
    Vector storage_;  // every quantity's registers, each starting a cache line
    LaneArrays arrays_;
    Vector totals_;  // the sums of x's and y's rows, then (when kept) the last rows, lanes as arrays_'
    bool keep_last_ = false;
};

}  // namespace quarnel
