// The core's peak rate of double-precision multiplications and additions, in lane operations
// per ns: many independent chains of x <- x * c + d in the widest vectors the build allows
// (-march=native), no fused multiply-adds, as quarnel's builds compute.
#include <chrono>
#include <cstdio>

typedef double Lanes __attribute__((vector_size(64)));

int main() {
    constexpr int kChains = 24;  // enough to cover the latency of a multiply and an add
    constexpr long kRounds = 20'000'000;
    Lanes chains[kChains];
    for (int i = 0; i < kChains; ++i) chains[i] = Lanes{} + (1.0 + i * 1e-3);
    const Lanes c = Lanes{} + 0.999999, d = Lanes{} + 1e-7;
    const auto start = std::chrono::steady_clock::now();
    for (long r = 0; r < kRounds; ++r)
#pragma GCC unroll 24
        for (Lanes& x : chains) x = x * c + d;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double sum = 0.0;  // keeps the chains alive
    for (const Lanes& x : chains) sum += x[0];
    const double operations = 2.0 * kRounds * kChains * (sizeof(Lanes) / sizeof(double));
    std::printf("%.3f %g\n", operations / seconds * 1e-9, sum);
}
