#include "core/exponential.hpp"

#include <cstring>


namespace quarnel {

namespace {

using exponential_detail::Octet;

#pragma GCC diagnostic ignored "-Wpsabi"

// Exponentials of `count` (at most eight) entries from `v` less `shift`; lanes past the
// entries compute a value nobody reads.
template <bool kWidePermute>
[[gnu::always_inline]] inline void exp_octet(double* v, std::size_t count, double shift) {
    Octet lanes = {};
    std::memcpy(&lanes, v, count * sizeof(double));
    lanes = exponential_detail::exp_lanes<Octet, exponential_detail::OctetBits, true, kWidePermute>(lanes - shift);
    std::memcpy(v, &lanes, count * sizeof(double));
}

template <bool kWidePermute>
[[gnu::always_inline]] inline void exp_of_differences_in_octets(std::span<double> v, double shift) {
    constexpr std::size_t kLanes = sizeof(Octet) / sizeof(double);
    std::size_t i = 0;
    for (; i + kLanes <= v.size(); i += kLanes) exp_octet<kWidePermute>(v.data() + i, kLanes, shift);
    if (i < v.size()) exp_octet<kWidePermute>(v.data() + i, v.size() - i, shift);
}

// A build for each instruction set, as QUARNEL_INSTRUCTION_SET_CLONES gives, but only the
// AVX-512 one reads the tables with whole-register permutations. (Versions of a function are
// picked among only within their own file, so the public function calls this one.)
#ifdef __SANITIZE_THREAD__
void exp_of_differences_built(std::span<double> v, double shift) { exp_of_differences_in_octets<false>(v, shift); }
#else
__attribute__((target("arch=x86-64-v4"))) void exp_of_differences_built(std::span<double> v, double shift) {
    exp_of_differences_in_octets<true>(v, shift);
}
__attribute__((target("avx2"))) void exp_of_differences_built(std::span<double> v, double shift) {
    exp_of_differences_in_octets<false>(v, shift);
}
__attribute__((target("default"))) void exp_of_differences_built(std::span<double> v, double shift) {
    exp_of_differences_in_octets<false>(v, shift);
}
#endif

}  // namespace

void exp_of_differences(std::span<double> v, double shift) { exp_of_differences_built(v, shift); }

}  // namespace quarnel
