// Starting a pool: the record, its worker threads with their stack size, the
// system error's text when a thread cannot start, and the list of pool records
// that can no longer be used but are never freed. Called by the process-wide
// pool (global_pool.hpp) and by tests that want a pool of their own.
#pragma once

#include <cstddef>
#include <string>

#include "runtime/pool/runner.hpp"

namespace velqor::pool::detail {

// Starts a pool of `count` workers. A refused allocation throws
// std::bad_alloc before any worker has started, leaving nothing behind. When
// a worker cannot be started, those already started are told to terminate,
// the record is abandoned, and the result is null with `error` holding the
// system error. A started pool is never freed: its workers sleep in it until
// the process ends.
Pool* start_pool(std::size_t count, int& error);

// Keeps a pool record that can no longer be used (a failed start, or a pool a
// forked child inherited without its threads) reachable for good: threads may
// still read it, or its mutexes may be held by threads that no longer exist.
void abandon(Pool* pool) noexcept;

// Debug form of a system error, e.g.
// Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }
std::string os_error_debug(int code);

}  // namespace velqor::pool::detail

namespace velqor::pool::test_hooks {

// Makes the next pool creation in this process fail at worker `index` with the
// system error `error`, as if the system had refused to start that thread
// (workers before it do start). For tests of the creation-failure path, which
// run in a child process since the pool then stays absent for good.
void fail_worker_start(std::size_t index, int error);

}  // namespace velqor::pool::test_hooks
