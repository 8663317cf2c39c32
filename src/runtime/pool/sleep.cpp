#include "runtime/pool/sleep.hpp"

#include <mutex>

namespace velqor::pool::detail {
namespace {

// Under the sleep mutex. Guests sleep only on their own join latch and are
// not counted in `sleeping`.
void wake_locked(Pool& pool, Runner& r) noexcept {
    r.asleep = false;
    if (!r.guest) pool.sleeping.fetch_sub(1, std::memory_order_seq_cst);
    r.wake.notify_one();
}

}  // namespace

void publish(Pool& pool, bool queue_had_jobs) noexcept {
    // The read of `sleeping` pairs with the sleeper's announcement: see the
    // recheck in sleep_runner.
    if (pool.sleeping.load(std::memory_order_seq_cst) == 0) return;
    if (!queue_had_jobs && pool.idle_awake.load(std::memory_order_seq_cst) != 0) return;
    try {
        std::lock_guard lock(pool.sleep_mutex);
        for (const auto& w : pool.workers) {
            if (w->asleep) {
                wake_locked(pool, *w);
                return;
            }
        }
    } catch (...) {
        unexpected_failure();
    }
}

void wake_runner(Runner& r) noexcept {
    Pool& pool = *r.pool;
    try {
        std::lock_guard lock(pool.sleep_mutex);
        if (r.asleep) wake_locked(pool, r);
    } catch (...) {
        unexpected_failure();
    }
}

void terminate_all(Pool& pool) noexcept {
    pool.terminate.store(true, std::memory_order_seq_cst);
    try {
        std::lock_guard lock(pool.sleep_mutex);
        for (const auto& w : pool.workers)
            if (w->asleep) wake_locked(pool, *w);
    } catch (...) {
        unexpected_failure();
    }
}

void sleep_runner(Runner& r, JoinLatch* latch) noexcept {
    Pool& pool = *r.pool;
    try {
        std::unique_lock lock(pool.sleep_mutex);
        if (latch != nullptr && !latch->mark_sleeping()) return;
        r.asleep = true;
        if (!r.guest) {
            pool.sleeping.fetch_add(1, std::memory_order_seq_cst);
            // The recheck that makes a lost wake-up impossible. A publisher
            // pushes its job (a sequentially consistent store of the queue's
            // count) and then reads `sleeping`; this worker raised `sleeping`
            // (sequentially consistent) and now reads the counts. In the one
            // order of all four, either the push comes before this read, and
            // the worker sees the job and stays awake, or the announcement
            // comes before the publisher's read, and the publisher sees a
            // sleeper and wakes one under the sleep mutex, which this worker
            // holds until its wait has begun. Termination is checked the same
            // way against terminate_all's store.
            if (pool.terminate.load(std::memory_order_seq_cst) || pool.has_visible_work()) {
                r.asleep = false;
                pool.sleeping.fetch_sub(1, std::memory_order_seq_cst);
            }
        }
        while (r.asleep) r.wake.wait(lock);
        if (latch != nullptr) latch->clear_sleeping();
    } catch (...) {
        unexpected_failure();
    }
}

}  // namespace velqor::pool::detail
