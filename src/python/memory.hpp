#pragma once
// Memory a call is about to need, checked before any of it is requested. Sizes come from the
// caller (step budgets, trial counts, dimensions, array shapes, broadcast views); a request
// the machine cannot back raises MemoryError up front, rather than letting the zero-filling of
// an allocation that virtual memory granted drive the interpreter out of memory.
#include <cstddef>
#include <cstdint>

namespace quarnel::python {

class MemoryNeed {
public:
    // Adds count * item_bytes; a total that overflows can never be met (std::bad_alloc).
    MemoryNeed& add(std::size_t count, std::size_t item_bytes);
    // std::bad_alloc when the total exceeds the memory the system reports as available.
    void require() const;

private:
    std::size_t bytes_ = 0;
};

// Whether count * item_bytes could be allocated now, by the measure of MemoryNeed::require.
bool fits_in_memory(std::size_t count, std::size_t item_bytes);

// Workers that run pieces of a parallel loop over n items at the same time.
std::size_t concurrent_workers(std::size_t n);

// On every worker busy with a batch of n trials: its copy of a rows x cols trial matrix and
// the gap history of the running trial. `busy` is concurrent_workers(n) or less.
MemoryNeed& add_busy_workers(MemoryNeed& need, std::size_t busy, std::size_t rows, std::size_t cols,
                             std::uint64_t num_steps);

}  // namespace quarnel::python
