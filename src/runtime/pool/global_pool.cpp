#include "runtime/pool/global_pool.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <string_view>
#include <thread>

#include "runtime/contract.hpp"
#include "runtime/fork.hpp"
#include "runtime/panic.hpp"
#include "runtime/pool.hpp"
#include "runtime/pool/fatal.hpp"
#include "runtime/pool/scheduler.hpp"
#include "runtime/pool/threads.hpp"

namespace velqor::pool {
namespace {

using namespace detail;

enum PoolState : int { kAbsent, kCreating, kRunning, kFailed };

std::atomic<int> g_state{kAbsent};
std::atomic<Pool*> g_pool{nullptr};

[[noreturn]] void raise_build_error(std::string_view kind) {
    panic(msg::fill(msg::kPoolNotInitialized, {kind}), site::kPoolBuild);
}

std::size_t processor_count() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) return static_cast<std::size_t>(online);
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

// In a forked child: the parent's pool record is there, its threads are not,
// and its mutexes may have been held by threads that no longer exist. The record
// is abandoned (deliberately leaked, its locks never touched again) and this
// thread's caller latch starts afresh, so the child creates a new pool, reading
// the environment again, on its next loop.
void forget_pool_in_child() noexcept {
    if (Pool* inherited = g_pool.exchange(nullptr, std::memory_order_relaxed)) abandon(inherited);
    const int state = g_state.load(std::memory_order_relaxed);
    if (state == kRunning || state == kCreating) g_state.store(kAbsent, std::memory_order_relaxed);
    reset_thread_latch();
}

// Starts the process-wide pool with the environment's worker count; null,
// with `error` set, when it cannot start.
Pool* start_global_pool(int& error) {
    if (int rc = fork::enlist(fork::Stage::kPool, {nullptr, nullptr, &forget_pool_in_child}); rc != 0) {
        if (rc == ENOMEM) throw std::bad_alloc();
        error = rc;
        return nullptr;
    }
    return start_pool(worker_count_from_env(&env::read, processor_count()), error);
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
        pool = start_global_pool(error);
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

std::size_t worker_count_from_env(env::Reader read, std::size_t processors) {
    const std::size_t fallback = std::clamp<std::size_t>(processors, 1, kMaxWorkers);
    std::uint32_t value = 0;
    if (env::parse_count(read(env::kNumThreads), value)) {
        return value > 0 ? std::min<std::size_t>(value, kMaxWorkers) : fallback;
    }
    if (env::parse_count(read(env::kNumCpus), value) && value > 0) {
        return std::min<std::size_t>(value, kMaxWorkers);
    }
    return fallback;
}

bool global_pool_running() noexcept { return g_state.load(std::memory_order_acquire) == kRunning; }

}  // namespace detail

}  // namespace velqor::pool
