// Tests of the pool's process set-up: the worker count and stack size from the
// environment, the once-per-process creation and a failure to start a worker
// (each in a re-executed test binary, which starts without a pool), and a
// forked child's fresh pool.
#include "runtime/pool.hpp"

#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/panic.hpp"
#include "runtime/pool/global_pool.hpp"
#include "runtime/pool/threads.hpp"
#include "support.hpp"

namespace {

namespace vp = velqor::pool;
const std::string kBuildError = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";

using velqor::testing::expect_in_child;
using velqor::testing::join;
using velqor::testing::join_sum;
using velqor::testing::panic_message;

// Names of this process's threads.
std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    while (const dirent* entry = dir ? readdir(dir) : nullptr) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::getline(in, names.emplace_back());
    }
    if (dir) closedir(dir);
    return names;
}

// Calls `f` on a pool worker, from a loop of two indices. The calling thread may
// run the lower piece itself; it then holds it until the upper one has started,
// which only a worker can do meanwhile.
void on_a_worker(const std::function<void()>& f) {
    const pthread_t caller = pthread_self();
    std::atomic<bool> upper_started{false};
    vp::for_each_range(2, [&](std::uint64_t begin, std::uint64_t) {
        if (begin == 1) {
            upper_started.store(true);
            f();
        } else if (pthread_equal(pthread_self(), caller)) {
            while (!upper_started.load()) std::this_thread::yield();
        }
    });
}

// Stack size of the calling thread.
std::size_t own_stack_size() {
    std::size_t stack = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &stack);
        pthread_attr_destroy(&attr);
    }
    return stack;
}

struct CountCase {
    const char* num_threads;  // RAYON_NUM_THREADS, nullptr when unset
    const char* rs_num_cpus;  // RAYON_RS_NUM_CPUS
    std::size_t processors;
    std::size_t expected;
    bool reads_rs;
};
const CountCase* g_case = nullptr;
bool g_read_rs = false;

const char* fake_getenv(const char* name) {
    if (std::string(name) == "RAYON_NUM_THREADS") return g_case->num_threads;
    if (std::string(name) != "RAYON_RS_NUM_CPUS") return nullptr;
    g_read_rs = true;
    return g_case->rs_num_cpus;
}

TEST(PoolWorkerCount, FollowsTheEnvironment) {
    const std::vector<CountCase> table = {{"4", "2", 8, 4, false},
                                          {"+3", nullptr, 8, 3, false},
                                          {"0", "2", 8, 8, false},
                                          {"four", "2", 8, 2, true},
                                          {"-4", "2", 8, 2, true},
                                          {" 4", "2", 8, 2, true},
                                          {"", "2", 8, 2, true},
                                          {"x", nullptr, 8, 8, true},
                                          {"x", "y", 5, 5, true},
                                          {nullptr, "0", 7, 7, true},
                                          {"1000", nullptr, 8, 255, false},
                                          {"255", nullptr, 8, 255, false},
                                          {"256", nullptr, 8, 255, false},
                                          {"4294967295", "2", 8, 255, false},
                                          {"4294967296", "2", 8, 2, true},
                                          {nullptr, "2", 8, 2, true},
                                          {nullptr, "300", 8, 255, true},
                                          {nullptr, nullptr, 300, 255, true},
                                          {nullptr, nullptr, 3, 3, true}};
    for (const CountCase& c : table) {
        g_case = &c;
        g_read_rs = false;
        const std::string label = std::string(c.num_threads ? c.num_threads : "<unset>") + " / " +
                                  (c.rs_num_cpus ? c.rs_num_cpus : "<unset>");
        EXPECT_EQ(vp::detail::worker_count_from_env(&fake_getenv, c.processors), c.expected) << label;
        EXPECT_EQ(g_read_rs, c.reads_rs) << label;
    }
}

TEST(PoolCreation, FirstLoopReadsTheEnvironmentOnce) {
    expect_in_child({{"RAYON_NUM_THREADS", "3"}, {"RAYON_RS_NUM_CPUS", "7"}, {"RUST_MIN_STACK", "3145729"}}, [] {
        int failures = 0;
        const std::size_t before = thread_names().size();
        pthread_t ran_on{};
        vp::for_each_range(1, [&](std::uint64_t, std::uint64_t) { ran_on = pthread_self(); });
        CHILD_CHECK(pthread_equal(ran_on, pthread_self()));  // one index runs here, but creates the pool
        const std::vector<std::string> names = thread_names();
        CHILD_CHECK(names.size() == before + 3);
        CHILD_CHECK(std::count(names.begin(), names.end(), names[0]) == static_cast<long>(names.size()));
        std::size_t stack = 0;
        on_a_worker([&] { stack = own_stack_size(); });
        CHILD_CHECK(stack == 3145729 + 4095);  // rounded up to whole pages
        setenv("RAYON_NUM_THREADS", "5", 1);
        vp::for_each_range(100, [](std::uint64_t, std::uint64_t) {});
        CHILD_CHECK(vp::current_num_threads() == 3);
        CHILD_CHECK(thread_names().size() == before + 3);
        return failures;
    });
}

