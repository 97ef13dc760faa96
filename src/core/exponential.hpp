#pragma once
// The exponential of the multiplicative rules, one definition for every path: a whole vector
// at a time in vector lanes (the steps on any game) and one value at a time (the 2 x 2 path).
// Both are the same lane-wise IEEE operations in the same order, so they agree bit for bit
// with each other and on every instruction set. Within 1 ulp of the C library's exp (which
// the unit tests measure), nearly always equal to it.
//
// exp(x) = 2^m 2^(j/128) e^r with x = (128 m + j) ln2/128 + r, |r| <= ln2/256 (roughly):
// 2^(j/128) from a table as T (1 + tail), e^r - 1 as its Taylor polynomial to r^5/120 (the
// next term is below 2^-60 of the result). The sum 1 + tail + (e^r - 1) is rounded once
// after its small part is formed, so the result is within about 0.51 ulp of the true value.
// The factor 2^m goes in two steps, the second a multiplication by 2^-512 (2^512 for x >= 0):
// exact for normal results, a single rounding for subnormal ones, overflow to +inf above
// about 709.78. Arguments are clamped to [-746, 710] first (beyond, the result is 0 or +inf
// anyway), which keeps every integer in range; NaN gives NaN.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace quarnel {

namespace exponential_detail {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

inline constexpr int kTableBits = 7;
inline constexpr std::uint64_t kTableMask = (1u << kTableBits) - 1;

// 2^(j/128) = T_j (1 + tail_j), T_j the double nearest 2^(j/128) and tail_j relative. The
// table holds the bits of T_j less j << 45: adding k << 45 for k = 128 m + j then adds m to
// the exponent field and gives the bits of 2^m T_j.
struct PowerOfTwo {
    std::uint64_t scale_bits;
    double tail;
};
extern const PowerOfTwo kPowersOfTwo[1u << kTableBits];

inline constexpr double kLowest = -746.0;  // exp below rounds to 0
inline constexpr double kHighest = 710.0;  // exp above overflows
inline constexpr double k128OverLn2 = 0x1.71547652b82fep+7;
// ln2 / 128 = kLn2Over128High + kLn2Over128Low; the high part has 34 significant bits, so
// k times it is exact for every |k| below 2^19 (the clamp keeps |k| below 2^18).
inline constexpr double kLn2Over128High = 0x1.62e42fef80000p-8;
inline constexpr double kLn2Over128Low = 0x1.1cf79abc9e3b4p-43;
// Added to a double of magnitude below 2^51, leaves its nearest integer in the low bits.
inline constexpr double kRoundingShift = 0x1.8p52;
inline constexpr std::uint64_t kExponent512 = std::uint64_t{512} << 52;

// A constant in every lane.
template <typename V, typename T>
[[gnu::always_inline]] inline V splat(T value) {
    return V{} + value;
}

template <typename V, typename U>
[[gnu::always_inline]] inline void lookup(U j, U& scale_bits, V& tail) {
    if constexpr (std::is_same_v<V, double>) {
        scale_bits = kPowersOfTwo[j].scale_bits, tail = kPowersOfTwo[j].tail;
    } else {
        for (std::size_t lane = 0; lane < sizeof(V) / sizeof(double); ++lane)
            scale_bits[lane] = kPowersOfTwo[j[lane]].scale_bits, tail[lane] = kPowersOfTwo[j[lane]].tail;
    }
}

// exp of every lane of x. V is double or a GCC vector of doubles, U std::uint64_t or the
// vector of as many 64-bit unsigned integers.
template <typename V, typename U>
[[gnu::always_inline]] inline V exp_lanes(V x) {
    V c = x < kLowest ? splat<V>(kLowest) : x;  // NaN stays
    c = c > kHighest ? splat<V>(kHighest) : c;
    const V shifted = c * k128OverLn2 + kRoundingShift;
    const U k_bits = std::bit_cast<U>(shifted);  // low bits: k = the integer nearest c 128 / ln2
    const V k = shifted - kRoundingShift;
    const V r = (c - k * kLn2Over128High) - k * kLn2Over128Low;

    U scale_bits;
    V tail;
    lookup(k_bits & kTableMask, scale_bits, tail);

    constexpr double kC3 = 1.0 / 6.0, kC4 = 1.0 / 24.0, kC5 = 1.0 / 120.0;
    const V r2 = r * r;
    const V small = (tail + r) + r2 * ((0.5 + r * kC3) + r2 * (kC4 + r * kC5));

    // 2^(m +- 512) T_j, then times 2^(-+512).
    const auto negative = c < 0.0;
    const U bias = negative ? splat<U>(kExponent512) : splat<U>(-kExponent512);
    const V scale = std::bit_cast<V>(scale_bits + (k_bits << 45) + bias);
    const V unbias = negative ? splat<V>(0x1p-512) : splat<V>(0x1p512);
    const V result = (scale + scale * small) * unbias;
    return x == x ? result : x + x;
}

#pragma GCC diagnostic pop

}  // namespace exponential_detail

// e^x, the same value as exp_of_differences gives.
inline double exponential(double x) { return exponential_detail::exp_lanes<double, std::uint64_t>(x); }

// v[i] <- e^(v[i] - shift) for every entry, several entries at a time.
void exp_of_differences(std::span<double> v, double shift);

}  // namespace quarnel
