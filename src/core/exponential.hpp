#pragma once
// The exponential of the multiplicative rules, one definition for every path: a whole vector
// at a time in vector lanes (the steps on any game) and one value at a time (the 2 x 2 path).
// Every lane performs the same IEEE operations in the same order whatever the instruction set,
// and one value at a time leaves out only steps that are exact for its argument (see the short
// form below), so all paths agree bit for bit. Within 1 ulp of the C library's exp (which the
// unit tests measure), nearly always equal to it.
//
// exp(x) = 2^m 2^(j/8) e^r with x = (8 m + j) ln2/8 + r, |r| <= ln2/16 (roughly): 2^(j/8)
// from an eight-entry table as T (1 + tail), which vector code reads with in-register shuffles,
// and e^r - 1 as its Taylor polynomial to r^8/8! (the next term is below 2^-59 of the
// result). The sum 1 + tail + (e^r - 1) is rounded once after its small part is formed, so
// the result is within about 0.55 ulp of the true value. The factor 2^m goes in two steps,
// the second a multiplication by 2^-512 (2^512 for x >= 0): exact for normal results, a single
// rounding for subnormal ones, overflow to +inf above about 709.78. Arguments are clamped to
// [-746, 710] first (beyond, the result is 0 or +inf anyway), which keeps every integer in
// range; NaN gives NaN.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace quarnel {

