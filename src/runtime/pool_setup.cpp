// The pool's process set-up: the worker count and stack size from the
// environment, starting the worker threads and reporting a failure to start
// them, the once-per-process creation, and what a forked child does with the
// parent's pool.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "runtime/contract.hpp"
#include "runtime/panic.hpp"
#include "runtime/pool.hpp"
#include "runtime/pool_internal.hpp"

namespace velqor::pool {
namespace {

using namespace detail;

constexpr std::size_t kDefaultStackSize = 2097152;
// Smallest stack handed to the system: the allocation granularity of a stack
// reservation on systems that reserve in 64 KiB units, and room for a panic's
// report on a worker.
constexpr std::size_t kMinStackSize = 65536;

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
    panic(msg::fill(msg::kPoolNotInitialized, {kind}), site::kPoolBuild);
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
    // A worker catches the panics of the jobs it runs, to carry them back: its
    // exception state is made at its start, while the pool's start has just
    // found memory. Without it the worker still runs (it throws only when a
    // job's work panics).
    (void)prepare_thread_for_exceptions();
    worker_loop(*static_cast<Runner*>(arg));
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

int start_worker(const ThreadAttributes& attributes, Runner& w) {
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
    reset_thread_latch();
}

// Starts the pool's workers. A refused allocation throws std::bad_alloc before
// any worker has started, leaving nothing behind. When a worker cannot be
// started, those already started are told to terminate, and the result is
// null with `error` holding the system error.
Pool* start_pool(int& error) {
    if (!g_fork_handler_registered) {
        if (int rc = pthread_atfork(nullptr, nullptr, &forget_pool_in_child); rc != 0) {
            if (rc == ENOMEM) throw std::bad_alloc();
            error = rc;
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
        error = rc;
        // Workers started before the failure still read the record as they leave.
        abandon(pool.release());
        return nullptr;
    }
    return pool.release();
}

}  // namespace

namespace detail {

Pool& global_pool() {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    for (;;) {
        int state = g_state.load(std::memory_order_acquire);
        if (state == kRunning) return *g_pool.load(std::memory_order_acquire);
        if (state == kFailed) raise_build_error(msg::kPoolAlreadyInitialized);
        if (state == kAbsent && g_state.compare_exchange_strong(state, kCreating, std::memory_order_acq_rel)) {
            break;
        }
        std::this_thread::yield();  // another thread is creating the pool
    }
    int error = 0;
    Pool* pool = nullptr;
    try {
        pool = start_pool(error);
    } catch (const std::bad_alloc&) {
        // Nothing was started: the pool stays absent, and the next call that
        // needs it tries again.
        g_state.store(kAbsent, std::memory_order_release);
        throw;
    } catch (...) {
        unexpected_failure();
    }
    if (pool == nullptr) {
        g_state.store(kFailed, std::memory_order_release);
        raise_build_error(msg::fill(msg::kPoolStartFailed, {os_error_debug(error)}));
    }
    g_pool.store(pool, std::memory_order_release);
    g_state.store(kRunning, std::memory_order_release);
    return *pool;
}

}  // namespace detail

bool is_running() noexcept {
    return detail::current_worker() != nullptr || g_state.load(std::memory_order_acquire) == kRunning;
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
