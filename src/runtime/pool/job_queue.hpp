// The pool's job references and the locked ring that queues them. Every job
// record lives in the frame of the thread that waits for it; a queue holds
// only {execute, record} pairs, so queuing a job never allocates (but for the
// ring's rare growth).
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

#include "runtime/pool/fatal.hpp"

namespace velqor::pool::detail {

inline constexpr std::size_t kInitialQueueCapacity = 64;

// Runs the job's work with the moved flag, stores the result and sets the
// job's latch. Never throws: panics of the work are kept in the job record.
using ExecuteFn = void (*)(void* record, bool moved) noexcept;

struct JobRef {
    ExecuteFn execute = nullptr;
    void* record = nullptr;
};

// A piece of work that learns whether it runs on a thread other than the one
// that queued it.
using WorkFn = void (*)(void* context, bool moved);

// A growable ring of jobs under a mutex. `size_` mirrors the count so that
// searches skip empty queues without locking, and so that a runner going to
// sleep can see a publication (sleep.cpp argues why none is lost).
//
// Who may call what: on a worker's own queue, push() and pop_newest() are the
// owner's alone (the owner works at the newest end, last in first out);
// pop_oldest() is for any thief (thieves take the oldest end, first in first
// out); a guest record's queue is owned by the thread that holds the record.
// On the pool's shared queue, any thread may push() and workers take
// jobs with pop_oldest(). maybe_nonempty() may be called by anyone. No call
// blocks but on the ring's own mutex, which is held for a few instructions.
//
// Why a locked ring and not a lock-free work-stealing deque: the jobs are
// pieces of loops over whole blocks of the state (microseconds to
// milliseconds each), so an uncontended lock per push and pop costs nothing
// measurable (bench_pool's round trip), while a lock-free deque's memory-order
// arguments, its buffer growth under concurrent thieves and its reclamation of
// old buffers are hard to get right and to check under ThreadSanitizer.
class JobQueue {
public:
    JobQueue() : slots_(kInitialQueueCapacity) {}

    // Owner (or, on the shared queue, any thread): adds a job as the newest;
    // returns whether the queue already held jobs.
    bool push(JobRef job) noexcept {
        try {
            std::lock_guard lock(mutex_);
            if (count_ == slots_.size()) grow();
            slots_[(head_ + count_) & (slots_.size() - 1)] = job;
            ++count_;
            size_.store(count_, std::memory_order_seq_cst);
            return count_ > 1;
        } catch (...) {
            unexpected_failure();
        }
    }

    // Owner only: takes the newest job.
    bool pop_newest(JobRef& job) noexcept {
        if (size_.load(std::memory_order_seq_cst) == 0) return false;
        try {
            std::lock_guard lock(mutex_);
            if (count_ == 0) return false;
            --count_;
            job = slots_[(head_ + count_) & (slots_.size() - 1)];
            size_.store(count_, std::memory_order_seq_cst);
            return true;
        } catch (...) {
            unexpected_failure();
        }
    }

    // Any thief: takes the oldest job.
    bool pop_oldest(JobRef& job) noexcept {
        if (size_.load(std::memory_order_seq_cst) == 0) return false;
        try {
            std::lock_guard lock(mutex_);
            if (count_ == 0) return false;
            job = slots_[head_];
            head_ = (head_ + 1) & (slots_.size() - 1);
            --count_;
            size_.store(count_, std::memory_order_seq_cst);
            return true;
        } catch (...) {
            unexpected_failure();
        }
    }

    // Anyone, without the lock: a sequentially consistent read of the count.
    bool maybe_nonempty() const noexcept { return size_.load(std::memory_order_seq_cst) != 0; }

private:
    // Doubles the capacity (kept a power of two), oldest job first.
    void grow() {
        std::vector<JobRef> bigger(slots_.size() * 2);
        for (std::size_t i = 0; i < count_; ++i) bigger[i] = slots_[(head_ + i) & (slots_.size() - 1)];
        slots_.swap(bigger);
        head_ = 0;
    }

    std::mutex mutex_;
    std::vector<JobRef> slots_;         // guarded by mutex_
    std::size_t head_ = 0;              // guarded by mutex_
    std::size_t count_ = 0;             // guarded by mutex_
    std::atomic<std::size_t> size_{0};  // written under mutex_, read by anyone
};

}  // namespace velqor::pool::detail
