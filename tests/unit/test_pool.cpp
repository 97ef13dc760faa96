#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "explore/pool.hpp"

namespace quarnel {
namespace {

// The pool is created on first use; three workers make the concurrent cases meaningful on any
// machine, including one with a single processor.
const bool kPoolSizeChosen = setenv("RAYON_NUM_THREADS", "3", 1) == 0;

struct Piece {
    std::size_t begin, end;
};

std::vector<Piece> collect_pieces(std::size_t n) {
    std::mutex mutex;
    std::vector<Piece> pieces;
    parallel_for_pieces(n, [&](std::size_t begin, std::size_t end) {
        std::lock_guard lock(mutex);
        pieces.push_back({begin, end});
    });
    std::sort(pieces.begin(), pieces.end(), [](Piece a, Piece b) { return a.begin < b.begin; });
    return pieces;
}

TEST(Pool, PiecesTileTheRangeExactlyOnce) {
    ASSERT_TRUE(kPoolSizeChosen);
    EXPECT_EQ(pool_size(), 3u);
    EXPECT_TRUE(collect_pieces(0).empty());
    for (const std::size_t n : {1u, 2u, 5u, 6u, 7u, 1000u}) {
        const auto pieces = collect_pieces(n);
        ASSERT_FALSE(pieces.empty());
        EXPECT_EQ(pieces.front().begin, 0u);
        EXPECT_EQ(pieces.back().end, n);
        for (std::size_t p = 0; p < pieces.size(); ++p) {
            EXPECT_LT(pieces[p].begin, pieces[p].end) << "empty piece, n = " << n;
            if (p > 0) {
                EXPECT_EQ(pieces[p].begin, pieces[p - 1].end) << "n = " << n;
            }
        }
        EXPECT_LE(pieces.size(), 2 * pool_size());
    }
}

TEST(Pool, RunsPiecesOnSeveralThreads) {
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    parallel_for_pieces(6, [&](std::size_t, std::size_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard lock(mutex);
        threads.push_back(std::this_thread::get_id());
    });
    std::sort(threads.begin(), threads.end());
    EXPECT_GT(std::unique(threads.begin(), threads.end()) - threads.begin(), 1);
    EXPECT_EQ(std::count(threads.begin(), threads.end(), std::this_thread::get_id()), 0);
}

// A caller that finds the pool busy with another caller's loop runs its own loop itself instead
// of waiting: that other caller may be waiting for something this one holds.
TEST(Pool, ACallerFindingThePoolBusyRunsItsLoopItself) {
    std::atomic<bool> started{false}, release{false};
    std::thread owner([&] {
        parallel_for_pieces(6, [&](std::size_t, std::size_t) {
            started = true;
            while (!release) std::this_thread::yield();
        });
    });
    while (!started) std::this_thread::yield();
    std::vector<std::thread::id> threads;
    parallel_for_pieces(4, [&](std::size_t, std::size_t) { threads.push_back(std::this_thread::get_id()); });
    release = true;
    owner.join();
    EXPECT_EQ(threads, std::vector<std::thread::id>{std::this_thread::get_id()});
}

// The failure surfaces on the caller only after every piece that had started has returned, and
// the pool takes the next loop.
TEST(Pool, RethrowsFirstFailureAfterRunningPiecesStop) {
    std::atomic<int> started{0}, finished{0};
    EXPECT_THROW(parallel_for_pieces(6,
                                     [&](std::size_t begin, std::size_t) {
                                         ++started;
                                         if (begin == 0) throw std::runtime_error("piece 0 failed");
                                         std::this_thread::sleep_for(std::chrono::milliseconds(100));
                                         ++finished;
                                     }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), started.load() - 1);
    EXPECT_LT(started.load(), 6);  // the failure stopped the hand-out of later pieces
    std::atomic<std::size_t> total{0};
    parallel_for_pieces(100, [&](std::size_t begin, std::size_t end) { total += end - begin; });
    EXPECT_EQ(total.load(), 100u);
}

TEST(Pool, TellsRunningPiecesAboutAFailureElsewhere) {
    std::atomic<bool> second_started{false}, saw_cancellation{false};
    const auto wait_until = [](const auto& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    };
    EXPECT_THROW(parallel_for_pieces(2,
                                     [&](std::size_t begin, std::size_t) {
                                         if (begin == 0) {
                                             wait_until([&] { return second_started.load(); });
                                             throw std::runtime_error("stop");
                                         }
                                         second_started = true;
                                         wait_until(parallel_loop_cancelled);
                                         saw_cancellation = parallel_loop_cancelled();
                                     }),
                 std::runtime_error);
    EXPECT_TRUE(saw_cancellation);
    EXPECT_FALSE(parallel_loop_cancelled());
}

// A single index runs on the caller; a loop inside a piece runs within that piece.
TEST(Pool, SingleIndexAndNestedLoopsRunInPlace) {
    std::thread::id runner;
    parallel_for_pieces(1, [&](std::size_t, std::size_t) { runner = std::this_thread::get_id(); });
    EXPECT_EQ(runner, std::this_thread::get_id());
    std::atomic<std::size_t> total{0};
    parallel_for_pieces(4, [&](std::size_t, std::size_t) {
        parallel_for_pieces(10, [&](std::size_t begin, std::size_t end) { total += end - begin; });
    });
    EXPECT_EQ(total.load(), 40u);
}

struct SizeCase {
    const char* num_threads;
    const char* num_cpus;
    std::size_t expected;
    const char* source = "available processors";
};

class PoolSizing : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PoolSizing, FollowsEnvironment) {
    const auto [num_threads, num_cpus, expected, source] = GetParam();
    const PoolSizeChoice choice = pool_sizing_for(num_threads, num_cpus, 8);
    EXPECT_EQ(choice.workers, expected);
    EXPECT_STREQ(choice.source, source);
}

constexpr const char* kThreads = "RAYON_NUM_THREADS";
constexpr const char* kCpus = "RAYON_RS_NUM_CPUS";

INSTANTIATE_TEST_SUITE_P(Cases, PoolSizing,
                         ::testing::Values(SizeCase{nullptr, nullptr, 8}, SizeCase{"3", nullptr, 3, kThreads},
                                           SizeCase{"3", "5", 3, kThreads}, SizeCase{"0", "5", 8},  // 0: all processors
                                           SizeCase{"+2", nullptr, 2, kThreads}, SizeCase{"", "5", 5, kCpus},
                                           SizeCase{" 3", "5", 5, kCpus}, SizeCase{"3 ", nullptr, 8},
                                           SizeCase{"-1", "5", 5, kCpus}, SizeCase{"two", nullptr, 8},
                                           SizeCase{"99999999999999999999", "4", 4, kCpus},  // overflows
                                           SizeCase{nullptr, "0", 8}, SizeCase{nullptr, "x", 8},
                                           SizeCase{nullptr, "12", 12, kCpus}, SizeCase{"007", nullptr, 7, kThreads}));

TEST(Processors, CountsAtLeastOne) {
    const std::size_t count = available_processors();
    EXPECT_GE(count, 1u);
    EXPECT_LE(count, static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_CONF)));
}

}  // namespace
}  // namespace quarnel