TEST(PoolCreation, CurrentNumThreadsAloneCreatesThePool) {
    expect_in_child({{"RAYON_NUM_THREADS", nullptr}, {"RAYON_RS_NUM_CPUS", "2"}, {"RUST_MIN_STACK", "2M"}}, [] {
        int failures = 0;
        const std::size_t before = thread_names().size();
        CHILD_CHECK(vp::current_num_threads() == 2);
        CHILD_CHECK(thread_names().size() == before + 2);
        std::size_t inside = 0;
        std::size_t stack = 0;
        on_a_worker([&] {
            inside = vp::current_num_threads();
            stack = own_stack_size();
        });
        CHILD_CHECK(inside == 2);
        CHILD_CHECK(stack == 2097152);  // an invalid RUST_MIN_STACK gives the default
        return failures;
    });
}

TEST(PoolCreation, FailureToStartAWorkerPanicsOnceThenForGood) {
    const std::vector<std::tuple<std::size_t, int, std::string>> table = {
        {0, EAGAIN, "Os { code: 11, kind: WouldBlock, message: \"Resource temporarily unavailable\" }"},
        {3, ENOMEM, "Os { code: 12, kind: OutOfMemory, message: \"Cannot allocate memory\" }"}};
    // Both reports reach standard error, in order, at the pool's own location.
    const std::string pattern =
        "panicked at 'The global thread pool has not been initialized.: ThreadPoolBuildError "
        "\\{ kind: IOError.*src.runtime.pool:.*kind: GlobalPoolAlreadyInitialized \\}'";
    for (const auto& [failing, error, debug_form] : table) {
        expect_in_child(
            {{"RAYON_NUM_THREADS", "4"}},
            [&, failing = failing, error = error, debug_form = debug_form] {
                int failures = 0;
                const std::size_t before = thread_names().size();
                vp::test_hooks::fail_worker_start(failing, error);
                CHILD_CHECK(panic_message([] { vp::current_num_threads(); }) ==
                            kBuildError + "IOError(" + debug_form + ") }");
                CHILD_CHECK(velqor::thread_panic_count() == 0);
                const std::string again = kBuildError + "GlobalPoolAlreadyInitialized }";
                bool ran = false;
                CHILD_CHECK(panic_message([&] { vp::for_each(5, [&](std::uint64_t) { ran = true; }); }) == again);
                CHILD_CHECK(panic_message([] { join([] {}, [] {}); }) == again);
                CHILD_CHECK(!ran);
                // The workers started before the failure leave on their own.
                for (int i = 0; i < 5000 && thread_names().size() != before; ++i) usleep(1000);
                CHILD_CHECK(thread_names().size() == before);
                return failures;
            },
            pattern);
    }
}

TEST(PoolFork, ChildStartsAFreshPool) {
    EXPECT_EQ(join_sum(0, 1000), 999u * 1000u / 2);  // the pool runs
    const std::size_t parent_workers = vp::current_num_threads();
    const std::size_t child_workers = parent_workers == 255 ? 254 : parent_workers + 1;
    const char* old = std::getenv("RAYON_NUM_THREADS");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("RAYON_NUM_THREADS", std::to_string(child_workers).c_str(), 1);  // the child's pool reads it again

    const std::string child = velqor::testing::run_in_child(
        [child_workers] {
            std::atomic<std::uint64_t> sum{0};
            vp::for_each(1 << 16, [&](std::uint64_t i) { sum += i; });
            std::string report;
            if (sum.load() != (std::uint64_t{1} << 16) * ((1 << 16) - 1) / 2) report += "sum ";
            if (vp::current_num_threads() != child_workers) report += "worker-count ";
            if (thread_names().size() != child_workers + 1) report += "thread-count ";
            if (join_sum(0, 1000) != 999u * 1000u / 2) report += "join ";
            return report;
        },
        10);
    saved ? setenv("RAYON_NUM_THREADS", saved->c_str(), 1) : unsetenv("RAYON_NUM_THREADS");
    EXPECT_EQ(child, "");
    EXPECT_EQ(join_sum(0, 1000), 999u * 1000u / 2);  // the parent's pool is untouched
    EXPECT_EQ(vp::current_num_threads(), parent_workers);
}

}  // namespace
