#pragma once
// Cooperative interruption of long computations. A caller installs a stop check on its thread
// for the duration of a call; long loops poll it now and then and, when it asks them to stop,
// unwind with Interrupted. The core knows nothing about what the check looks at (pending
// signals of an interpreter, a parallel loop's cancel flag, ...).
#include <cstddef>
#include <exception>

namespace quarnel {

// The computation was stopped on request. Whoever installed the stop check has already
// recorded why (for example a pending KeyboardInterrupt), so it carries no message of its own.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Returns true when the computation running on this thread should stop. Must not throw; but
// it may run code that ends the thread (a forced unwind), which must be let through.
using StopCheck = bool (*)();

// Installs `check` as this thread's stop check until the scope ends (the previous one is
// restored then, so scopes nest). Work inside the scope polls `check` even when the scope was
// opened from inside another check (a call made by a signal handler stays interruptible).
class StopCheckScope {
public:
    explicit StopCheckScope(StopCheck check) noexcept;
    StopCheckScope(const StopCheckScope&) = delete;
    StopCheckScope& operator=(const StopCheckScope&) = delete;
    ~StopCheckScope();

private:
    StopCheck previous_;
    bool previously_checking_;
};

// True when this thread's stop check (if any) asks to stop. Always false inside the check
// itself, which may start work that polls, unless that work opened a scope of its own.
bool stop_requested();

// Throws Interrupted when stop_requested().
void throw_if_stop_requested();

// Roughly this many multiply-adds of work pass between two polls of a StopPoller.
inline constexpr std::size_t kWorkPerPoll = std::size_t{1} << 20;

// Polls the stop check about every kWorkPerPoll units of work, given the work of one tick. A
// tick costs a decrement and a branch; the poll itself is out of line.
class StopPoller {
public:
    explicit StopPoller(std::size_t work_per_tick) noexcept
        : period_(work_per_tick == 0 || work_per_tick >= kWorkPerPoll ? 1 : kWorkPerPoll / work_per_tick),
          countdown_(period_) {}

    void tick() {
        if (--countdown_ == 0) [[unlikely]] poll();
    }

    // Ticks that may pass before the next one polls, and passing n <= quiet_ticks() of them.
    std::size_t quiet_ticks() const { return countdown_ - 1; }
    void skip(std::size_t n) { countdown_ -= n; }

private:
    void poll();

    std::size_t period_;
    std::size_t countdown_;
};

}  // namespace quarnel
