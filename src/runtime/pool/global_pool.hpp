// The process-wide pool: created by the first loop that needs it, with the
// worker count the environment asks for, kept until the process ends, and
// forgotten by a forked child, which creates a fresh one on its next loop.
// Only the entry points (pool.hpp) reach it; the scheduler and the loops work
// on whatever pool they are given.
#pragma once

#include <cstddef>

#include "runtime/environment.hpp"
#include "runtime/pool/runner.hpp"

namespace velqor::pool::detail {

// The process-wide pool, created on first need; any thread. A worker that
// cannot be started panics (and every later call panics again); a refused
// allocation throws std::bad_alloc and leaves the pool absent, for the next
// call to create. Blocks (yielding) while another thread creates it.
Pool& global_pool();

// Whether the process-wide pool is up; never creates it, any thread.
bool global_pool_running() noexcept;

// Worker count as read through `read`: RAYON_NUM_THREADS, then
// RAYON_RS_NUM_CPUS, then `processors`; capped at kMaxWorkers. Exposed for
// tests; the pool calls it once, at creation.
std::size_t worker_count_from_env(env::Reader read, std::size_t processors);

}  // namespace velqor::pool::detail
