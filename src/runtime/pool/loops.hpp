// Indexed loops on a given pool: a range divided by recursive halving into
// joins, with the adaptive split budget. The pool is the caller's to choose
// (the entry points pass the process-wide one; tests may pass their own).
#pragma once

#include <cstdint>

#include "runtime/pool.hpp"
#include "runtime/pool/runner.hpp"

namespace velqor::pool::detail {

// Runs body over [0, n) on `pool` with adaptive splitting: the split budget
// starts at the pool's worker count W, halves on every split, and is
// re-armed to max(budget / 2, W) on a half that another thread stole. A loop
// of fewer than two indices runs on the calling thread. Blocks until every
// piece is done; what the body may do is pool.hpp's.
void run_loop(Pool& pool, std::uint64_t n, RangeFn body, void* context);

}  // namespace velqor::pool::detail
