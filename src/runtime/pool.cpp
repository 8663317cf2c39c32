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
#include "runtime/pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/panic.hpp"

namespace velqor::pool {
namespace {

constexpr std::size_t kMaxWorkers = 255;
constexpr std::size_t kDefaultStackSize = 2097152;
// Smallest stack handed to the system: the allocation granularity of a stack
// reservation on systems that reserve in 64 KiB units, and room for a panic's
// report on a worker.
constexpr std::size_t kMinStackSize = 65536;
constexpr std::size_t kInitialQueueCapacity = 64;

// How long an idle worker keeps searching before it sleeps (and at least how
// many searches), so that back-to-back loops find the workers awake.
constexpr auto kSpinTime = std::chrono::microseconds(100);
constexpr unsigned kMinSpinRounds = 32;

constexpr std::string_view kUnexpectedPanic = "Rayon: detected unexpected panic; aborting";
constexpr std::string_view kNotInitialized = "The global thread pool has not been initialized.";
constexpr std::string_view kAlreadyInitializedKind = "GlobalPoolAlreadyInitialized";

// Anything that escapes the pool's own machinery (outside a job's work) ends the
// process: a half-finished queue operation or wait cannot be unwound safely.
[[noreturn]] void unexpected_failure() noexcept { fatal_error(kUnexpectedPanic); }

struct Pool;
struct Worker;

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
// sleep can see a publication (see the file comment).
class JobQueue {
public:
    JobQueue() : slots_(kInitialQueueCapacity) {}

    // Adds a job as the newest; returns whether the queue already held jobs.
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
    std::vector<JobRef> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::atomic<std::size_t> size_{0};
};

struct alignas(64) Worker {
    Worker(Pool* owner, std::size_t number) : pool(owner), index(number), rng(0x9E3779B97F4A7C15ull * (number + 1)) {}

    Pool* pool;
    std::size_t index;
    JobQueue queue;
    std::condition_variable wake;
    bool asleep = false;  // guarded by the pool's sleep mutex
    std::uint64_t rng;    // picks where a theft starts; touched by the owner only
};

struct Pool {
    explicit Pool(std::size_t count) : num_threads(count) {
        workers.reserve(count);
        for (std::size_t i = 0; i < count; ++i) workers.push_back(std::make_unique<Worker>(this, i));
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

    void wake_worker(Worker& w) noexcept {
        try {
            std::lock_guard lock(sleep_mutex);
            if (w.asleep) wake_locked(w);
        } catch (...) {
            unexpected_failure();
        }
    }

    void wake_locked(Worker& w) noexcept {
        w.asleep = false;
        sleeping.fetch_sub(1, std::memory_order_seq_cst);
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
        return false;
    }

    const std::size_t num_threads;
    std::vector<std::unique_ptr<Worker>> workers;
    JobQueue injector;
    std::mutex sleep_mutex;
    std::atomic<std::size_t> sleeping{0};    // workers announced asleep and not yet woken
    std::atomic<std::size_t> idle_awake{0};  // workers searching for work without finding any
    std::atomic<bool> terminate{false};
    Pool* abandoned_next = nullptr;  // see abandon()
};

thread_local Worker* t_worker = nullptr;

// Completion latch of a join's second half. Its owner keeps running other jobs
// while it waits and may sleep; the sleeping state tells the setter to wake it.
class JoinLatch {
public:
    explicit JoinLatch(Worker& owner) : owner_(&owner) {}

    bool probe() const noexcept { return state_.load(std::memory_order_acquire) == kSet; }

