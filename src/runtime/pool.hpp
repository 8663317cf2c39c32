// The process-wide work-stealing worker pool that runs the core's data-parallel
// loops: the entry points, the only code that reaches the process-wide pool
// (the machinery is in pool/). The pool starts with the first loop (or the
// first call of current_num_threads from a thread that is not a worker) and
// lives until the process ends; a forked child starts a fresh one on its next
// loop.
//
// A thread outside the pool that starts a loop of two or more indices runs the
// loop's first pieces itself while the workers take the rest, and returns when
// every piece is done (with one worker it hands the whole loop over and waits).
// A panic raised inside a loop body is caught on the thread that raised it,
// carried back and continued on the calling thread without a second report.
//
// Who may call: any thread, a worker too (a loop inside a loop body splits on
// the worker's pool). What may block: a loop blocks its caller until every
// piece is done. What a body may do: take locks that other pieces take too
// (a register's lock), and start loops of its own; it must not wait for
// anything that only another piece or the caller provides (with one worker the
// pieces run one after another), must not call the host (the interpreter) and
// must not let the host lock go (host::release is for the calling thread,
// before its loops start).
//
// The entry points are type-erased (a function pointer and a context), so job
// records live in stack frames and nothing is allocated per job; the templates
// below are thin adapters for lambdas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velqor::pool {

// Worker count W of the pool: on a worker, of its own pool; anywhere else, of
// the process-wide pool, which this call creates when it does not exist yet.
std::size_t current_num_threads();

// Makes sure the pool exists, creating it when it does not (a creation failure
// panics exactly as the first loop would). The core calls this at the start of
// every operation that runs loops, before it takes any lock: a pool that cannot
// start then fails the call without poisoning a register's lock.
inline void acquire() { current_num_threads(); }

// The index of the calling thread among the pool's workers (0 to W - 1), or
// kNotAWorker on any other thread. Never creates the pool.
inline constexpr std::size_t kNotAWorker = static_cast<std::size_t>(-1);
std::size_t current_worker_index() noexcept;

// Whether the process-wide pool is up (or the caller is one of its workers).
// Never creates the pool and never panics.
bool is_running() noexcept;

// Body of an indexed loop: called with the half-open index range [begin, end)
// of one unsplit piece, which it must process in increasing index order.
using RangeFn = void (*)(void* context, std::uint64_t begin, std::uint64_t end);

// Runs body over [0, n) with adaptive splitting: the split budget starts at W,
// halves on every split, and is re-armed to max(budget / 2, W) on a piece that
// another thread stole. A loop of fewer than two indices runs on the calling
// thread (after the pool has been created).
void for_each_range_erased(std::uint64_t n, RangeFn body, void* context);

template <class F>
void for_each_range(std::uint64_t n, F&& body) {
    using Body = std::remove_reference_t<F>;
    for_each_range_erased(
        n, [](void* c, std::uint64_t begin, std::uint64_t end) { (*static_cast<Body*>(c))(begin, end); },
        const_cast<void*>(static_cast<const void*>(&body)));
}

// Loops of fewer indices than this are cheaper on the calling thread alone
// than handed to the pool (one amplitude or pair of work per index).
inline constexpr std::uint64_t kSmallLoop = std::uint64_t{1} << 14;

// Runs body over [0, n): as one piece on the calling thread when n is below
// kSmallLoop, else as for_each_range. The caller has acquired the pool.
template <class F>
void for_each_range_unless_small(std::uint64_t n, F&& body) {
    if (n < kSmallLoop) {
        body(std::uint64_t{0}, n);
    } else {
        for_each_range(n, body);
    }
}

// Runs body(i) for every i in [0, n), each piece in increasing i.
template <class F>
void for_each(std::uint64_t n, F&& body) {
    for_each_range(n, [&body](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = begin; i < end; ++i) body(i);
    });
}

// The most workers a pool has, whatever the environment asks for.
inline constexpr std::size_t kMaxWorkers = 255;

}  // namespace velqor::pool
