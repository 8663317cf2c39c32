#include "runtime/pool/threads.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <memory>

#include "runtime/contract.hpp"
#include "runtime/environment.hpp"
#include "runtime/panic.hpp"
#include "runtime/pool/scheduler.hpp"
#include "runtime/pool/sleep.hpp"

namespace velqor::pool {
namespace {

using namespace detail;

constexpr std::size_t kDefaultStackSize = 2097152;
// Smallest stack handed to the system: the allocation granularity of a stack
// reservation on systems that reserve in 64 KiB units, and room for a panic's
// report on a worker.
constexpr std::size_t kMinStackSize = 65536;

// Pool records that can no longer be used, linked through abandoned_next.
std::atomic<Pool*> g_abandoned{nullptr};

constexpr std::size_t kNoFailure = std::numeric_limits<std::size_t>::max();
std::atomic<std::size_t> g_fail_start_index{kNoFailure};
std::atomic<int> g_fail_start_error{0};

// strerror_r comes in a GNU form (returns the text) and a POSIX form (fills the buffer).
[[maybe_unused]] const char* error_text(const char* returned, const char*) { return returned; }
[[maybe_unused]] const char* error_text(int, const char* buffer) { return buffer; }

std::string_view error_kind(int code) {
    switch (code) {
        case EAGAIN: return msg::kOsErrorWouldBlock;
        case ENOMEM: return msg::kOsErrorOutOfMemory;
        case EPERM:
        case EACCES: return msg::kOsErrorPermission;
        case EINVAL: return msg::kOsErrorInvalidInput;
        default: return msg::kOsErrorOther;
    }
}

// Worker stack size from RUST_MIN_STACK, read once per process.
std::size_t worker_stack_size() {
    static const std::size_t size = [] {
        std::uint32_t value = 0;
        const char* text = env::read(env::kMinStack);
        return env::parse_count(text, value) ? std::size_t{value} : kDefaultStackSize;
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

}  // namespace

namespace detail {

void abandon(Pool* pool) noexcept {
    pool->abandoned_next = g_abandoned.load(std::memory_order_relaxed);
    g_abandoned.store(pool, std::memory_order_relaxed);
}

std::string os_error_debug(int code) {
    char buffer[256] = {};
    const char* text = error_text(strerror_r(code, buffer, sizeof buffer), buffer);
    return msg::fill(msg::kOsErrorDebug, {std::to_string(code), error_kind(code), text});
}

Pool* start_pool(std::size_t count, int& error) {
    // The pool lives until the process ends, with workers blocked inside it at
    // exit, so it is never destroyed: the record is leaked on purpose.
    std::unique_ptr<Pool> pool = std::make_unique<Pool>(count);
    ThreadAttributes attributes;
    int rc = attributes.configure(worker_stack_size());
    for (std::size_t i = 0; rc == 0 && i < count; ++i) rc = start_worker(attributes, *pool->workers[i]);
    if (rc != 0) {
        terminate_all(*pool);
        error = rc;
        // Workers started before the failure still read the record as they leave.
        abandon(pool.release());
        return nullptr;
    }
    return pool.release();
}

}  // namespace detail

namespace test_hooks {

void fail_worker_start(std::size_t index, int error) {
    g_fail_start_error.store(error, std::memory_order_relaxed);
    g_fail_start_index.store(index, std::memory_order_relaxed);
}

}  // namespace test_hooks

}  // namespace velqor::pool
