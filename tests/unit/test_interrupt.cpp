#include <atomic>
#include <chrono>
#include <thread>

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

TEST(StopPoller, PollsOncePerPeriodOfWork) {
    arm(1'000'000);
    const StopCheckScope scope(counting_check);
    StopPoller poller(kWorkPerPoll / 8);  // a period of 8 ticks
    for (int tick = 0; tick < 80; ++tick) poller.tick();
    EXPECT_EQ(g_checks.load(), 10);
}

TEST(StopPoller, WithoutACheckNothingStops) {
    StopPoller poller(kWorkPerPoll);
    for (int tick = 0; tick < 10; ++tick) EXPECT_NO_THROW(poller.tick());
    EXPECT_FALSE(stop_requested());
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

// A game that never converges: with a zero step size the strategies stay uniform, which is
// not an equilibrium of this game.
TEST(Interrupt, RunStopsBetweenStepsWithoutAResult) {
    GameState state{{0.9, 0.1}, {0.3, 0.7}, Matrix{2, 2, {2.0, -1.0, -1.0, 1.0}}};
    Optimizer optimizer = Optimizer::ogda(0.0, 2);
    arm(3);
    const StopCheckScope scope(counting_check);
    EXPECT_THROW(Experiment{std::uint64_t{1} << 22}.run_recording_gaps(state, optimizer), Interrupted);
    EXPECT_EQ(g_checks.load(), 3);
}

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
    parallel_for_pieces(4, [](std::size_t, std::size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(80)); });
    EXPECT_GE(g_nested_total.load(), 20u);  // once at the start, then at every poll of the wait
}

}  // namespace
}  // namespace quarnel