namespace exponential_detail {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// 2^(j/8) = T_j (1 + tail_j), T_j the double nearest 2^(j/8) and tail_j relative. The table
// holds the bits of T_j less j << 49: adding k << 49 for k = 8 m + j then adds m to the
// exponent field and gives the bits of 2^m T_j.
alignas(32) inline constexpr std::uint64_t kScaleBits[8] = {
    0x3ff0000000000000, 0x3fef72b83c7d517b, 0x3fef06fe0a31b715, 0x3feebfdad5362a27,
    0x3feea09e667f3bcd, 0x3feeace5422aa0db, 0x3feee89f995ad3ad, 0x3fef5818dcfba487};
alignas(32) inline constexpr double kTails[8] = {
    0.0, -0x1.01b15eaa59348p-55, 0x1.34d754db0abb6p-55, 0x1.690cebb7aafb0p-56,
    -0x1.3b3efbf5e2228p-54, 0x1.db72fc1f0eab4p-55, 0x1.c1a7792cb3387p-55, 0x1.4a385a63d07a7p-56};
inline constexpr std::uint64_t kTableMask = 7;
inline constexpr int kTableShift = 49;

inline constexpr double kLowest = -746.0;  // exp below rounds to 0
inline constexpr double kHighest = 710.0;  // exp above overflows
inline constexpr double k8OverLn2 = 0x1.71547652b82fep+3;
// ln2 / 8 = kLn2Over8High + kLn2Over8Low; the high part has 36 significant bits, so k times
// it is exact for every |k| below 2^17 (the clamp keeps |k| below 2^14).
inline constexpr double kLn2Over8High = 0x1.62e42fefa0000p-4;
inline constexpr double kLn2Over8Low = 0x1.cf79abc9e3b3ap-43;
// Added to a double of magnitude below 2^51, leaves its nearest integer in the low bits.
inline constexpr double kRoundingShift = 0x1.8p52;
inline constexpr std::uint64_t kExponent512 = std::uint64_t{512} << 52;
// Below this magnitude the scale 2^m T_j and the result are normal numbers far from overflow,
// and so is the scale's product with the polynomial's value, unless it is exact (0, or a scale
// of 1).
inline constexpr double kShortFormLimit = 512.0;

// A constant in every lane.
template <typename V, typename T>
[[gnu::always_inline]] inline V splat(T value) {
    return V{} + value;
}

// table[j] per lane, table being kScaleBits or kTails and R the lanes of its type: one
// permutation of the whole table when eight lanes fill a register (AVX-512), a shuffle of its
// two halves for four (AVX2), a read per lane for fewer.
template <typename R, typename T, typename U>
[[gnu::always_inline]] inline R lookup(const T (&table)[8], U j) {
    if constexpr (std::is_same_v<U, std::uint64_t>) {
        return table[j];
    } else if constexpr (sizeof(U) == sizeof(table)) {
        R whole;
        std::memcpy(&whole, table, sizeof whole);
        return __builtin_shuffle(whole, j);
    } else if constexpr (2 * sizeof(U) == sizeof(table)) {
        R low, high;
        std::memcpy(&low, table, sizeof low);
        std::memcpy(&high, table + 4, sizeof high);
        return __builtin_shuffle(low, high, j);
    } else {
        R lanes;
        for (std::size_t t = 0; t < sizeof(U) / sizeof(std::uint64_t); ++t) lanes[t] = table[j[t]];
        return lanes;
    }
}

// exp of every lane of x. V is double or a GCC vector of doubles, U std::uint64_t or the
// vector of as many 64-bit unsigned integers. The
// full form takes any x. The short form, for |x| < kShortFormLimit only, leaves out the clamp,
// the NaN case and the two-step scaling: with the scaled values normal there, scaling by 2^512
// and back is exact, so both forms give the same result.
template <typename V, typename U, bool kFullForm>
[[gnu::always_inline]] inline V exp_lanes(V x) {
    V c = x;
    if constexpr (kFullForm) {
        c = c < kLowest ? splat<V>(kLowest) : c;  // NaN stays
        c = c > kHighest ? splat<V>(kHighest) : c;
    }
    const V shifted = c * k8OverLn2 + kRoundingShift;
    const U k_bits = std::bit_cast<U>(shifted);  // low bits: k = the integer nearest c 8 / ln2
    const V k = shifted - kRoundingShift;
    const V r = (c - k * kLn2Over8High) - k * kLn2Over8Low;
    const U j = k_bits & kTableMask;
    const U scale_bits = lookup<U>(kScaleBits, j) + (k_bits << kTableShift);
    const V tail = lookup<V>(kTails, j);

    // tail + (e^r - 1), the polynomial's terms in pairs so that few operations wait on others.
    constexpr double kC2 = 1.0 / 2, kC3 = 1.0 / 6, kC4 = 1.0 / 24, kC5 = 1.0 / 120, kC6 = 1.0 / 720,
                     kC7 = 1.0 / 5040, kC8 = 1.0 / 40320;
    const V r2 = r * r, r4 = r2 * r2;
    const V low = r2 * (kC2 + r * kC3) + r4 * (kC4 + r * kC5);
    const V high = (r4 * r2) * (kC6 + r * kC7) + (r4 * r4) * kC8;
    const V small = ((tail + r) + low) + high;
    if constexpr (!kFullForm) {
        const V scale = std::bit_cast<V>(scale_bits);
        return scale + scale * small;
    } else {
        // 2^(m +- 512) T_j, then times 2^(-+512).
        const auto negative = c < 0.0;
        const V scale = std::bit_cast<V>(scale_bits + (negative ? splat<U>(kExponent512) : splat<U>(-kExponent512)));
        const V unbias = negative ? splat<V>(0x1p-512) : splat<V>(0x1p512);
        const V result = (scale + scale * small) * unbias;
        return x == x ? result : x + x;
    }
}

#pragma GCC diagnostic pop

}  // namespace exponential_detail

// e^x, the same value as exp_of_differences gives. Alone, the value's latency counts: most
// arguments take the short form.
inline double exponential(double x) {
    using exponential_detail::exp_lanes, exponential_detail::kShortFormLimit;
    if (x > -kShortFormLimit && x < kShortFormLimit) [[likely]]
        return exp_lanes<double, std::uint64_t, false>(x);
    return exp_lanes<double, std::uint64_t, true>(x);
}

// v[i] <- e^(v[i] - shift) for every entry, a vector register of entries at a time.
void exp_of_differences(std::span<double> v, double shift);

}  // namespace quarnel
