#include "runtime/random/seeded_keys.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "runtime/contract.hpp"
#include "runtime/environment.hpp"
#include "runtime/fork.hpp"

namespace velqor::random {
namespace {

constexpr std::uint64_t kProcessKeyStream = 1;
constexpr std::uint64_t kThreadKeyStream = 2;
constexpr std::uint64_t kLineageStream = 4;

}  // namespace

Key derive_key(const Key& key, std::uint64_t counter, std::uint64_t stream) {
    std::uint32_t block[16];
    chacha_block(key, counter, stream, kGeneratorRounds, block);
    Key derived{};
    std::copy(block, block + derived.size(), derived.begin());
    return derived;
}

const SeedSetting& seed_setting() {
    static const SeedSetting setting = [] {
        SeedSetting read;
        const char* text = env::read(env::kSeed);
        read.set = text != nullptr;
        if (read.set) read.seed = env::parse_seed(text);
        return read;
    }();
    return setting;
}

namespace {

// Forks. A child process inherits its parent's generators word for word; the
// child handler moves the generation on, and every generator that sees a
// generation other than the one it recorded takes a fresh key before drawing.
// The handlers are enlisted when the module is loaded, before anything can
// fork, so that every fork is counted (fork.hpp has their place in the order).

std::atomic<std::uint64_t> g_fork_generation{0};
std::atomic<std::uint64_t> g_forks{0};         // forks this process has made
thread_local std::uint64_t t_fork_number = 0;  // the forking thread's count, set just before its fork
// Written only by the child handler (the child's one thread then), read when a
// seeded key is derived.
Key g_lineage{};
// The number the next thread to create a seeded generator gets; the main
// thread has 0.
std::atomic<std::uint64_t> g_next_thread_number{1};

void on_fork_prepare() noexcept { t_fork_number = g_forks.fetch_add(1, std::memory_order_relaxed) + 1; }

void on_fork_child() noexcept {
    g_lineage = derive_key(g_lineage, t_fork_number, kLineageStream);
    g_forks.store(0, std::memory_order_relaxed);
    g_next_thread_number.store(1, std::memory_order_relaxed);
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const int g_fork_handlers =
    fork::enlist(fork::Stage::kRandomLineage, {&on_fork_prepare, nullptr, &on_fork_child});

// The calling thread's number among the seeded generators: 0 for the process's
// main thread (the forking thread, in a child), then 1, 2, ... in the order the
// other threads ask. Asked once per thread, when its generator is keyed.
std::uint64_t thread_number() {
    if (::syscall(SYS_gettid) == ::getpid()) return 0;
    return g_next_thread_number.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

Key seeded_thread_key(std::uint64_t seed) {
    return derive_key(derive_key(g_lineage, seed, kProcessKeyStream), thread_number(), kThreadKeyStream);
}

std::uint64_t fork_generation() noexcept { return g_fork_generation.load(std::memory_order_relaxed); }

}  // namespace velqor::random
