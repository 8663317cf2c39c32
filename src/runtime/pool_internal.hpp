// What the pool's scheduler (pool.cpp) and its process set-up (pool_setup.cpp)
// share: the job queues, the worker and pool records, and the few entry points
// each file offers the other. Not for use outside the pool.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "runtime/panic.hpp"

namespace velqor::pool::detail {

inline constexpr std::size_t kInitialQueueCapacity = 64;

// Runner records for threads outside the pool that run their own loop beside
// the workers. Interpreter threads keep the interpreter lock through a loop, so
// one such thread at a time is the case that matters; a thread that finds every
// record taken hands its loop over whole.
inline constexpr std::size_t kGuestRunners = 1;

inline constexpr std::string_view kUnexpectedPanic = "Rayon: detected unexpected panic; aborting";

// Anything that escapes the pool's own machinery (outside a job's work) ends the
// process: a half-finished queue operation or wait cannot be unwound safely.
[[noreturn]] inline void unexpected_failure() noexcept { fatal_error(kUnexpectedPanic); }

struct Pool;
struct Runner;

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
// searches skip empty queues without locking, and so that a worker going to
// sleep can see a publication (see the scheduler's file comment).
//
// Who may call what: on a worker's own queue, push() and pop_newest() are the
// owner's alone (the owner works at the newest end, last in first out);
// pop_oldest() is for any thief (thieves take the oldest end, first in first
// out); a guest record's queue is owned by the thread that holds the record.
// On the pool's shared queue, any thread may push() and workers take
// jobs with pop_oldest(). maybe_nonempty() may be called by anyone.
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

// A runner of jobs: one of the pool's worker threads, or a guest record that a
// thread outside the pool holds while it runs its own loop's joins (its queue
// is then stolen from like a worker's, but it steals from nobody).
struct alignas(64) Runner {
    Runner(Pool* owner, std::size_t number, bool is_guest)
        : pool(owner), index(number), guest(is_guest), rng(0x9E3779B97F4A7C15ull * (number + 1)) {}

    Pool* pool;
    std::size_t index;  // worker number; guests count on from the worker count
    const bool guest;
    JobQueue queue;
    std::condition_variable wake;  // waited on with the pool's sleep_mutex
    bool asleep = false;           // guarded by the pool's sleep_mutex
    std::uint64_t rng;             // picks where a theft starts; touched by the owner only
    // Guests only: whether a thread holds this record. Taken with acquire and
    // given back with release, so the next holder sees the queue as left.
    std::atomic<bool> claimed{false};
};

struct Pool {
    explicit Pool(std::size_t count) : num_threads(count) {
        workers.reserve(count);
        for (std::size_t i = 0; i < count; ++i) workers.push_back(std::make_unique<Runner>(this, i, false));
        // With one worker a loop keeps to it: the caller running pieces too
        // would double the parallelism the worker count asked for.
        if (count > 1) {
            guests.reserve(kGuestRunners);
            for (std::size_t i = 0; i < kGuestRunners; ++i)
                guests.push_back(std::make_unique<Runner>(this, count + i, true));
        }
    }

    // Wakes one sleeping worker after a job was pushed, unless an awake idle
    // worker will take it. A push onto a queue that already held jobs always
    // wakes one: the idle workers evidently do not keep up.
    void publish(bool queue_had_jobs) noexcept {
        if (sleeping.load(std::memory_order_seq_cst) == 0) return;
        if (!queue_had_jobs && idle_awake.load(std::memory_order_seq_cst) != 0) return;
        try {
            std::lock_guard lock(sleep_mutex);
            for (const auto& w : workers) {
                if (w->asleep) {
                    wake_locked(*w);
                    return;
                }
            }
        } catch (...) {
            unexpected_failure();
        }
    }

    void inject(JobRef job) noexcept { publish(injector.push(job)); }

    void wake_worker(Runner& w) noexcept {
        try {
            std::lock_guard lock(sleep_mutex);
            if (w.asleep) wake_locked(w);
        } catch (...) {
            unexpected_failure();
        }
    }

    // Guests sleep only on their own join latch and are not counted in `sleeping`.
    void wake_locked(Runner& w) noexcept {
        w.asleep = false;
        if (!w.guest) sleeping.fetch_sub(1, std::memory_order_seq_cst);
        w.wake.notify_one();
    }

    // Tells every worker to leave its loop and wakes the sleeping ones.
    void terminate_all() noexcept {
        terminate.store(true, std::memory_order_seq_cst);
        try {
            std::lock_guard lock(sleep_mutex);
            for (const auto& w : workers)
                if (w->asleep) wake_locked(*w);
        } catch (...) {
            unexpected_failure();
        }
    }

    bool has_visible_work() const noexcept {
        if (injector.maybe_nonempty()) return true;
        for (const auto& w : workers)
            if (w->queue.maybe_nonempty()) return true;
        for (const auto& g : guests)
            if (g->queue.maybe_nonempty()) return true;
        return false;
    }

    const std::size_t num_threads;
    std::vector<std::unique_ptr<Runner>> workers;
    std::vector<std::unique_ptr<Runner>> guests;  // empty with one worker
    JobQueue injector;
    std::mutex sleep_mutex;                  // guards every worker's `asleep`
    std::atomic<std::size_t> sleeping{0};    // workers announced asleep and not yet woken
    std::atomic<std::size_t> idle_awake{0};  // workers searching for work without finding any
    std::atomic<bool> terminate{false};
    Pool* abandoned_next = nullptr;  // links the unusable pools (see abandon())
};

// The record this thread's joins run on: its worker, or the guest record it
// holds for the loop it runs; null otherwise. The thread's one pool identity.
extern thread_local Runner* t_runner;

// The worker the calling thread is, or null on any other thread (a guest
// record does not make its holder a worker).
inline Runner* current_worker() noexcept {
    Runner* runner = t_runner;
    return runner != nullptr && !runner->guest ? runner : nullptr;
}

// Scheduler, for the set-up: a started worker's whole life (runs jobs until
// the pool terminates), and a fresh blocking latch for the calling thread (a
// forked child's copy of the parent's may have been mid-use).
void worker_loop(Runner& w) noexcept;
void reset_thread_latch() noexcept;

// Set-up, for the scheduler: the process-wide pool, created on first need. A
// worker that cannot be started panics (and every later call panics again); a
// refused allocation throws std::bad_alloc and leaves the pool absent, for the
// next call to create.
Pool& global_pool();

// Runs a and b, possibly in parallel, and returns when both are done: on the
// calling worker, on a guest record, or injected into the pool. When both
// panic, a's panic wins; otherwise whichever panicked is continued once the
// other has finished. The split of every loop; tests call it directly.
void join_context(WorkFn a, void* a_context, WorkFn b, void* b_context);

}  // namespace velqor::pool::detail
