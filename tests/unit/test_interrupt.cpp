#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "core/interrupt.hpp"
#include "core/run.hpp"
#include "explore/pool.hpp"

namespace quarnel {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_checks{0};
std::atomic<int> g_fire_after{0};  // the check asks to stop from this call on

bool counting_check() noexcept { return ++g_checks >= g_fire_after.load(); }

void arm(int fire_after) {
    g_checks = 0;
    g_fire_after = fire_after;
}

TEST(StopPoller, PollsOncePerPeriodOfWorkAndOnlyAnInstalledCheck) {
    {
        StopPoller idle(kWorkPerPoll);
        for (int tick = 0; tick < 10; ++tick) EXPECT_NO_THROW(idle.tick());
        EXPECT_FALSE(stop_requested());
    }
    arm(1'000'000);
    const StopCheckScope scope(counting_check);
    StopPoller poller(kWorkPerPoll / 8);  // a period of 8 ticks
    for (int tick = 0; tick < 80; ++tick) poller.tick();
    EXPECT_EQ(g_checks.load(), 10);
}

TEST(StopCheckScope, RestoresThePreviousCheck) {
    arm(0);
    {
        const StopCheckScope outer(counting_check);
        {
            const StopCheckScope inner(nullptr);
            EXPECT_FALSE(stop_requested());
        }
        EXPECT_TRUE(stop_requested());
    }
    EXPECT_FALSE(stop_requested());
}

// The two state vectors of whichever rule the optimizer holds.
std::pair<Vector, Vector> vectors_of(const Optimizer& optimizer) {
    return std::visit(
        [](const auto& rule) {
            const auto& [first, second, eta] = rule;
            return std::pair{first, second};
        },
        optimizer.variant);
}

GameState slowly_moving_game(std::size_t n) {
    Matrix a = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) a(i, j) = i == j ? 2.0 + static_cast<double>(i) : -1.0;
    Vector x(n, 0.0), y(n, 0.0);
    x[0] = y[n - 1] = 1.0;
    return GameState{x, y, a};
}

using Factory = Optimizer (*)(double, std::uint64_t);
class InterruptedRun : public ::testing::TestWithParam<std::tuple<std::size_t, Factory>> {};

// Stopped at its third poll, a run throws without a result and leaves the game and the optimizer
// exactly as the steps before that poll left them: on the 2 x 2 path, which keeps its state in
// locals, and on the general one.
TEST_P(InterruptedRun, LeavesTheStateOfTheLastCompletedStep) {
    const auto [n, factory] = GetParam();
    GameState game = slowly_moving_game(n), replay_game = game;
    Optimizer optimizer = factory(1e-6, n), replay_optimizer = optimizer;
    const std::uint64_t completed = 3 * (kWorkPerPoll / (n * n)) - 1;
    arm(3);
    {
        const StopCheckScope scope(counting_check);
        EXPECT_THROW(Experiment{2 * completed}.run_recording_gaps(game, optimizer), Interrupted);
        EXPECT_EQ(g_checks.load(), 3);
    }
    Experiment{completed}.run_recording_gaps(replay_game, replay_optimizer);
    EXPECT_EQ(game.x, replay_game.x);
    EXPECT_EQ(game.y, replay_game.y);
    EXPECT_EQ(vectors_of(optimizer), vectors_of(replay_optimizer));
    EXPECT_NE(game.x, slowly_moving_game(n).x);  // the steps did move it
}

INSTANTIATE_TEST_SUITE_P(Shapes, InterruptedRun,
                         ::testing::Combine(::testing::Values(2u, 3u),
                                            ::testing::Values(&Optimizer::ogda, &Optimizer::omwuoomd,
                                                              &Optimizer::omwuoftrl)));

bool fire_after_50ms() noexcept {
    static thread_local Clock::time_point start;
    if (g_checks++ == 0) start = Clock::now();
    return Clock::now() - start > std::chrono::milliseconds(50);
}

// Pieces that would run forever stop once the caller's check fires; the pool is idle and
// usable afterwards.
TEST(Interrupt, CallerCheckCancelsTheLoopPromptly) {
    g_checks = 0;
    std::atomic<int> running{0};
    const auto start = Clock::now();
    {
        const StopCheckScope scope(fire_after_50ms);
        EXPECT_THROW(parallel_for_pieces(100,
                                         [&](std::size_t, std::size_t) {
                                             ++running;
                                             StopPoller poller(kWorkPerPoll);
                                             for (;;) poller.tick();
                                         }),
                     Interrupted);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_LE(running.load(), static_cast<int>(pool_size()));  // no piece was handed out after the stop
    std::atomic<std::size_t> total{0};
    parallel_for_pieces(100, [&](std::size_t begin, std::size_t end) { total += end - begin; });
    EXPECT_EQ(total.load(), 100u);
}

std::atomic<std::size_t> g_nested_total{0};

// A check that itself runs a parallel loop, as an interpreter's signal handler may.
bool check_running_a_loop() noexcept {
    parallel_for_pieces(10, [](std::size_t begin, std::size_t end) { g_nested_total += end - begin; });
    return false;
}

TEST(Interrupt, LoopStartedFromTheCallersCheckRunsOnTheCaller) {
    g_nested_total = 0;
    const StopCheckScope scope(check_running_a_loop);
    parallel_for_pieces(4, [](std::size_t, std::size_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
    });
    EXPECT_GE(g_nested_total.load(), 20u);  // once at the start, then at every poll of the wait
}

}  // namespace
}  // namespace quarnel
