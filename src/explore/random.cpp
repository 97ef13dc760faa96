#include "explore/random.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <system_error>

namespace quarnel {
namespace {

std::uint64_t rotate_left(std::uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

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

// Bumped in every child after fork(): the forking thread's generator was copied into the
// child, so it must be reseeded there or parent and child would draw the same numbers.
std::atomic<std::uint64_t> g_fork_generation{0};

void note_fork_in_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

const bool g_fork_handler_registered = [] {
    pthread_atfork(nullptr, nullptr, note_fork_in_child);
    return true;
}();

Rng seeded_rng() {
    std::uint64_t seed[4] = {0, 0, 0, 0};
    // The all-zero state is the one state xoshiro never leaves; redraw in that (absurd) case.
    while ((seed[0] | seed[1] | seed[2] | seed[3]) == 0) fill_from_entropy_source(seed, sizeof seed);
    return Rng(seed);
}

struct ThreadGenerator {
    Rng rng = seeded_rng();
    std::uint64_t fork_generation = g_fork_generation.load(std::memory_order_relaxed);
};

}  // namespace

Rng::Rng(const std::uint64_t seed[4]) : s_{seed[0], seed[1], seed[2], seed[3]} {}

// xoshiro256++ 1.0.
std::uint64_t Rng::next_u64() {
    const std::uint64_t result = rotate_left(s_[0] + s_[3], 23) + s_[0];
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotate_left(s_[3], 45);
    return result;
}

double Rng::next_unit() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

bool Rng::next_coin() { return (next_u64() >> 63) != 0; }

Rng& thread_rng() {
    (void)g_fork_handler_registered;
    thread_local ThreadGenerator generator;
    const std::uint64_t generation = g_fork_generation.load(std::memory_order_relaxed);
    if (generator.fork_generation != generation) {
        generator.rng = seeded_rng();
        generator.fork_generation = generation;
    }
    return generator.rng;
}

}  // namespace quarnel
