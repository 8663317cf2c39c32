// The process-wide work-stealing pool.
//
// Layout: W workers, each with a double-ended job queue (the owner pushes and
// pops the newest job, thieves take the oldest), plus one first-in-first-out
// queue for jobs handed in by threads that are not workers. Every job record
// lives in the frame of the thread that waits for it; the queues hold only
// {execute, record} pairs.
//
// Sleeping: an idle worker searches for a while, yielding between searches, then
// announces itself asleep and sleeps on its own condition variable. Whoever
// publishes a job (a push on a worker queue or on the shared queue) wakes one
// sleeper when no awake worker is idle to take it. The announcement and the
// publication are both sequentially consistent atomics, and the sleeper checks
// the queues again after announcing, so a job published concurrently is never
// missed: either the sleeper sees the job or the publisher sees the sleeper.
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
#include "runtime/pool.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "runtime/never_destroyed.hpp"
#include "runtime/panic.hpp"
#include "runtime/pool_internal.hpp"

namespace velqor::pool {
namespace detail {

thread_local Runner* t_runner = nullptr;

}  // namespace detail

namespace {

using namespace detail;

// Makes `runner` this thread's join record for the scope's life.
class RunnerScope {
public:
    explicit RunnerScope(Runner* runner) noexcept : previous_(t_runner) { t_runner = runner; }
    ~RunnerScope() { t_runner = previous_; }
    RunnerScope(const RunnerScope&) = delete;
    RunnerScope& operator=(const RunnerScope&) = delete;

private:
    Runner* previous_;
};

// Holds a free guest record of the pool for the calling thread, if one is free.
class GuestClaim {
public:
    explicit GuestClaim(Pool& pool) noexcept {
        for (const auto& g : pool.guests) {
            bool expected = false;
            if (!g->claimed.load(std::memory_order_relaxed) &&
                g->claimed.compare_exchange_strong(expected, true, std::memory_order_acquire,
                                                   std::memory_order_relaxed)) {
                guest_ = g.get();
                return;
            }
        }
    }
    ~GuestClaim() {
        if (guest_ != nullptr) guest_->claimed.store(false, std::memory_order_release);
    }
    GuestClaim(const GuestClaim&) = delete;
    GuestClaim& operator=(const GuestClaim&) = delete;

    Runner* get() const noexcept { return guest_; }

private:
    Runner* guest_ = nullptr;
};

// How long an idle worker keeps searching before it sleeps (and at least how
// many searches), so that back-to-back loops find the workers awake.
constexpr auto kSpinTime = std::chrono::microseconds(100);
constexpr unsigned kMinSpinRounds = 32;

// How many times a guest whose awaited half was stolen watches the latch
// (yielding the processor to the workers) before it sleeps on it.
constexpr unsigned kGuestSpinRounds = 64;

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
        if (state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping) owner->pool->wake_worker(*owner);
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

// Completion latch of an interpreter thread: one per thread, created on its
// first loop and reset after each wait.
class BlockingLatch {
public:
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

