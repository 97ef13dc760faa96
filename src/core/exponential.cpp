#include "core/exponential.hpp"

#include <cstring>

#include "core/instruction_sets.hpp"

namespace quarnel {

namespace {

using exponential_detail::Octet;

#pragma GCC diagnostic ignored "-Wpsabi"

// Exponentials of `count` (at most eight) entries from `v` less `shift`; lanes past the
// entries compute a value nobody reads.
[[gnu::always_inline]] inline void exp_octet(double* v, std::size_t count, double shift) {
    Octet lanes = {};
    std::memcpy(&lanes, v, count * sizeof(double));
    lanes = exponential_detail::exp_lanes<Octet, exponential_detail::OctetBits, true>(lanes - shift);
    std::memcpy(v, &lanes, count * sizeof(double));
}

}  // namespace

QUARNEL_INSTRUCTION_SET_CLONES void exp_of_differences(std::span<double> v, double shift) {
    constexpr std::size_t kLanes = sizeof(Octet) / sizeof(double);
    std::size_t i = 0;
    for (; i + kLanes <= v.size(); i += kLanes) exp_octet(v.data() + i, kLanes, shift);
    if (i < v.size()) exp_octet(v.data() + i, v.size() - i, shift);
}

}  // namespace quarnel
