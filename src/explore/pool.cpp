#include "explore/pool.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/interrupt.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

using PieceFn = std::function<void(std::size_t, std::size_t)>;

// One parallel loop: [0, n) cut into piece_count contiguous pieces that threads claim with an
// atomic counter, so handing out work takes no lock.
class Job {
public:
    Job(std::size_t n, std::size_t piece_count, const PieceFn& process_piece)
        : n_(n), piece_count_(piece_count), process_piece_(process_piece) {}

    // Runs unclaimed pieces until none is left; after a failure they are only counted off.
    void work() {
        for (std::size_t piece; (piece = next_piece_.fetch_add(1)) < piece_count_;) {
            if (!cancelled()) run_piece(piece);
            finished_pieces_.fetch_add(1);
        }
    }

    bool done() const { return finished_pieces_.load() == piece_count_; }
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }
    // Stops the hand-out of pieces and tells running ones to stop, without a failure of its own.
    void cancel() { cancelled_.store(true); }
    void rethrow_failure() const {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    void run_piece(std::size_t piece);
    void record_failure(std::exception_ptr failure) {
        std::lock_guard lock(failure_mutex_);
        if (!failure_) failure_ = std::move(failure);
        cancelled_.store(true);
    }

    const std::size_t n_;
    const std::size_t piece_count_;
    const PieceFn& process_piece_;
    std::atomic<std::size_t> next_piece_{0};
    std::atomic<std::size_t> finished_pieces_{0};
    std::atomic<bool> cancelled_{false};
    std::mutex failure_mutex_;
    std::exception_ptr failure_;
};

// The loop whose piece the current thread is running, if any.
thread_local const Job* t_current_job = nullptr;
// True while this thread waits for the pool. Its stop check may run arbitrary code (an
// interpreter's signal handlers) that starts another loop: that one runs on this thread.
thread_local bool t_waiting_for_pool = false;

// Marks this thread as waiting for the pool for the lifetime of the guard.
struct WaitingForPool {
    WaitingForPool() { t_waiting_for_pool = true; }
    ~WaitingForPool() { t_waiting_for_pool = false; }
    WaitingForPool(const WaitingForPool&) = delete;
    WaitingForPool& operator=(const WaitingForPool&) = delete;
};

// Forks between the first process and this one: a waiting caller that sees it change is in a
// child that the check it ran forked.
std::atomic<std::uint64_t> g_forks{0};

// How often a waiting caller runs its own stop check.
constexpr auto kCallerPollInterval = std::chrono::milliseconds(25);

// The stop check of a piece: a long run inside it stops once its loop is cancelled.
bool piece_cancelled() noexcept { return parallel_loop_cancelled(); }

void Job::run_piece(std::size_t piece) {
    // Pieces differ in length by at most one index; the longer ones come first.
    const std::size_t base = n_ / piece_count_;
    const std::size_t longer = n_ % piece_count_;
    const std::size_t begin = piece * base + std::min(piece, longer);
    const std::size_t end = begin + base + (piece < longer ? 1 : 0);
    t_current_job = this;
    const StopCheckScope stop_when_cancelled(piece_cancelled);
    try {
        process_piece_(begin, end);
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended, which is no failure of the loop
    } catch (...) {
        record_failure(std::current_exception());
    }
    t_current_job = nullptr;
}

int nth_processor(const cpu_set_t& set, std::size_t n) {
    for (int processor = 0; processor < CPU_SETSIZE; ++processor)
        if (CPU_ISSET(processor, &set) && n-- == 0) return processor;
    return -1;  // n is not below the count of the set
}

// In a pool with one worker per processor the process may run on, worker i's home is the i-th
// of them. A worker that starts a loop away from home moves there, then may run anywhere
// again: only where it starts changes. The scheduler wakes a sleeping thread where it last ran
// if that processor is idle, and a wake-up of all the workers at once, the caller still running
// on its own processor, often stacks two of them on one processor for many milliseconds, taking
// turns while another one idles. Moving costs two system calls, only when a worker is away
// from home. Several processes with such pools share the homes evenly; smaller or larger pools
// have none, their workers go where the scheduler puts them. Returns the home, -1 for none.
int go_home(std::size_t index, std::size_t workers, int home) {
    if (home >= 0 && sched_getcpu() == home) return home;
    cpu_set_t allowed;
    if (pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) != 0) return -1;  // over CPU_SETSIZE
    if (static_cast<std::size_t>(CPU_COUNT(&allowed)) != workers || workers < 2) return -1;
    if (home < 0 || !CPU_ISSET(home, &allowed)) home = nth_processor(allowed, index);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(home, &one);
    if (pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0)
        pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed);
    return home;
}

// A fixed set of detached worker threads that wait for one job at a time. The pool is never
// destroyed: it lives until the process ends (or is abandoned in a forked child).
class WorkerPool {
public:
    explicit WorkerPool(std::size_t requested_workers) { start_workers(requested_workers); }

    std::size_t size() const { return worker_count_; }

    // Runs the loop on the workers, unless another caller's loop holds them: then false, and
    // nothing ran. A caller never blocks on another one, which may need what the blocked one
    // holds (an interpreter lock that its signal handlers take, say).
    bool try_run(std::size_t n, const PieceFn& process_piece) {
        std::unique_lock one_loop_at_a_time(caller_mutex_, std::try_to_lock);
        if (!one_loop_at_a_time.owns_lock()) return false;
        const auto job = std::make_shared<Job>(n, std::min(n, 2 * worker_count_), process_piece);
        {
            std::lock_guard lock(mutex_);
            job_ = job;
            ++job_serial_;
        }
        work_ready_.notify_all();
        if (wait_for(*job) == Outcome::interrupted) throw Interrupted();
        job->rethrow_failure();
        return true;
    }

private:
    enum class Outcome { finished, interrupted };