    // Loops handed over back to back finish within microseconds: the waiter
    // first watches the flag for a short while (yielding the processor, so the
    // workers keep it), and only then sleeps on the condition variable.
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
    std::atomic<bool> flag_{false};
};

// Made on the thread's first loop and never destroyed: a latch holds no memory
// or other resource of the system, and a thread_local with a destructor would
// register it at the thread's first loop, an allocation whose refusal ends the
// process.
thread_local NeverDestroyed<BlockingLatch> t_latch;

std::uint64_t next_random(Runner& w) noexcept {
    w.rng ^= w.rng << 13;
    w.rng ^= w.rng >> 7;
    w.rng ^= w.rng << 17;
    return w.rng;
}

// Own queue (newest first), then the other workers' queues (oldest first,
// starting at a random one), then the guests' queues, then the shared queue.
// `moved` tells whether the job was queued by another thread. Workers only.
bool find_work(Runner& w, JobRef& job, bool& moved) noexcept {
    if (w.queue.pop_newest(job)) {
        moved = false;
        return true;
    }
    Pool& pool = *w.pool;
    const std::size_t n = pool.num_threads;
    if (n > 1) {
        const std::size_t start = static_cast<std::size_t>(next_random(w) % n);
        for (std::size_t k = 0; k < n; ++k) {
            Runner& victim = *pool.workers[(start + k) % n];
            if (&victim != &w && victim.queue.pop_oldest(job)) {
                moved = true;
                return true;
            }
        }
    }
    for (const auto& g : pool.guests) {
        if (g->queue.pop_oldest(job)) {
            moved = true;
            return true;
        }
    }
    if (pool.injector.pop_oldest(job)) {
        moved = true;
        return true;
    }
    return false;
}

// Sleeps until woken, unless the awaited latch (if any) is already set, or,
// for a worker, work or termination shows up after the sleep is announced.
// Guests are not counted among the sleeping workers: no publication wakes
// them, only their latch.
void sleep_runner(Runner& r, JoinLatch* latch) noexcept {
    Pool& pool = *r.pool;
    try {
        std::unique_lock lock(pool.sleep_mutex);
        if (latch != nullptr && !latch->mark_sleeping()) return;
        r.asleep = true;
        if (!r.guest) {
            pool.sleeping.fetch_add(1, std::memory_order_seq_cst);
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

// A guest's wait for a half that a worker stole: it runs what is left in its
// own queue (pieces of its own loop), then watches the latch for a short while
// and sleeps on it. It takes no other thread's jobs: pieces of another loop may
// need per-thread state that only that loop's caller prepared.
void wait_as_guest(Runner& g, JoinLatch& latch) noexcept {
    unsigned rounds = 0;
    while (!latch.probe()) {
        JobRef job;
        if (g.queue.pop_newest(job)) {
            job.execute(job.record, false);
            rounds = 0;
        } else if (rounds < kGuestSpinRounds) {
            ++rounds;
            std::this_thread::yield();
        } else {
            sleep_runner(g, &latch);
        }
    }
}

// The worker loop: runs jobs until `done` holds, idling (searching, then
// sleeping) while none is found. `latch` is the join latch awaited, if any.
template <class Done>
void run_until(Runner& w, JoinLatch* latch, Done done) noexcept {
    using Clock = std::chrono::steady_clock;
    Pool& pool = *w.pool;
    bool idle = false;
    unsigned rounds = 0;
    Clock::time_point idle_since;
    while (!done()) {
        JobRef job;
        bool moved = false;
        if (find_work(w, job, moved)) {
            if (idle) {
                pool.idle_awake.fetch_sub(1, std::memory_order_seq_cst);
                idle = false;
            }
            job.execute(job.record, moved);
            continue;
        }
        if (!idle) {
            idle = true;
            rounds = 0;
            idle_since = Clock::now();
            pool.idle_awake.fetch_add(1, std::memory_order_seq_cst);
            continue;
        }
        if (rounds < kMinSpinRounds || Clock::now() - idle_since < kSpinTime) {
            ++rounds;
            std::this_thread::yield();
            continue;
        }
        pool.idle_awake.fetch_sub(1, std::memory_order_seq_cst);
        idle = false;
        sleep_runner(w, latch);
    }
    if (idle) pool.idle_awake.fetch_sub(1, std::memory_order_seq_cst);
}

// Second half of a join, queued on the owner's queue while the first half runs.
struct JoinJob {
    JoinJob(WorkFn fn, void* ctx, Runner& owner) : work(fn), context(ctx), latch(owner) {}

    void run(bool moved) noexcept {
        try {
            work(context, moved);
        } catch (...) {
            panic = capture_current_exception();
        }
    }

    static void execute(void* record, bool moved) noexcept {
        auto& job = *static_cast<JoinJob*>(record);
        job.run(moved);
        job.latch.set();
    }

    WorkFn work;
    void* context;
    JoinLatch latch;
    std::exception_ptr panic;
};

// Runs B here if nobody stole it; otherwise helps with other jobs until the
// thief is done (a guest only with its own). B must finish either way: its
// record lives in the join's frame.
void finish_second_half(Runner& w, JoinJob& job_b, bool moved) noexcept {
    while (!job_b.latch.probe()) {
        JobRef job;
        if (w.queue.pop_newest(job)) {
            if (job.record == &job_b) {
                job_b.run(moved);
                return;
            }
            job.execute(job.record, false);
            continue;
        }
        if (w.guest) {
            wait_as_guest(w, job_b.latch);
        } else {
            run_until(w, &job_b.latch, [&job_b] { return job_b.latch.probe(); });
        }
        return;
    }
}

// Join on a worker or a guest. `injected` is set when this join is the top of a
// loop from a thread outside the pool (the job injected into the shared queue,
// or the join a guest starts); it is the moved flag of both halves when they run
// here.
void join_on_worker(Runner& w, WorkFn a, void* a_context, WorkFn b, void* b_context, bool injected) {
    JoinJob job_b(b, b_context, w);
    w.pool->publish(w.queue.push(JobRef{&JoinJob::execute, &job_b}));

    std::exception_ptr panic_a;
    try {
        a(a_context, injected);
    } catch (const abi::__forced_unwind&) {
        finish_second_half(w, job_b, injected);
        throw;
    } catch (...) {
        panic_a = capture_current_exception();
    }
    finish_second_half(w, job_b, injected);

    if (panic_a) resume_unwind(std::move(panic_a));
    if (job_b.panic) resume_unwind(std::move(job_b.panic));
}

// A join handed in by a thread outside the pool; its waiter blocks on its latch.
struct InjectedJoin {
    WorkFn a;
    void* a_context;
    WorkFn b;
    void* b_context;
    BlockingLatch* latch;
    std::exception_ptr panic;

    static void execute(void* record, bool /*moved: always set, it came from the shared queue*/) noexcept {
        auto& job = *static_cast<InjectedJoin*>(record);
        try {
            join_on_worker(*current_worker(), job.a, job.a_context, job.b, job.b_context, true);
        } catch (...) {
            job.panic = capture_current_exception();
        }
        job.latch->set();
    }
};

// ---- Joins and indexed loops -----------------------------------------------

}  // namespace

void detail::join_context(WorkFn a, void* a_context, WorkFn b, void* b_context) {
    if (Runner* w = t_runner) {
        join_on_worker(*w, a, a_context, b, b_context, false);
        return;
    }
    Pool& pool = global_pool();
    if (const GuestClaim claim(pool); Runner* guest = claim.get()) {
        const RunnerScope scope(guest);
        join_on_worker(*guest, a, a_context, b, b_context, true);
        return;
    }
    InjectedJoin job{a, a_context, b, b_context, &t_latch.get(), {}};
    pool.inject(JobRef{&InjectedJoin::execute, &job});
    job.latch->wait_and_reset();
    if (job.panic) resume_unwind(std::move(job.panic));
}

namespace {

struct Loop {
    RangeFn body;
    void* context;
    std::size_t workers;
};

struct Piece {
    const Loop* loop;
    std::uint64_t begin;
    std::uint64_t end;
    std::size_t splits;
};

void run_piece(const Loop& loop, std::uint64_t begin, std::uint64_t end, std::size_t splits, bool moved);

void run_piece_work(void* context, bool moved) {
    const Piece& piece = *static_cast<const Piece*>(context);
    run_piece(*piece.loop, piece.begin, piece.end, piece.splits, moved);
}

// Adaptive splitting: a stolen piece re-arms the split budget to at least W,
// otherwise the budget halves on every split until it is used up.
void run_piece(const Loop& loop, std::uint64_t begin, std::uint64_t end, std::size_t splits, bool moved) {
    const std::uint64_t len = end - begin;
    if (len / 2 >= 1) {
        bool split = true;
        if (moved) {
            splits = std::max(splits / 2, loop.workers);
        } else if (splits == 0) {
            split = false;
        } else {
            splits /= 2;
        }
        if (split) {
            const std::uint64_t mid = begin + len / 2;
            Piece lower{&loop, begin, mid, splits};
            Piece upper{&loop, mid, end, splits};
            join_context(&run_piece_work, &lower, &run_piece_work, &upper);
            return;
        }
    }
    loop.body(loop.context, begin, end);
}

}  // namespace

namespace detail {

void worker_loop(Runner& w) noexcept {
    const RunnerScope runner(&w);
    Pool& pool = *w.pool;
    run_until(w, nullptr, [&pool] { return pool.terminate.load(std::memory_order_acquire); });
}

void reset_thread_latch() noexcept {
    // Re-initialised in place, without running the destructor of the inherited one.
    t_latch.rebuild();
}

}  // namespace detail

std::size_t current_worker_index() noexcept {
    const Runner* w = detail::current_worker();
    return w != nullptr ? w->index : kNotAWorker;
}

std::size_t current_num_threads() {
    if (const Runner* w = detail::current_worker()) return w->pool->num_threads;
    return detail::global_pool().num_threads;
}

void for_each_range_erased(std::uint64_t n, RangeFn body, void* context) {
    const std::size_t workers = current_num_threads();
    if (n == 0) return;
    const Loop loop{body, context, workers};
    run_piece(loop, 0, n, workers, false);
}

}  // namespace velqor::pool
