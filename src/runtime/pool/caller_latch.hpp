// The completion latch a thread outside the pool blocks on while a worker runs
// the join it handed in. One thread sets it, one thread (its owner) waits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/pool/fatal.hpp"

namespace velqor::pool::detail {

class CallerLatch {
public:
    // The worker that ran the join: wakes the waiter.
    void set() noexcept {
        try {
            // Notify under the lock: once the waiter sees the flag it may leave
            // and end its thread, taking the latch with it.
            std::lock_guard lock(mutex_);
            flag_.store(true, std::memory_order_release);
            cv_.notify_one();
        } catch (...) {
            unexpected_failure();
        }
    }

    // The owner: blocks until set, then makes the latch ready for its next
    // join. Loops handed over back to back finish within microseconds: the
    // waiter first watches the flag for a short while (yielding the processor,
    // so the workers keep it), and only then sleeps on the condition variable.
    void wait_and_reset() noexcept {
        try {
            for (unsigned i = 0; i < kWaiterSpinRounds; ++i) {
                if (flag_.load(std::memory_order_acquire)) break;
                std::this_thread::yield();
            }
            std::unique_lock lock(mutex_);
            while (!flag_.load(std::memory_order_acquire)) cv_.wait(lock);
            flag_.store(false, std::memory_order_relaxed);
        } catch (...) {
            unexpected_failure();
        }
    }

private:
    static constexpr unsigned kWaiterSpinRounds = 64;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::atomic<bool> flag_{false};  // set under mutex_, read by the owner without it while it spins
};

}  // namespace velqor::pool::detail
