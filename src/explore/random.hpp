#pragma once
// Random streams of the explorations. Trial i of a sweep with key K draws from Philox4x64-10
// keyed by K at counters (0, i, 0, 0), (1, i, 0, 0), ...: a counter-based generator, so trial i's
// stream is a pure function of (K, i), whichever thread draws it, in whatever order, on whichever
// machine. Philox needs no seeding step whose quality would have to be argued for distinct but
// related (K, i); its 128-bit key is exactly a sweep's key; it passes the usual statistical
// batteries across counters and keys; NumPy ships the same generator (numpy.random.Philox), an
// independent reference for its outputs; and its cost, about one 64-bit multiply per word drawn,
// is small next to a single step of a run.
#include <array>
#include <cstdint>

namespace quarnel {

// The 128-bit key of a sweep.
struct SweepKey {
    std::uint64_t words[2] = {0, 0};

    // Bytes 0..7 and 8..15 as little-endian words, the same on every machine.
    static SweepKey from_bytes(const unsigned char (&bytes)[16]);
    // A fresh key from the OS entropy source: the module's own, non-reproducible explorations.
    static SweepKey from_entropy();
};

using PhiloxBlock = std::array<std::uint64_t, 4>;

// The Philox4x64-10 block of `counter` under `key`.
PhiloxBlock philox4x64_10(PhiloxBlock counter, const SweepKey& key);

// The random stream of one trial: its blocks' words in order.
class TrialStream {
public:
    TrialStream(const SweepKey& key, std::uint64_t trial) : key_(key), trial_(trial) {}

    std::uint64_t next_u64() {
        if (used_ == block_.size()) refill();
        return block_[used_++];
    }
    // Uniform double in [0, 1): the top 53 bits of a word.
    double next_unit() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }
    // Fair coin: the top bit of a word.
    bool next_coin() { return (next_u64() >> 63) != 0; }

private:
    void refill();

    SweepKey key_;
    std::uint64_t trial_;
    std::uint64_t next_block_ = 0;
    PhiloxBlock block_{};
    std::size_t used_ = block_.size();
};

}  // namespace quarnel
