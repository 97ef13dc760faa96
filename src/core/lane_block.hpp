#pragma once
// Eight runs of one learning rule on games of one shape, stepped together: run t lives in
// lane t of eight-double vectors (one AVX-512 register, two AVX2 ones, four SSE2 ones), every
// quantity stored as such a vector, so the matrix-vector products, the exponentials, the
// normalisations and the projections of eight runs take the instructions of one. Each lane
// performs the operations of the run's own step in the same order (products, folds,
// exponential, sums, divisions, checks), so an accepted step is bit for bit the one the run
// would take alone, on every instruction set. A step that a lane's run would take a special
// way or fail (a result off the simplex, NaN on the way there, a projection that needs its
// shifted retry) is declined for that lane, which is left unchanged: the caller takes that
// step the general way, which also raises the run's failure.
#include <cstddef>
#include <vector>

#include "core/dense.hpp"
#include "core/exponential.hpp"
#include "core/game.hpp"
#include "core/optimizer.hpp"
#include "core/run.hpp"

namespace quarnel {

inline constexpr std::size_t kLaneCount = 8;

// The values of one quantity in the eight lanes.
using LaneValues = exponential_detail::Octet;

// Entries of eight lanes each, in memory aligned to cache lines: the vector type's own
// alignment is smaller in a build without AVX-512 than the AVX-512 build's loads assume.
using LaneVector = std::vector<LaneValues, CacheLineAllocator<LaneValues>>;

// The block's state, structure of arrays: entry i of a quantity is LaneValues (lane t: run t).
struct LaneArrays {
    std::size_t m = 0, n = 0;
    double eta = 0.0;
    LaneVector a;              // m x n, row-major
    LaneVector x, y;           // the strategies
    LaneVector first, second;  // the rule's vectors: hats, or running gradient sums
    // Step scratch: gradients, exponentials, and the candidates a step installs.
    LaneVector grad_x, grad_y, work_x, work_y, next_x, next_y, next_first, next_second;
    LaneVector sorted, sums;  // a projection's entries in descending order, and their running sums
};

// What a step of the lanes did: bit t for lane t.
struct LaneStep {
    unsigned declined;   // left unchanged, for the caller to take the general way
    unsigned converged;  // gap below the convergence tolerance
};

class LaneBlock {
public:
    // True when runs of this game and optimizer can be stepped in a block: the rule's vectors
    // have the game's lengths (none stretching from length 1).
    static bool accepts(const GameState& state, const Optimizer& optimizer);

    // A block for runs of the example's shape and step size, every lane holding the example.
    LaneBlock(const GameState& example, const Optimizer& optimizer);

    // Puts a run (of the block's shape, rule and step size) into a lane, or takes it out.
    void load(std::size_t lane, const GameState& state, const Optimizer& optimizer);
    void store(std::size_t lane, GameState& state, Optimizer& optimizer) const;

    // One step of every lane; gaps[t] is lane t's duality gap (of the strategies held before
    // the step).
    LaneStep step(double (&gaps)[kLaneCount]);

private:
    std::size_t rule_index_;  // the optimizer's variant index
    LaneArrays arrays_;
};

}  // namespace quarnel
