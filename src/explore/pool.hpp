#pragma once
// The process-wide worker pool and the parallel loop over contiguous index pieces.
#include <cstddef>
#include <functional>

namespace quarnel {

// Number of workers of the pool (creating the pool if needed). Sized from RAYON_NUM_THREADS,
// then RAYON_RS_NUM_CPUS, then the processors available to the process.
std::size_t pool_size();

// Calls process_piece(begin, end) on contiguous pieces that together cover [0, n), on the
// pool's workers (the calling thread waits, running its stop check now and then). While the
// pool runs another caller's loop, the calling thread processes all of [0, n) itself instead.
// Each piece is handed to exactly one call, which should process it in increasing index order.
// The first exception thrown by any piece stops the hand-out of further pieces; once every
// running piece has returned, it is rethrown on the calling thread.
void parallel_for_pieces(std::size_t n, const std::function<void(std::size_t, std::size_t)>& process_piece);

// True inside a piece whose parallel loop has already failed elsewhere: the piece may stop
// early, since its results will be discarded. False outside parallel loops.
bool parallel_loop_cancelled();

// The pool size for the given values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (nullptr when
// unset) and the number of processors available to the process.
std::size_t pool_size_for(const char* num_threads, const char* num_cpus, std::size_t available_processors);

// A pool size and what chose it: "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS" or "available processors".
struct PoolSizeChoice {
    std::size_t workers;
    const char* source;
};
PoolSizeChoice pool_sizing_for(const char* num_threads, const char* num_cpus, std::size_t available_processors);

// What the current environment makes choose the pool size (the pool is sized once, when first used).
const char* pool_size_source();

// Processors this process may run on: the affinity mask, limited by a control-group CPU
// quota; 1 when unknown.
std::size_t available_processors();

}  // namespace quarnel
