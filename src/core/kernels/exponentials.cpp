// exp_of_differences, a vector register of entries at a time.
#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "core/exponential.hpp"
#include "core/kernels/build.hpp"

namespace quarnel::QUARNEL_KERNELS {

namespace {

// Whether |x| < kShortFormLimit in every lane (never for NaN).
[[gnu::always_inline]] inline bool all_short(Doubles x) {
    const Bits magnitude = std::bit_cast<Bits>(x) & ~(Bits{} + (std::uint64_t{1} << 63));
    const Keys within = std::bit_cast<Doubles>(magnitude) < exponential_detail::kShortFormLimit;
#if defined(__AVX512F__)
    return _mm512_movepi64_mask(reinterpret_cast<__m512i>(within)) == 0xff;
#elif defined(__AVX__)
    return _mm256_movemask_pd(reinterpret_cast<__m256d>(within)) == 0xf;
#elif defined(__SSE2__)
    return _mm_movemask_pd(reinterpret_cast<__m128d>(within)) == 0x3;
#else
    bool all = true;
    for (std::size_t t = 0; t < kWidth; ++t) all &= within[t] != 0;
    return all;
#endif
}

// Exponentials of `count` (at most a register's) entries from `v` less `shift`; lanes past
// the entries compute e^0, which nobody reads. A register whose arguments all lie within the
// short form's range takes it (as exponential() does one value at a time): the same bits, fewer
// operations and a shorter chain of them.
[[gnu::always_inline]] inline void exp_register(double* v, std::size_t count, double shift) {
    using exponential_detail::exp_lanes, exponential_detail::kShortFormLimit;
    Doubles lanes = Doubles{} + shift;
    std::memcpy(&lanes, v, count * sizeof(double));
    const Doubles x = lanes - shift;
    lanes = all_short(x) ? exp_lanes<Doubles, Bits, false>(x) : exp_lanes<Doubles, Bits, true>(x);
    std::memcpy(v, &lanes, count * sizeof(double));
}

}  // namespace

void exp_of_differences(double* v, std::size_t length, double shift) {
    std::size_t i = 0;
    for (; i + kWidth <= length; i += kWidth) exp_register(v + i, kWidth, shift);
    if (i < length) exp_register(v + i, length - i, shift);
}

}  // namespace quarnel::QUARNEL_KERNELS
