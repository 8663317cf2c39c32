// The pool's records: a runner (one worker thread, or a guest record that a
// thread outside the pool holds while it runs its own loop), and the pool
// record that owns the runners, the shared queue and the sleep state. Every
// thread knows the runner it is through t_runner. Not for use outside the pool.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/pool/job_queue.hpp"

namespace velqor::pool::detail {

// Runner records for threads outside the pool that run their own loop beside
// the workers. A caller that lets go of the host lock may share the pool with
// another caller, but the records are few on purpose: a thread that finds
// every record taken hands its loop over whole, which costs it only the work
// it would have done itself.
inline constexpr std::size_t kGuestRunners = 1;

struct Pool;

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

// A pool: its runners, its shared queue for jobs handed in from outside, and
// what sleeping and waking share (sleep.hpp). Never freed while a thread may
// still read it (see threads.hpp's abandon()).
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

    // Whether any queue of the pool shows a job; any thread, without locks.
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
    std::mutex sleep_mutex;                  // guards every runner's `asleep`
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

}  // namespace velqor::pool::detail
