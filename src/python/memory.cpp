#include "python/memory.hpp"

#include <algorithm>
#include <fstream>
#include <new>
#include <optional>
#include <sstream>
#include <string>

#include "core/dense.hpp"
#include "explore/pool.hpp"

namespace quarnel::python {
namespace {

// Needs up to this size are not worth a look at the system's figures.
constexpr std::size_t kUncheckedBytes = std::size_t{64} << 20;

// "MemAvailable" of /proc/meminfo: what can be allocated without swapping, page cache included.
std::optional<std::size_t> available_bytes() {
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);) {
        std::istringstream fields(line);
        std::string key;
        std::size_t kilobytes = 0;
        if (fields >> key >> kilobytes && key == "MemAvailable:") return kilobytes * 1024;
    }
    return std::nullopt;
}

bool can_allocate(std::size_t bytes) {
    if (bytes <= kUncheckedBytes) return true;
    const auto available = available_bytes();
    return !available || bytes <= *available;
}

}  // namespace

MemoryNeed& MemoryNeed::add(std::size_t count, std::size_t item_bytes) {
    const std::size_t bytes = checked_product(count, item_bytes);
    if (__builtin_add_overflow(bytes_, bytes, &bytes_)) throw std::bad_alloc();
    return *this;
}

void MemoryNeed::require() const {
    if (!can_allocate(bytes_)) throw std::bad_alloc();
}

bool fits_in_memory(std::size_t count, std::size_t item_bytes) {
    std::size_t bytes;
    return !__builtin_mul_overflow(count, item_bytes, &bytes) && can_allocate(bytes);
}

std::size_t concurrent_workers(std::size_t n) { return n <= 1 ? n : std::min(n, pool_size()); }

MemoryNeed& add_busy_workers(MemoryNeed& need, std::size_t busy, std::size_t rows, std::size_t cols,
                             std::uint64_t num_steps) {
    return need.add(busy, checked_product(checked_product(rows, cols), sizeof(double)))
        .add(busy, checked_product(num_steps, sizeof(double)));
}

}  // namespace quarnel::python