    // Waits until the workers have let go of the job, so that once this returns no worker
    // touches anything of this loop (nor allocates or frees for it). Meanwhile the caller's stop
    // check runs every poll interval, with no lock of the pool held; when it fires, the job is
    // cancelled and drained.
    Outcome wait_for(Job& job) {
        const WaitingForPool waiting;
        const std::uint64_t forks = g_forks.load();
        Outcome outcome = Outcome::finished;
        std::unique_lock lock(mutex_);
        while (!job_done_.wait_for(lock, kCallerPollInterval, [&] { return released(job); })) {
            if (outcome == Outcome::interrupted) continue;
            lock.unlock();  // the check may take long, or start a loop of its own
            const bool stop = check_while_waiting(job);
            if (g_forks.load() != forks) abandon_after_fork(stop);
            lock.lock();
            if (stop) {
                job.cancel();
                outcome = Outcome::interrupted;
            }
        }
        job_.reset();
        return outcome;
    }

    bool released(const Job& job) const { return job.done() && busy_workers_ == 0; }  // mutex_ held

    bool check_while_waiting(Job& job) {
        try {
            return stop_requested();
        } catch (abi::__forced_unwind&) {
            // The thread is being ended (as an interpreter ends its threads when it finalises):
            // the workers must let go of the job before the unwinding frees what they use.
            job.cancel();
            std::unique_lock lock(mutex_);
            job_done_.wait(lock, [&] { return released(job); });
            job_.reset();
            throw;
        }
    }

    // The check forked this process, and this is the child: the workers running the job (and
    // the pool's locks they may hold) stayed in the parent, so the loop cannot end here.
    [[noreturn]] static void abandon_after_fork(bool stop) {
        if (stop) throw Interrupted();
        panic("the process forked during a parallel loop, whose workers stayed in the parent");
    }

    void start_workers(std::size_t requested) {
        // Workers take no asynchronous signals (Ctrl-C and the like go to the interpreter's
        // threads); faults raised by a worker's own code still reach their handlers.
        sigset_t asynchronous, previous;
        sigfillset(&asynchronous);
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&asynchronous, fault);
        pthread_sigmask(SIG_SETMASK, &asynchronous, &previous);
        try {
            for (; worker_count_ < requested; ++worker_count_)
                std::thread([this, index = worker_count_, requested] { worker_loop(index, requested); }).detach();
        } catch (const std::system_error&) {
            // The system refused more threads: work with those already started.
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void worker_loop(std::size_t index, std::size_t workers) {
        int home = go_home(index, workers, -1);
        std::uint64_t seen_serial = 0;
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex_);
                work_ready_.wait(lock, [&] { return job_serial_ != seen_serial; });
                seen_serial = job_serial_;
                if (!job_) continue;
                job = job_;
                ++busy_workers_;
            }
            home = go_home(index, workers, home);
            job->work();
            std::lock_guard lock(mutex_);
            job.reset();
            if (--busy_workers_ == 0) job_done_.notify_all();
        }
    }

    std::size_t worker_count_ = 0;
    std::mutex caller_mutex_;
    std::mutex mutex_;  // guards job_, job_serial_ and busy_workers_
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    std::shared_ptr<Job> job_;
    std::uint64_t job_serial_ = 0;
    std::size_t busy_workers_ = 0;  // workers holding the current job
};

std::mutex g_creation_mutex;
std::atomic<WorkerPool*> g_pool{nullptr};

// A child forked while the pool exists has none of its worker threads: it drops (and leaks)
// the parent's pool, whose mutexes may also be held by threads that do not exist there, and
// builds a fresh one on its next parallel call.
void before_fork() { g_creation_mutex.lock(); }
void after_fork_in_parent() { g_creation_mutex.unlock(); }
void after_fork_in_child() {
    g_forks.fetch_add(1);
    g_pool.store(nullptr);
    g_creation_mutex.unlock();
}

// The pool size the environment asks for; the processors are counted (reading /proc and the
// control-group files, a fraction of a millisecond) only when it leaves the size to them.
std::size_t configured_pool_size() {
    const char* num_threads = std::getenv("RAYON_NUM_THREADS");
    const char* num_cpus = std::getenv("RAYON_RS_NUM_CPUS");
    const std::size_t asked = pool_size_for(num_threads, num_cpus, 0);
    return asked > 0 ? asked : pool_size_for(num_threads, num_cpus, available_processors());
}

WorkerPool& the_pool() {
    if (WorkerPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    static const bool fork_handlers_registered =
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    (void)fork_handlers_registered;
    std::lock_guard lock(g_creation_mutex);
    WorkerPool* pool = g_pool.load(std::memory_order_acquire);
    if (pool == nullptr) {
        pool = new WorkerPool(configured_pool_size());
        g_pool.store(pool, std::memory_order_release);
    }
    return *pool;
}

}  // namespace

std::size_t pool_size() { return the_pool().size(); }

void parallel_for_pieces(std::size_t n, const PieceFn& process_piece) {
    // Also between loops too short to reach a poll of their own.
    throw_if_stop_requested();
    if (n == 0) return;
    // A single index, or a loop started from inside a piece (whose workers are all busy) or
    // while this thread waits for the pool, runs right here on the calling thread.
    if (n == 1 || t_current_job != nullptr || t_waiting_for_pool) {
        process_piece(0, n);
        return;
    }
    WorkerPool& pool = the_pool();
    if (pool.size() == 0 || !pool.try_run(n, process_piece)) process_piece(0, n);
}

bool parallel_loop_cancelled() { return t_current_job != nullptr && t_current_job->cancelled(); }

}  // namespace quarnel
