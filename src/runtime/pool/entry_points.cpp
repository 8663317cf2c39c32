// The pool's entry points (pool.hpp): the only code that reaches the
// process-wide pool. A loop runs on the pool of the worker that starts it, or,
// from any other thread, on the process-wide one.
#include "runtime/pool.hpp"

#include "runtime/pool/global_pool.hpp"
#include "runtime/pool/loops.hpp"

namespace velqor::pool {
namespace {

// The pool a loop started on this thread runs on.
detail::Pool& current_pool() {
    if (detail::Runner* w = detail::current_worker()) return *w->pool;
    return detail::global_pool();
}

}  // namespace

std::size_t current_worker_index() noexcept {
    const detail::Runner* w = detail::current_worker();
    return w != nullptr ? w->index : kNotAWorker;
}

std::size_t current_num_threads() { return current_pool().num_threads; }

bool is_running() noexcept { return detail::current_worker() != nullptr || detail::global_pool_running(); }

void for_each_range_erased(std::uint64_t n, RangeFn body, void* context) {
    detail::Pool& pool = current_pool();
    detail::run_loop(pool, n, body, context);
}

}  // namespace velqor::pool
