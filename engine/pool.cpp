// The worker pool. A job is published by bumping `generation`; helpers spin
// for it a while, then block on a condition variable; the caller works on
// the job too and then waits for the helpers to check out. One worker means
// no helper thread at all, and no hand-over between threads.
#include "pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace tessaly {

namespace {

struct Pool {
    std::mutex mutex;
    std::condition_variable wake;              // helpers: a new job, or stop
    std::condition_variable finished;          // caller: the last helper checked out
    std::atomic<std::uint64_t> generation{0};  // jobs handed out so far
    std::atomic<std::size_t> active{0};        // helpers not yet done with the current job
    const PoolJob* job = nullptr;              // published by `generation` (release/acquire)
    bool stop = false;                         // guarded by `mutex`
    std::vector<std::thread> threads;          // the helpers: one fewer than the workers
};

inline void cpu_relax() { __builtin_ia32_pause(); }

// Spin rounds before a waiting thread blocks. Between the colour phases of a
// step a helper waits only for the merge, so it spins a while, yielding now
// and then so that the caller, if it has to be woken, gets to run. The
// caller, done with its own tasks, waits at most for the helpers' last ones
// (a few microseconds), far less than a sleep and a wake-up would take.
constexpr int WORKER_SPIN = 1 << 13;
constexpr int CALLER_SPIN = 1 << 13;

// Waits for a job newer than `seen`; false when the pool stops.
bool await_job(Pool& pool, std::uint64_t& seen) {
    for (int k = 0; k < WORKER_SPIN; ++k) {
        const std::uint64_t g = pool.generation.load(std::memory_order_acquire);
        if (g != seen) {
            seen = g;
            return true;
        }
        if (k % 32 == 31) {
            std::this_thread::yield();
        } else {
            cpu_relax();
        }
    }
    std::unique_lock lock(pool.mutex);
    pool.wake.wait(lock, [&] { return pool.stop || pool.generation.load(std::memory_order_acquire) != seen; });
    if (pool.stop) return false;
    seen = pool.generation.load(std::memory_order_acquire);
    return true;
}

void worker_main(Pool& pool, std::uint64_t seen) {
    while (await_job(pool, seen)) {
        const PoolJob& job = *pool.job;
        job.work(job.context);
        if (pool.active.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard lock(pool.mutex);
            pool.finished.notify_one();
        }
    }
}

// RAYON_NUM_THREADS when it holds a positive decimal integer, else the
// processors of this process's affinity mask (1 when unknown).
std::size_t default_worker_count() {
    if (const char* text = std::getenv("RAYON_NUM_THREADS"); text != nullptr && *text != '\0') {
        std::size_t value = 0;
        bool valid = true;
        for (const char* p = text; *p != '\0' && valid; ++p) {
            valid = *p >= '0' && *p <= '9';
            if (!valid) break;
            const auto digit = static_cast<std::size_t>(*p - '0');
            valid = value <= (SIZE_MAX - digit) / 10;
            value = value * 10 + digit;
        }
        if (valid && value > 0) return value;
    }
    for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        const int rc = sched_getaffinity(0, size, set);
        const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 1;
        if (errno != EINVAL) break;
    }
    return 1;
}

// Starts the helpers of `count` workers with every signal blocked, so that
// signals keep going to the threads that expect them.
Pool* start_pool(std::size_t count) {
    auto* pool = new Pool;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        pool->threads.reserve(count - 1);
        for (std::size_t k = 1; k < count; ++k) pool->threads.emplace_back(worker_main, std::ref(*pool), 0);
    } catch (...) {
        // fewer workers than asked for will do: the results do not depend on the count
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return pool;
}

void stop_pool(Pool* pool) {
    {
        std::lock_guard lock(pool->mutex);
        pool->stop = true;
    }
    pool->wake.notify_all();
    for (std::thread& thread : pool->threads) thread.join();
    delete pool;
}

// The process-wide pool. It lives until the process ends (its workers block
// on a condition variable meanwhile); a forked child, which inherits none of
// the workers, starts a pool of its own.
std::mutex pool_mutex;  // guards `the_pool`
Pool* the_pool = nullptr;
std::recursive_mutex run_mutex;  // one user of the pool at a time

void forget_pool_in_child() { the_pool = nullptr; }

Pool& shared_pool() {
    std::lock_guard lock(pool_mutex);
    if (the_pool == nullptr) {
        static const int registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        (void)registered;
        the_pool = start_pool(default_worker_count());
    }
    return *the_pool;
}

}  // namespace

std::unique_lock<std::recursive_mutex> hold_pool() { return std::unique_lock(run_mutex); }

void run_job(const PoolJob& job) {
    Pool& pool = shared_pool();
    if (pool.threads.empty()) {
        job.work(job.context);
        return;
    }
    pool.job = &job;
    pool.active.store(pool.threads.size(), std::memory_order_relaxed);
    {
        std::lock_guard lock(pool.mutex);
        pool.generation.fetch_add(1, std::memory_order_release);
    }
    pool.wake.notify_all();
    job.work(job.context);
    for (int k = 0; k < CALLER_SPIN; ++k) {
        if (pool.active.load(std::memory_order_acquire) == 0) return;
        cpu_relax();
    }
    std::unique_lock lock(pool.mutex);
    pool.finished.wait(lock, [&] { return pool.active.load(std::memory_order_acquire) == 0; });
}

std::size_t worker_count() { return shared_pool().threads.size() + 1; }

void set_worker_count_for_testing(std::size_t count) {
    std::lock_guard run_lock(run_mutex);
    std::lock_guard lock(pool_mutex);
    if (the_pool != nullptr) stop_pool(the_pool);
    the_pool = nullptr;
    the_pool = start_pool(count == 0 ? default_worker_count() : count);
}

}  // namespace tessaly
