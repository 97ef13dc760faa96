// exp_of_differences, a vector register of entries at a time.
#include <cstring>

#include "core/exponential.hpp"
#include "core/kernels/build.hpp"

namespace quarnel::QUARNEL_KERNELS {

namespace {

// Exponentials of `count` (at most a register's) entries from `v` less `shift`; lanes past
// the entries compute a value nobody reads.
[[gnu::always_inline]] inline void exp_register(double* v, std::size_t count, double shift) {
    Doubles lanes = {};
    std::memcpy(&lanes, v, count * sizeof(double));
    lanes = exponential_detail::exp_lanes<Doubles, Bits, true>(lanes - shift);
    std::memcpy(v, &lanes, count * sizeof(double));
}

}  // namespace

void exp_of_differences(double* v, std::size_t length, double shift) {
    std::size_t i = 0;
    for (; i + kWidth <= length; i += kWidth) exp_register(v + i, kWidth, shift);
    if (i < length) exp_register(v + i, length - i, shift);
}

}  // namespace quarnel::QUARNEL_KERNELS
