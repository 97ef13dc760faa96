#include "explore/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <system_error>

namespace quarnel {
namespace {

// Philox4x64 round multipliers and key increments (Salmon et al., "Parallel random numbers: as
// easy as 1, 2, 3", 2011).
constexpr std::uint64_t kMultiplier0 = 0xD2E7470EE14C6C93;
constexpr std::uint64_t kMultiplier1 = 0xCA5A826395121157;
constexpr std::uint64_t kKeyIncrement0 = 0x9E3779B97F4A7C15;
constexpr std::uint64_t kKeyIncrement1 = 0xBB67AE8584CAA73B;
constexpr int kRounds = 10;

struct Product {
    std::uint64_t high, low;
};

Product multiply(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
}

// Fills `buffer` from the kernel's entropy pool, retrying interrupted calls and short reads.
void fill_from_entropy_source(void* buffer, std::size_t length) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const ssize_t got = getrandom(bytes, length, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        bytes += got;
        length -= static_cast<std::size_t>(got);
    }
}

}  // namespace

SweepKey SweepKey::from_bytes(const unsigned char (&bytes)[16]) {
    SweepKey key;
    for (int word = 0; word < 2; ++word)
        for (int byte = 7; byte >= 0; --byte) key.words[word] = key.words[word] << 8 | bytes[8 * word + byte];
    return key;
}

SweepKey SweepKey::from_entropy() {
    unsigned char bytes[16];
    fill_from_entropy_source(bytes, sizeof bytes);
    return from_bytes(bytes);
}

PhiloxBlock philox4x64_10(PhiloxBlock counter, const SweepKey& key) {
    std::uint64_t k0 = key.words[0], k1 = key.words[1];
    for (int round = 0; round < kRounds; ++round) {
        if (round > 0) k0 += kKeyIncrement0, k1 += kKeyIncrement1;
        const Product p0 = multiply(kMultiplier0, counter[0]);
        const Product p1 = multiply(kMultiplier1, counter[2]);
        counter = {p1.high ^ counter[1] ^ k0, p1.low, p0.high ^ counter[3] ^ k1, p0.low};
    }
    return counter;
}

void TrialStream::refill() {
    block_ = philox4x64_10({next_block_++, trial_, 0, 0}, key_);
    used_ = 0;
}

}  // namespace quarnel
