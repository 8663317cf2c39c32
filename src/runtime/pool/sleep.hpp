// Sleeping and waking of the pool's runners. An idle worker searches for a
// while, yielding between searches, then announces itself asleep and sleeps on
// its own condition variable; whoever publishes a job wakes one sleeper when no
// awake worker is idle to take it. A runner waiting for a join's second half
// may sleep on that half's latch instead, which its setter wakes. Why no
// wake-up is lost is argued at the recheck in sleep_runner (sleep.cpp).
//
// Any thread may publish, wake or terminate; only a runner's own thread puts
// it to sleep. Everything here takes at most the pool's sleep_mutex, for a few
// instructions, except sleep_runner, which blocks until woken.
#pragma once

#include <atomic>

#include "runtime/pool/runner.hpp"

namespace velqor::pool::detail {

// Wakes one sleeping worker after a job was pushed, unless an awake idle
// worker will take it. A push onto a queue that already held jobs always
// wakes one: the idle workers evidently do not keep up.
void publish(Pool& pool, bool queue_had_jobs) noexcept;

// Pushes a job onto the pool's shared queue and publishes it.
inline void inject(Pool& pool, JobRef job) noexcept { publish(pool, pool.injector.push(job)); }

// Wakes `r` if it sleeps.
void wake_runner(Runner& r) noexcept;

// Tells every worker to leave its loop and wakes the sleeping ones.
void terminate_all(Pool& pool) noexcept;

// Completion latch of a join's second half. Its owner keeps running other jobs
// while it waits and may sleep; the sleeping state tells the setter to wake it.
class JoinLatch {
public:
    explicit JoinLatch(Runner& owner) : owner_(&owner) {}

    bool probe() const noexcept { return state_.load(std::memory_order_acquire) == kSet; }

    // Release: the result slot written before is visible to whoever probes the latch set.
    void set() noexcept {
        // The record (and this latch) may be gone as soon as the owner sees the
        // latch set, so take what the wake needs first. Pools are never freed.
        Runner* owner = owner_;
        if (state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping) wake_runner(*owner);
    }

    // Called by the owner under the sleep mutex; false when the latch is already set.
    bool mark_sleeping() noexcept {
        int expected = kUnset;
        return state_.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel);
    }

    void clear_sleeping() noexcept {
        int expected = kSleeping;
        state_.compare_exchange_strong(expected, kUnset, std::memory_order_acq_rel);
    }

private:
    static constexpr int kUnset = 0;
    static constexpr int kSleeping = 1;
    static constexpr int kSet = 2;
    std::atomic<int> state_{kUnset};
    Runner* owner_;
};

// The runner's own thread: sleeps until woken, unless the awaited latch (if
// any) is already set, or, for a worker, work or termination shows up after
// the sleep is announced. Guests are not counted among the sleeping workers:
// no publication wakes them, only their latch.
void sleep_runner(Runner& r, JoinLatch* latch) noexcept;

}  // namespace velqor::pool::detail
