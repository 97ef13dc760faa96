#pragma once
// Per-thread pseudo-random generator (xoshiro256++), seeded once per thread from getrandom.
#include <cstdint>

namespace quarnel {

class Rng {
public:
    explicit Rng(const std::uint64_t seed[4]);
    std::uint64_t next_u64();
    // Uniform double in [0, 1) with 53 random bits.
    double next_unit();
    // Fair coin.
    bool next_coin();

private:
    std::uint64_t s_[4];
};

// The calling thread's generator, created and seeded from the OS entropy source on first use.
Rng& thread_rng();

}  // namespace quarnel
