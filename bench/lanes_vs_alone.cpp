// Processor time per trial-step of runs stepped in a lane block against the same runs stepped
// alone, by rule and shape, for the build of the kernels in use (QUARNEL_INSTRUCTION_SET
// forces one). The engine steps trials in lanes only for shapes where lanes are faster: this
// measures where that is, for each build.
//   build/unit/quarnel_lane_bench [steps]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/instruction_sets.hpp"
#include "core/lane_block.hpp"
#include "core/run.hpp"

using namespace quarnel;

namespace {

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The rule's starting vectors for an m x n game.
Optimizer rule(int tag, double eta, std::size_t m, std::size_t n) {
    const Vector x(m, 1.0 / static_cast<double>(m)), y(n, 1.0 / static_cast<double>(n));
    if (tag == 0) return {Ogda{x, y, eta}};
    if (tag == 1) return {OmwuOomd{x, y, eta}};
    return {OmwuOftrl{zeros(m), zeros(n), eta}};
}

GameState game(std::mt19937_64& gen, std::size_t m, std::size_t n) {
    std::uniform_real_distribution<double> entry(-1.0, 1.0);
    Matrix a = Matrix::zeros(m, n);
    for (double& e : a.data) e = entry(gen);
    return GameState::from_matrix(std::move(a));
}

// Best of five: ns per trial-step of `width` runs alone, and in one block.
std::pair<double, double> measure(int tag, std::size_t m, std::size_t n, std::size_t steps) {
    std::mt19937_64 gen(m * 1000 + n);
    const std::size_t width = kernels().lane_width;
    std::vector<GameState> games;
    for (std::size_t t = 0; t < width; ++t) games.push_back(game(gen, m, n));
    const Optimizer optimizer = rule(tag, 1e-4, m, n);
    double alone = 1e300, lanes = 1e300;
    for (int repeat = 0; repeat < 5; ++repeat) {
        StepWorkspace ws;
        Vector gaps;
        double start = cpu_seconds();
        for (std::size_t t = 0; t < width; ++t) {
            GameState state = games[t];
            Optimizer o = optimizer;
            Experiment{steps}.run_recording_gaps(state, o, gaps, ws);
        }
        alone = std::min(alone, (cpu_seconds() - start) / static_cast<double>(steps * width));
        LaneBlock block(games[0], optimizer);
        for (std::size_t t = 0; t < width; ++t) block.load(t, games[t], optimizer);
        std::vector<double> histories(steps * width);
        double step_gaps[kMostLanesInBlock];
        start = cpu_seconds();
        for (std::size_t k = 0; k < steps; ++k) {
            block.step(step_gaps);
            for (std::size_t t = 0; t < width; ++t) histories[t * steps + k] = step_gaps[t];
        }
        lanes = std::min(lanes, (cpu_seconds() - start) / static_cast<double>(steps * width));
    }
    return {alone * 1e9, lanes * 1e9};
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t steps = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000;
    std::printf("%s build, %zu lanes a block: ns per trial-step\n", instruction_set_name(), kernels().lane_width);
    std::printf("%-12s %6s %10s %10s %8s\n", "rule", "shape", "alone", "lanes", "alone/lanes");
    const char* names[] = {"ogda", "omwu_oomd", "omwu_oftrl"};
    const std::pair<std::size_t, std::size_t> shapes[] = {{2, 2}, {3, 3}, {4, 4}, {8, 8},   {12, 12}, {16, 16},
                                                          {24, 24}, {32, 32}, {48, 48}, {64, 64}, {3, 7}, {20, 40}};
    for (int tag = 0; tag < 3; ++tag) {
        for (const auto& [m, n] : shapes) {
            const std::size_t scaled = std::max<std::size_t>(50, steps * 64 / (m * n));
            const auto [alone, lanes] = measure(tag, m, n, scaled);
            std::printf("%-12s %3zux%-3zu %10.1f %10.1f %8.2f\n", names[tag], m, n, alone, lanes, alone / lanes);
            std::fflush(stdout);
        }
    }
}
