// One build's peak rate of double-precision multiplications and additions, in lane operations
// per ns: many independent chains of x <- x * c + d in the widest vectors the build's flags
// give (64 bytes with AVX-512, 32 with AVX, 16 with SSE2 or NEON), no fused multiply-adds, as
// quarnel's builds compute. bench/run.py compiles it with each build's flags. Timed in
// processor time, as the benchmark's other cells, so other processes sharing the core do not
// count.
#include <cstdio>
#include <ctime>

// Independent chains enough to cover the latency of a multiply and an add, and few enough to
// stay in the vector registers (32 of them with AVX-512 and NEON, 16 with AVX and SSE2).
#if defined(__AVX512F__)
constexpr int kVectorBytes = 64, kChains = 24;
#elif defined(__AVX__)
constexpr int kVectorBytes = 32, kChains = 14;
#elif defined(__aarch64__)
constexpr int kVectorBytes = 16, kChains = 24;
#else
constexpr int kVectorBytes = 16, kChains = 14;
#endif

typedef double Lanes __attribute__((vector_size(kVectorBytes)));

int main() {
    constexpr long kRounds = 20'000'000;
    Lanes chains[kChains];
    for (int i = 0; i < kChains; ++i) chains[i] = Lanes{} + (1.0 + i * 1e-3);
    const Lanes c = Lanes{} + 0.999999, d = Lanes{} + 1e-7;
    const std::clock_t start = std::clock();
    for (long r = 0; r < kRounds; ++r)
#pragma GCC unroll 24  // every chain
        for (Lanes& x : chains) x = x * c + d;
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    double sum = 0.0;  // keeps the chains alive
    for (const Lanes& x : chains) sum += x[0];
    const int lanes = kVectorBytes / sizeof(double);
    const double operations = 2.0 * kRounds * kChains * lanes;
    std::printf("%.3f %d %g\n", operations / seconds * 1e-9, lanes, sum);
}