    // Release: the result slot written before is visible to whoever probes the latch set.
    void set() noexcept {
        // The record (and this latch) may be gone as soon as the owner sees the
        // latch set, so take what the wake needs first. Pools are never freed.
        Worker* owner = owner_;
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
    Worker* owner_;
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

// Initialised on the thread's first loop, destroyed with the thread.
thread_local BlockingLatch t_latch;

std::uint64_t next_random(Worker& w) noexcept {
    w.rng ^= w.rng << 13;
    w.rng ^= w.rng >> 7;
    w.rng ^= w.rng << 17;
    return w.rng;
}

// Own queue (newest first), then the other workers' queues (oldest first,
// starting at a random one), then the shared queue. `moved` tells whether the
// job was queued by another thread.
bool find_work(Worker& w, JobRef& job, bool& moved) noexcept {
    if (w.queue.pop_newest(job)) {
        moved = false;
        return true;
    }
    Pool& pool = *w.pool;
    const std::size_t n = pool.num_threads;
    if (n > 1) {
        const std::size_t start = static_cast<std::size_t>(next_random(w) % n);
        for (std::size_t k = 0; k < n; ++k) {
            Worker& victim = *pool.workers[(start + k) % n];
            if (&victim != &w && victim.queue.pop_oldest(job)) {
                moved = true;
                return true;
            }
        }
    }
    if (pool.injector.pop_oldest(job)) {
        moved = true;
        return true;
    }
    return false;
}

// Sleeps until woken, unless work, termination or the awaited latch shows up
// after the sleep is announced.
void sleep_worker(Worker& w, JoinLatch* latch) noexcept {
    Pool& pool = *w.pool;
    try {
        std::unique_lock lock(pool.sleep_mutex);
        if (latch != nullptr && !latch->mark_sleeping()) return;
        w.asleep = true;
        pool.sleeping.fetch_add(1, std::memory_order_seq_cst);
        if (pool.terminate.load(std::memory_order_seq_cst) || pool.has_visible_work()) {
            w.asleep = false;
            pool.sleeping.fetch_sub(1, std::memory_order_seq_cst);
        } else {
            while (w.asleep) w.wake.wait(lock);
        }
        if (latch != nullptr) latch->clear_sleeping();
    } catch (...) {
        unexpected_failure();
    }
}

// The worker loop: runs jobs until `done` holds, idling (searching, then
// sleeping) while none is found. `latch` is the join latch awaited, if any.
template <class Done>
void run_until(Worker& w, JoinLatch* latch, Done done) noexcept {
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
        sleep_worker(w, latch);
    }
    if (idle) pool.idle_awake.fetch_sub(1, std::memory_order_seq_cst);
}

// Second half of a join, queued on the owner's queue while the first half runs.
struct JoinJob {
    JoinJob(WorkFn fn, void* ctx, Worker& owner) : work(fn), context(ctx), latch(owner) {}

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

// Join on a worker. `injected` is set when this join is the job handed in by a
// thread outside the pool; it is the moved flag of both halves when they run here.
void join_on_worker(Worker& w, WorkFn a, void* a_context, WorkFn b, void* b_context, bool injected) {
    JoinJob job_b(b, b_context, w);
    w.pool->publish(w.queue.push(JobRef{&JoinJob::execute, &job_b}));

    std::exception_ptr panic_a;
    try {
        a(a_context, injected);
    } catch (...) {
        panic_a = capture_current_exception();
    }

    // Take B back if nobody stole it; otherwise help with other jobs until the
    // thief is done. B must finish either way: its record lives in this frame.
    while (!job_b.latch.probe()) {
        JobRef job;
        if (w.queue.pop_newest(job)) {
            if (job.record == &job_b) {
                job_b.run(injected);
                break;
            }
            job.execute(job.record, false);
            continue;
        }
        run_until(w, &job_b.latch, [&job_b] { return job_b.latch.probe(); });
        break;
    }

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
            join_on_worker(*t_worker, job.a, job.a_context, job.b, job.b_context, true);
        } catch (...) {
            job.panic = capture_current_exception();
        }
        job.latch->set();
    }
};

// ---- Pool creation -------------------------------------------------------

enum PoolState : int { kAbsent, kCreating, kRunning, kFailed };

std::atomic<int> g_state{kAbsent};
std::atomic<Pool*> g_pool{nullptr};

// Pool records that can no longer be used (a failed creation, or a pool a forked
// child inherited without its threads) are never freed: threads may still read
// them, or their mutexes may be held by threads that no longer exist. They stay
// reachable from this list so that leak checkers do not report them.
std::atomic<Pool*> g_abandoned{nullptr};

void abandon(Pool* pool) noexcept {
    pool->abandoned_next = g_abandoned.load(std::memory_order_relaxed);
    g_abandoned.store(pool, std::memory_order_relaxed);
}

bool g_fork_handler_registered = false;  // written only while creating

constexpr std::size_t kNoFailure = std::numeric_limits<std::size_t>::max();
std::atomic<std::size_t> g_fail_start_index{kNoFailure};
std::atomic<int> g_fail_start_error{0};

[[noreturn]] void raise_build_error(std::string_view kind) {
    std::string message(kNotInitialized);
    message.append(": ThreadPoolBuildError { kind: ").append(kind).append(" }");
    panic(std::move(message), site::kPoolBuild);
}

// strerror_r comes in a GNU form (returns the text) and a POSIX form (fills the buffer).
[[maybe_unused]] const char* error_text(const char* returned, const char*) { return returned; }
[[maybe_unused]] const char* error_text(int, const char* buffer) { return buffer; }

const char* error_kind(int code) {
    switch (code) {
        case EAGAIN: return "WouldBlock";
        case ENOMEM: return "OutOfMemory";
        case EPERM:
        case EACCES: return "PermissionDenied";
        case EINVAL: return "InvalidInput";
        default: return "Uncategorized";
    }
}

// Debug form of a system error, e.g.
// Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }
std::string os_error_debug(int code) {
    char buffer[256] = {};
    const char* text = error_text(strerror_r(code, buffer, sizeof buffer), buffer);
    std::string out = "Os { code: ";
    out.append(std::to_string(code)).append(", kind: ").append(error_kind(code));
    out.append(", message: \"").append(text).append("\" }");
    return out;
}

const char* read_env(const char* name) { return std::getenv(name); }

std::size_t processor_count() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) return static_cast<std::size_t>(online);
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

// Worker stack size from RUST_MIN_STACK, read once per process.
std::size_t worker_stack_size() {
    static const std::size_t size = [] {
        std::uint32_t value = 0;
        const char* text = read_env(env::kMinStack);
        return text != nullptr && parse_count(text, value) ? std::size_t{value} : kDefaultStackSize;
    }();
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t unit = page > 0 ? static_cast<std::size_t>(page) : 4096;
    const std::size_t wanted = std::max({size, kMinStackSize, static_cast<std::size_t>(PTHREAD_STACK_MIN)});
    return (wanted + unit - 1) / unit * unit;
}

void* worker_main(void* arg) noexcept {
    Worker& w = *static_cast<Worker*>(arg);
    t_worker = &w;
    Pool& pool = *w.pool;
    run_until(w, nullptr, [&pool] { return pool.terminate.load(std::memory_order_acquire); });
    t_worker = nullptr;
    return nullptr;
}

class ThreadAttributes {
public:
    ThreadAttributes() : status_(pthread_attr_init(&attr_)) {}
    ~ThreadAttributes() {
        if (status_ == 0) pthread_attr_destroy(&attr_);
    }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;

