// The pool's scheduler: a worker's life (find a job, run it, idle, sleep) and
// the join that splits every loop. A join runs its two halves, possibly in
// parallel, on the pool it is given; nothing here reaches the process-wide
// pool (global_pool.hpp), so a test can run joins on a pool of its own.
//
// Loops from outside the pool: a thread that is not a worker and starts a join
// (the top of a loop of two or more indices) claims one of the pool's guest
// records and runs the join on it itself, as a worker runs the job injected from
// the shared queue: the second half waits on the guest's queue, where workers
// steal it, while the caller runs the first half. Both halves count as moved,
// as the halves of an injected job do, so loops split exactly as they would on
// the workers alone. The caller thus works on its loop instead of waiting for a
// worker to pick it up, and takes the second half back when no worker came in
// time. A guest runs only jobs of its own queue, all of them pieces of its own
// loop, never another thread's; when its awaited half was stolen and nothing is
// left to take, it sleeps on that half's latch. With one worker, or when every
// guest record is taken, the caller injects the join into the shared queue and
// blocks until a worker has run it.
#pragma once

#include "runtime/pool/runner.hpp"

namespace velqor::pool::detail {

// A started worker's whole life: runs jobs until the pool terminates.
void worker_loop(Runner& w) noexcept;

// Runs a and b, possibly in parallel, and returns when both are done: on the
// calling thread's runner (its worker or the guest record it holds), else on
// a guest record of `pool`, else injected into `pool`. When both panic, a's
// panic wins; otherwise whichever panicked is continued once the other has
// finished. The split of every loop; tests call it directly. Blocks until both
// halves are done; the halves may block, since the thread that waits for one
// runs other jobs or sleeps meanwhile.
void join(Pool& pool, WorkFn a, void* a_context, WorkFn b, void* b_context);

// A fresh caller latch for the calling thread: a forked child's copy of the
// parent's may have been mid-use.
void reset_thread_latch() noexcept;

}  // namespace velqor::pool::detail
