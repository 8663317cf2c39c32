// The scheduler: where a runner looks for work, how long it spins before it
// sleeps, and the join's two halves with their panics.
#include "runtime/pool/scheduler.hpp"

#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

#include "runtime/never_destroyed.hpp"
#include "runtime/panic.hpp"
#include "runtime/pool/caller_latch.hpp"
#include "runtime/pool/sleep.hpp"

namespace velqor::pool::detail {

thread_local Runner* t_runner = nullptr;

namespace {

// How long an idle worker keeps searching before it sleeps (and at least how
// many searches), so that back-to-back loops find the workers awake.
constexpr auto kSpinTime = std::chrono::microseconds(100);
constexpr unsigned kMinSpinRounds = 32;

// How many times a guest whose awaited half was stolen watches the latch
// (yielding the processor to the workers) before it sleeps on it.
constexpr unsigned kGuestSpinRounds = 64;

// Made on the thread's first loop and never destroyed: a latch holds no memory
// or other resource of the system, and a thread_local with a destructor would
// register it at the thread's first loop, an allocation whose refusal ends the
// process.
thread_local NeverDestroyed<CallerLatch> t_latch;

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

// Join on a runner, a worker's or a guest's. `injected` is set when this join
// is the top of a loop from a thread outside the pool (the job injected into
// the shared queue, or the join a guest starts); it is the moved flag of both
// halves when they run here.
void join_on_runner(Runner& w, WorkFn a, void* a_context, WorkFn b, void* b_context, bool injected) {
    JoinJob job_b(b, b_context, w);
    publish(*w.pool, w.queue.push(JobRef{&JoinJob::execute, &job_b}));

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
    CallerLatch* latch;
    std::exception_ptr panic;

    static void execute(void* record, bool /*moved: always set, it came from the shared queue*/) noexcept {
        auto& job = *static_cast<InjectedJoin*>(record);
        try {
            join_on_runner(*current_worker(), job.a, job.a_context, job.b, job.b_context, true);
        } catch (...) {
            job.panic = capture_current_exception();
        }
        job.latch->set();
    }
};

}  // namespace

void join(Pool& pool, WorkFn a, void* a_context, WorkFn b, void* b_context) {
    if (Runner* w = t_runner) {
        join_on_runner(*w, a, a_context, b, b_context, false);
        return;
    }
    if (const GuestClaim claim(pool); Runner* guest = claim.get()) {
        const RunnerScope scope(guest);
        join_on_runner(*guest, a, a_context, b, b_context, true);
        return;
    }
    InjectedJoin job{a, a_context, b, b_context, &t_latch.get(), {}};
    inject(pool, JobRef{&InjectedJoin::execute, &job});
    job.latch->wait_and_reset();
    if (job.panic) resume_unwind(std::move(job.panic));
}

void worker_loop(Runner& w) noexcept {
    const RunnerScope runner(&w);
    Pool& pool = *w.pool;
    run_until(w, nullptr, [&pool] { return pool.terminate.load(std::memory_order_acquire); });
}

void reset_thread_latch() noexcept {
    // Re-initialised in place, without running the destructor of the inherited one.
    t_latch.rebuild();
}

}  // namespace velqor::pool::detail