    // 0, or the system error of the first call that failed.
    int configure(std::size_t stack_size) {
        if (status_ != 0) return status_;
        if (int rc = pthread_attr_setdetachstate(&attr_, PTHREAD_CREATE_DETACHED); rc != 0) return rc;
        return pthread_attr_setstacksize(&attr_, stack_size);
    }
    const pthread_attr_t* get() const { return &attr_; }

private:
    pthread_attr_t attr_;
    int status_;
};

int start_worker(const ThreadAttributes& attributes, Worker& w) {
    if (w.index == g_fail_start_index.load(std::memory_order_relaxed)) {
        g_fail_start_index.store(kNoFailure, std::memory_order_relaxed);
        return g_fail_start_error.load(std::memory_order_relaxed);
    }
    pthread_t thread;
    return pthread_create(&thread, attributes.get(), &worker_main, &w);
}

// In a forked child: the parent's pool record is there, its threads are not,
// and its mutexes may have been held by threads that no longer exist. The record
// is abandoned (deliberately leaked, its locks never touched again) and this
// thread's blocking latch starts afresh, so the child creates a new pool, reading
// the environment again, on its next loop.
void forget_pool_in_child() noexcept {
    if (Pool* inherited = g_pool.exchange(nullptr, std::memory_order_relaxed)) abandon(inherited);
    const int state = g_state.load(std::memory_order_relaxed);
    if (state == kRunning || state == kCreating) g_state.store(kAbsent, std::memory_order_relaxed);
    // The latch is re-initialised in place, without running the destructor of
    // the inherited one.
    std::construct_at(&t_latch);
}

// Starts the pool's workers. On failure the workers already started are told to
// terminate, and `error` receives the debug form of the system error.
Pool* start_pool(std::string& error) {
    if (!g_fork_handler_registered) {
        if (int rc = pthread_atfork(nullptr, nullptr, &forget_pool_in_child); rc != 0) {
            error = os_error_debug(rc);
            return nullptr;
        }
        g_fork_handler_registered = true;
    }
    const std::size_t count = worker_count_from_env(&read_env, processor_count());
    // The pool lives until the process ends, with workers blocked inside it at
    // exit, so it is never destroyed: the record is released on purpose.
    std::unique_ptr<Pool> pool = std::make_unique<Pool>(count);
    ThreadAttributes attributes;
    int rc = attributes.configure(worker_stack_size());
    for (std::size_t i = 0; rc == 0 && i < count; ++i) rc = start_worker(attributes, *pool->workers[i]);
    if (rc != 0) {
        pool->terminate_all();
        error = os_error_debug(rc);
        // Workers started before the failure still read the record as they leave.
        abandon(pool.release());
        return nullptr;
    }
    return pool.release();
}

Pool& global_pool() {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    for (;;) {
        int state = g_state.load(std::memory_order_acquire);
        if (state == kRunning) return *g_pool.load(std::memory_order_acquire);
        if (state == kFailed) raise_build_error(kAlreadyInitializedKind);
        if (state == kAbsent &&
            g_state.compare_exchange_strong(state, kCreating, std::memory_order_acq_rel)) {
            break;
        }
        std::this_thread::yield();  // another thread is creating the pool
    }
    std::string error;
    Pool* pool = nullptr;
    try {
        pool = start_pool(error);
    } catch (...) {
        unexpected_failure();
    }
    if (pool == nullptr) {
        g_state.store(kFailed, std::memory_order_release);
        raise_build_error("IOError(" + error + ")");
    }
    g_pool.store(pool, std::memory_order_release);
    g_state.store(kRunning, std::memory_order_release);
    return *pool;
}

// ---- Joins and indexed loops -----------------------------------------------

void join_context(WorkFn a, void* a_context, WorkFn b, void* b_context) {
    if (Worker* w = t_worker) {
        join_on_worker(*w, a, a_context, b, b_context, false);
        return;
    }
    Pool& pool = global_pool();
    InjectedJoin job{a, a_context, b, b_context, &t_latch, {}};
    pool.inject(JobRef{&InjectedJoin::execute, &job});
    job.latch->wait_and_reset();
    if (job.panic) resume_unwind(std::move(job.panic));
}

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

struct PlainTask {
    TaskFn fn;
    void* context;
};

void run_plain_task(void* context, bool /*moved*/) {
    const PlainTask& task = *static_cast<const PlainTask*>(context);
    task.fn(task.context);
}

}  // namespace

bool is_running() noexcept {
    return t_worker != nullptr || g_state.load(std::memory_order_acquire) == kRunning;
}

std::size_t current_num_threads() {
    if (Worker* w = t_worker) return w->pool->num_threads;
    return global_pool().num_threads;
}

void for_each_range_erased(std::uint64_t n, RangeFn body, void* context) {
    const std::size_t workers = current_num_threads();
    if (n == 0) return;
    const Loop loop{body, context, workers};
    run_piece(loop, 0, n, workers, false);
}

void join_erased(TaskFn a, void* a_context, TaskFn b, void* b_context) {
    PlainTask task_a{a, a_context};
    PlainTask task_b{b, b_context};
    join_context(&run_plain_task, &task_a, &run_plain_task, &task_b);
}

bool parse_count(const char* text, std::uint32_t& value) {
    if (text == nullptr) return false;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return false;
    std::uint64_t parsed = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        parsed = parsed * 10 + static_cast<std::uint64_t>(*p - '0');
        if (parsed > std::numeric_limits<std::uint32_t>::max()) return false;
    }
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

std::size_t worker_count_from_env(EnvGetter getenv_fn, std::size_t processors) {
    const std::size_t fallback = std::clamp<std::size_t>(processors, 1, kMaxWorkers);
    std::uint32_t value = 0;
    if (const char* text = getenv_fn(env::kNumThreads); text != nullptr && parse_count(text, value)) {
        return value > 0 ? std::min<std::size_t>(value, kMaxWorkers) : fallback;
    }
    if (const char* text = getenv_fn(env::kNumCpus); text != nullptr && parse_count(text, value) && value > 0) {
        return std::min<std::size_t>(value, kMaxWorkers);
    }
    return fallback;
}

namespace test_hooks {

void fail_worker_start(std::size_t index, int error) {
    g_fail_start_error.store(error, std::memory_order_relaxed);
    g_fail_start_index.store(index, std::memory_order_relaxed);
}

}  // namespace test_hooks

}  // namespace velqor::pool
