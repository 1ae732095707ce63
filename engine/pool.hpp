// The process-wide worker pool: the calling thread and the pool's helper
// threads run one job at a time. The pool knows nothing of what a job does;
// a job hands out its own tasks (through a shared counter, say) until none
// is left, so that each worker simply runs it once.
#pragma once

#include <cstddef>
#include <mutex>

namespace tessaly {

struct PoolJob {
    void (*work)(void* context);  // run once by every worker, the calling thread included
    void* context;
};

// Holds the pool for a run of jobs: one user at a time (recursive, since the
// poll between steps may run code that starts a sweep of another world).
std::unique_lock<std::recursive_mutex> hold_pool();

// Runs the job on every worker and returns when each helper has checked
// out, so that none still touches the job.
void run_job(const PoolJob& job);

// Number of workers of the process-wide pool (created on first use).
std::size_t worker_count();

// Replaces the pool by one of `count` workers (0: the default count), so that
// tests can compare worker counts within one process.
void set_worker_count_for_testing(std::size_t count);

}  // namespace tessaly
