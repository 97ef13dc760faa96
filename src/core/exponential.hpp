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
#if defined(__AVX2__)
#include <immintrin.h>
#endif

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

// table[j] per lane for both tables (kScaleBits and kTails), j the low three bits of k, R and W
// the lanes of their types:
// one permutation of each whole table when eight lanes fill a register (AVX-512); for four
// lanes with AVX2, a permutation of 32-bit halves within each half of a table (the index of
// either half formed once for both tables) and a blend of the two halves by j's bit 2; a
// shuffle of each table's two halves otherwise for four; a read per lane for fewer.
template <typename R, typename W>
struct TableEntries {
    R scale_bits;
    W tail;
};

#if defined(__AVX2__)
// The entries of a table at the 32-bit halves `halves` within its low half, or its high half
// where `upper`'s sign is set.
template <typename T>
[[gnu::always_inline]] inline __m256d pick_of_halves(const T (&table)[8], __m256i halves, __m256d upper) {
    const __m256i low = _mm256_permutevar8x32_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(table)), halves);
    const __m256i high = _mm256_permutevar8x32_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(table + 4)), halves);
    return _mm256_blendv_pd(_mm256_castsi256_pd(low), _mm256_castsi256_pd(high), upper);
}
#endif

template <typename R, typename W, typename U>
[[gnu::always_inline]] inline TableEntries<R, W> lookup(U k) {
    if constexpr (std::is_same_v<U, std::uint64_t>) {
        return {kScaleBits[k & kTableMask], kTails[k & kTableMask]};
    } else if constexpr (sizeof(U) == sizeof(kScaleBits)) {
        R bits;
        W tails;
        std::memcpy(&bits, kScaleBits, sizeof bits);
        std::memcpy(&tails, kTails, sizeof tails);
        return {__builtin_shuffle(bits, k), __builtin_shuffle(tails, k)};  // k taken modulo 8
    } else if constexpr (2 * sizeof(U) == sizeof(kScaleBits)) {
#if defined(__AVX2__)
        // The 32-bit halves 2j and 2j + 1 (mod 8) of the entry in either half of a table.
        const __m256i doubled = _mm256_shuffle_epi32(reinterpret_cast<__m256i>(k), 0xA0);
        const __m256i halves = _mm256_add_epi32(_mm256_add_epi32(doubled, doubled), _mm256_set_epi32(1, 0, 1, 0, 1, 0, 1, 0));
        const __m256d upper = _mm256_castsi256_pd(_mm256_slli_epi64(reinterpret_cast<__m256i>(k), 61));
        return {reinterpret_cast<R>(pick_of_halves(kScaleBits, halves, upper)),
                reinterpret_cast<W>(pick_of_halves(kTails, halves, upper))};
#else
        const U j = k & kTableMask;
        R bits_low, bits_high;
        W tails_low, tails_high;
        std::memcpy(&bits_low, kScaleBits, sizeof bits_low);
        std::memcpy(&bits_high, kScaleBits + 4, sizeof bits_high);
        std::memcpy(&tails_low, kTails, sizeof tails_low);
        std::memcpy(&tails_high, kTails + 4, sizeof tails_high);
        return {__builtin_shuffle(bits_low, bits_high, j), __builtin_shuffle(tails_low, tails_high, j)};
#endif
    } else {
        const U j = k & kTableMask;
        R bits;
        W tails;
        for (std::size_t t = 0; t < sizeof(U) / sizeof(std::uint64_t); ++t) bits[t] = kScaleBits[j[t]], tails[t] = kTails[j[t]];
        return {bits, tails};
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
    const auto entries = lookup<U, V>(k_bits);
    const U scale_bits = entries.scale_bits + (k_bits << kTableShift);
    const V tail = entries.tail;

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
