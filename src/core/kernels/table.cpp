// The build's table of kernels.
#include "core/kernels/build.hpp"

namespace quarnel::QUARNEL_KERNELS {

// Where lanes beat runs alone, by the larger dimension of the game (Zen 4, each build forced:
// bench/lanes_vs_alone.cpp, and sweeps' trial-steps with bench/batched.py). OGDA's projections
// sort each lane's entries with a network whose cost grows with the padded length, where a run
// alone re-sorts from the last step's order; a 2 x 2 run alone takes its own scalar path. OGDA
// in lanes against alone: AVX2 32 x 32 330 against 504 ns, two lanes (SSE2) 24 x 24 355
// against 461 and 32 x 32 472 against 701; above 32 every build runs alone (AVX-512 48 x 48:
// 0.8 x, 64 x 64 even; SSE2 0.2-0.3 x, beyond the written-out networks). 2 x 2 OGDA, which the
// lanes step in registers, runs 2.0 x faster in two lanes than alone (7.5 against 15.3). The
// multiplicative rules gain up to 64 x 64 (1.1-1.4 x there), except, with AVX-512, games above
// 48 x 48, where runs alone (their products and exponentials a whole register of entries at a
// time) step faster: 64 x 64 0.82-0.95 x, 48 x 48 1.01-1.5 x (AVX2 64 x 64 1.2 x); at 2 x 2,
// stepped in registers with one exponential a player, 2.1 x with two lanes (sweeps'
// trial-steps, SSE2: mirror descent 18.7 ns against 38.8 alone, FTRL 13.4 against 29.2).
// Two-lane builds other than SSE2 (NEON) take SSE2's limits, unmeasured. Never above 64 x 64:
// each worker's lanes copy the game about twenty times (1 KB an entry with AVX-512), and
// 128 x 128 games ran 30-45% slower in lanes, out of the core's caches.
constexpr LaneShapes kOgdaLanes = LaneShapes{2, 32};
constexpr LaneShapes kMultiplicativeLanes = kWidth == 8 ? LaneShapes{2, 48} : LaneShapes{2, 64};

const Kernels kernels = {.lane_width = kWidth,
                         .lane_blocks = kLaneBlocks,
                         .ogda_lanes = kOgdaLanes,
                         .mirror_descent_lanes = kMultiplicativeLanes,
                         .ftrl_lanes = kMultiplicativeLanes,
                         .matrix_vector_products = matrix_vector_products,
                         .total_order_min = total_order_min,
                         .exp_of_differences = exp_of_differences,
                         .scaled_with_max = scaled_with_max,
                         .tilt_and_normalise = tilt_and_normalise,
                         .normalise = normalise,
                         .sum_of = sum_of,
                         .nan_ignoring_min = nan_ignoring_min,
                         .lane_step = lane_step,
                         .lane_stretch = lane_stretch,
                         .add_entrywise = add_entrywise};

}  // namespace quarnel::QUARNEL_KERNELS
