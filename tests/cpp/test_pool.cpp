// Tests of the worker pool. What depends on the worker count or on the pool's
// creation runs in a child process (a re-executed test binary, or a fork), since
// a process creates its pool once.
#include "runtime/pool.hpp"

#include <dirent.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <numeric>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/panic.hpp"
#include "runtime/pool_internal.hpp"
#include "support.hpp"

namespace {

namespace vp = velqor::pool;
using Range = std::pair<std::uint64_t, std::uint64_t>;
constexpr velqor::Location kSite{"tests\\pool", 1, 1};
const std::string kBuildError = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";

// Runs a and b on the pool through the join that splits every loop.
template <class A, class B>
void join(A&& a, B&& b) {
    using FA = std::remove_reference_t<A>;
    using FB = std::remove_reference_t<B>;
    vp::detail::join_context(
        [](void* c, bool) { (*static_cast<FA*>(c))(); }, const_cast<void*>(static_cast<const void*>(&a)),
        [](void* c, bool) { (*static_cast<FB*>(c))(); }, const_cast<void*>(static_cast<const void*>(&b)));
}

// Indexed collect on the pool: out[i] = f(i) for every slot, each written once.
template <class T, class F>
void collect(std::span<T> out, F&& f) {
    T* data = out.data();
    vp::for_each_range(out.size(), [data, &f](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = begin; i < end; ++i) data[i] = f(i);
    });
}

// Counts failed checks inside a child process, which exits with the count.
#define CHILD_CHECK(cond)                                                               \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            std::fprintf(stderr, "child check failed, line %d: %s\n", __LINE__, #cond); \
            ++failures;                                                                 \
        }                                                                               \
    } while (0)

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

// Runs `body` in a re-executed copy of this binary, which starts without a pool,
// with the variables of `env` set (nullptr: unset). `body` returns its failures.
void expect_in_child(const std::vector<std::pair<const char*, const char*>>& env, const std::function<int()>& body,
                     const std::string& stderr_pattern = "") {
    std::vector<std::optional<std::string>> saved;
    for (const auto& [name, value] : env) {
        const char* old = std::getenv(name);
        saved.push_back(old ? std::optional<std::string>(old) : std::nullopt);
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(body()), ::testing::ExitedWithCode(0), stderr_pattern);
    for (std::size_t i = 0; i < env.size(); ++i)
        saved[i] ? setenv(env[i].first, saved[i]->c_str(), 1) : unsetenv(env[i].first);
}

using velqor::testing::panic_message;

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

// Failure reports in `err`. Every piece of a pool loop reports as a worker
// would, on whichever thread it ran: the calling thread's reports must read the same.
std::size_t reports_in(const std::string& err) {
    const std::string start = "thread '<unnamed>' panicked at '";
    std::size_t count = 0;
    for (std::size_t at = err.find(start); at != std::string::npos; at = err.find(start, at + 1)) ++count;
    return count;
}

// Pieces handed to a loop body, in the order the calls started.
struct PieceLog {
    std::mutex mutex;
    std::vector<Range> pieces;
    std::vector<pthread_t> threads;
    void add(std::uint64_t begin, std::uint64_t end) {
        std::lock_guard lock(mutex);
        pieces.emplace_back(begin, end);
        threads.push_back(pthread_self());
    }
};

TEST(PoolParseCount, AcceptsOnlyUnsignedDecimals) {
    const std::vector<std::pair<const char*, std::optional<std::uint32_t>>> table = {{"0", 0},
                                                                                     {"4", 4},
                                                                                     {"+3", 3},
                                                                                     {"007", 7},
                                                                                     {"4294967295", 4294967295u},
                                                                                     {"+4294967295", 4294967295u},
                                                                                     {"00000000000000000042", 42},
                                                                                     {"4294967296", {}},
                                                                                     {"18446744073709551617", {}},
                                                                                     {"", {}},
                                                                                     {"+", {}},
                                                                                     {"++3", {}},
                                                                                     {"-1", {}},
                                                                                     {"-0", {}},
                                                                                     {" 4", {}},
                                                                                     {"4 ", {}},
                                                                                     {"4a", {}},
                                                                                     {"0x10", {}},
                                                                                     {"\xef\xbc\x94", {}}};
    for (const auto& [text, expected] : table) {
        std::uint32_t value = 12345;
        EXPECT_EQ(vp::parse_count(text, value), expected.has_value()) << '"' << text << '"';
        if (expected) {
            EXPECT_EQ(value, *expected) << '"' << text << '"';
        }
    }
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
        EXPECT_EQ(vp::worker_count_from_env(&fake_getenv, c.processors), c.expected) << label;
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

TEST(PoolLoop, VisitsEveryIndexOnceInDisjointPieces) {
    for (std::uint64_t n : {0u, 1u, 2u, 3u, 1000u, 1u << 20}) {
        std::vector<std::atomic<std::uint32_t>> visits(n);
        PieceLog log;
        vp::for_each_range(n, [&](std::uint64_t begin, std::uint64_t end) {
            log.add(begin, end);
            for (std::uint64_t i = begin; i < end; ++i) visits[i].fetch_add(1, std::memory_order_relaxed);
        });
        std::vector<std::uint64_t> collected(n);
        collect(std::span<std::uint64_t>(collected), [&](std::uint64_t i) { return visits[i].load() * n + i; });
        for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(collected[i], n + i) << "n=" << n << " index " << i;

        const auto lowest_piece = static_cast<std::size_t>(
            std::find_if(log.pieces.begin(), log.pieces.end(), [](const Range& r) { return r.first == 0; }) -
            log.pieces.begin());
        std::sort(log.pieces.begin(), log.pieces.end());
        std::uint64_t next = 0;
        for (const Range& piece : log.pieces) {
            EXPECT_EQ(piece.first, next) << "n=" << n;
            EXPECT_LT(piece.first, piece.second) << "n=" << n;
            next = piece.second;
        }
        EXPECT_EQ(next, n);
        // One index runs here. With two workers or more this thread runs the
        // loop's lowest piece itself instead of only waiting; with one, none.
        const bool here_at_0 = n > 0 && pthread_equal(log.threads[lowest_piece], pthread_self()) != 0;
        EXPECT_EQ(here_at_0, n == 1 || (n > 1 && vp::current_num_threads() > 1)) << "n=" << n;
        if (n < 2) {
            for (pthread_t t : log.threads) EXPECT_TRUE(pthread_equal(t, pthread_self())) << "n=" << n;
        }
    }
}

TEST(PoolLoop, CallerThatEndsItselfInsideItsPieceLeavesThePoolWhole) {
    if (vp::current_num_threads() < 2) GTEST_SKIP() << "with one worker the caller runs no pieces";
    std::atomic<bool> upper_ran{false};
    std::thread([&upper_ran] {
        const pthread_t caller = pthread_self();
        vp::for_each_range(2, [&](std::uint64_t begin, std::uint64_t) {
            if (begin == 1) {
                upper_ran = true;
            } else if (pthread_equal(pthread_self(), caller)) {
                pthread_exit(nullptr);  // a forced unwind through the pool's frames
            }
        });
    }).join();
    EXPECT_TRUE(upper_ran.load()) << "the other half finished before the caller's frames were gone";
    // The guest record was given back: this thread's next loop runs its lowest piece here.
    pthread_t lowest_on{};
    vp::for_each_range(2, [&](std::uint64_t begin, std::uint64_t) {
        if (begin == 0) lowest_on = pthread_self();
    });
    EXPECT_TRUE(pthread_equal(lowest_on, pthread_self()));
}

TEST(PoolLoop, SeveralCallersAndSleepingWorkers) {
    // Callers share the queue; the pauses let the workers fall asleep between loops.
    constexpr std::uint64_t n = 5000;
    std::atomic<int> wrong{0};
    auto caller = [&](int rounds, bool pause) {
        for (int r = 0; r < rounds; ++r) {
            std::atomic<std::uint64_t> sum{0};
            vp::for_each(n, [&](std::uint64_t i) { sum.fetch_add(i, std::memory_order_relaxed); });
            wrong += sum.load() != n * (n - 1) / 2;
            if (pause) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) callers.emplace_back(caller, 50, false);
    caller(10, true);
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PoolSplitting, OneWorkerSplitsExactlyAsTheRuleSays) {
    expect_in_child({{"RAYON_NUM_THREADS", "1"}}, [] {
        int failures = 0;
        // Budget 1 on the caller: one split. The injected join counts as moved and
        // re-arms the budget to 1: one split of each half; their halves are not
        // moved and split once more. At most 8 pieces, run in index order.
        const std::vector<std::pair<std::uint64_t, std::vector<Range>>> table = {
            {2, {{0, 1}, {1, 2}}},
            {3, {{0, 1}, {1, 2}, {2, 3}}},
            {7, {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}}},
            {16, {{0, 2}, {2, 4}, {4, 6}, {6, 8}, {8, 10}, {10, 12}, {12, 14}, {14, 16}}},
            {1001, {{0, 125}, {125, 250}, {250, 375}, {375, 500}, {500, 625}, {625, 750}, {750, 875}, {875, 1001}}}};
        for (const auto& [n, expected] : table) {
            PieceLog log;
            vp::for_each_range(n, [&](std::uint64_t b, std::uint64_t e) { log.add(b, e); });
            CHILD_CHECK(log.pieces == expected);
            for (pthread_t t : log.threads)
                CHILD_CHECK(pthread_equal(t, log.threads[0]) && !pthread_equal(t, pthread_self()));
            std::vector<std::uint64_t> order, increasing(n);
            vp::for_each(n, [&](std::uint64_t i) { order.push_back(i); });
            std::iota(increasing.begin(), increasing.end(), 0);
            CHILD_CHECK(order == increasing);
        }
        return failures;
    });
}

TEST(PoolPanic, ReachesTheCallerOnceWithItsMessage) {
    constexpr std::uint64_t n = 1000, bad = 777;
    PieceLog log;
    std::uint32_t count_in_handler = 99;
    std::string message;
    ::testing::internal::CaptureStderr();
    try {
        vp::for_each_range(n, [&](std::uint64_t begin, std::uint64_t end) {
            log.add(begin, end);
            if (begin <= bad && bad < end) velqor::panic("piece at " + std::to_string(begin), kSite);
        });
    } catch (const velqor::Panic& p) {
        count_in_handler = velqor::thread_panic_count();
        message = p.message();
        velqor::panic_caught();
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    const auto bad_piece = std::find_if(log.pieces.begin(), log.pieces.end(),
                                        [](const Range& r) { return r.first <= bad && bad < r.second; });
    ASSERT_NE(bad_piece, log.pieces.end());
    const std::string expected = "piece at " + std::to_string(bad_piece->first);
    EXPECT_EQ(message, expected);
    EXPECT_EQ(count_in_handler, 1u);
    EXPECT_EQ(reports_in(err), 1u) << err;
    EXPECT_NE(err.find("panicked at '" + expected + "', tests\\pool:1:1"), std::string::npos) << err;

    std::string what;
    try {
        vp::for_each_range(50, [](std::uint64_t, std::uint64_t end) {
            if (end == 50) throw std::out_of_range("last piece");
        });
    } catch (const std::out_of_range& e) {
        what = e.what();
    }
    EXPECT_EQ(what, "last piece");
}

TEST(PoolPanic, LowerHalfWinsWhenEveryPiecePanics) {
    for (std::uint64_t n : {2u, 3u, 64u, 100000u}) {
        std::atomic<std::size_t> pieces{0};
        ::testing::internal::CaptureStderr();
        const std::string message = panic_message([&] {
            vp::for_each_range(n, [&](std::uint64_t begin, std::uint64_t) {
                pieces.fetch_add(1);
                velqor::panic("piece at " + std::to_string(begin), kSite);
            });
        });
        const std::string err = ::testing::internal::GetCapturedStderr();
        // Both halves of every join fail and the lower one wins, down to the
        // piece at 0; every piece ran and reported once.
        EXPECT_EQ(message, "piece at 0") << "n=" << n;
        EXPECT_EQ(reports_in(err), pieces.load()) << "n=" << n;
        EXPECT_EQ(velqor::thread_panic_count(), 0u);
    }
}

TEST(PoolPanic, WorkerCountsItsPanicAsCaught) {
    // A join's first half runs on the joining worker: its panic is counted as
    // caught at the job, then in progress again when the join continues it.
    std::string message;
    std::uint32_t count_after = 99;
    ::testing::internal::CaptureStderr();
    vp::for_each_range(2, [&](std::uint64_t begin, std::uint64_t) {
        if (begin != 0) return;
        message = panic_message([] { join([] { velqor::panic("inner", kSite); }, [] {}); });
        count_after = velqor::thread_panic_count();
    });
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, "inner");
    EXPECT_EQ(count_after, 0u);
}

// Joins run from this thread (injected into the pool) or from inside a worker.
class PoolJoin : public ::testing::TestWithParam<bool> {
protected:
    void run_somewhere(const std::function<void()>& f) {
        if (!GetParam()) return f();
        std::exception_ptr caught;
        vp::for_each_range(1024, [&](std::uint64_t begin, std::uint64_t) {
            if (begin != 0) return;
            try {
                f();
            } catch (...) {
                caught = velqor::capture_current_exception();
            }
        });
        if (caught) velqor::resume_unwind(caught);
    }
};

TEST_P(PoolJoin, PanicOrderAndCompletion) {
    const auto fail = [](const char* m) { return [m] { velqor::panic(m, kSite); }; };
    std::atomic<bool> done{false};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(panic_message([&] { run_somewhere([&] { join(fail("a"), fail("b")); }); }), "a");
    EXPECT_EQ(panic_message([&] { run_somewhere([&] { join([&] { done = true; }, fail("b")); }); }), "b");
    EXPECT_TRUE(done.exchange(false)) << "A finished before B's panic continued";
    EXPECT_EQ(panic_message([&] { run_somewhere([&] { join(fail("a"), [&] { done = true; }); }); }), "a");
    EXPECT_TRUE(done.load()) << "B finished before A's panic continued";
    EXPECT_EQ(reports_in(::testing::internal::GetCapturedStderr()), 4u);
    EXPECT_EQ(velqor::thread_panic_count(), 0u);
}

std::uint64_t join_sum(std::uint64_t begin, std::uint64_t end) {
    if (end - begin <= 64) return (begin + end - 1) * (end - begin) / 2;
    const std::uint64_t mid = begin + (end - begin) / 2;
    std::uint64_t low = 0, high = 0;
    join([&] { low = join_sum(begin, mid); }, [&] { high = join_sum(mid, end); });
    return low + high;
}

// A chain of joins: each level leaves its second half queued while the first
// recurses, so a worker's queue holds hundreds of jobs.
void deep_join(int depth, std::atomic<int>& halves) {
    if (depth > 0) join([&] { deep_join(depth - 1, halves); }, [&] { ++halves; });
}

TEST_P(PoolJoin, NestedJoinsAndLoops) {
    std::uint64_t total = 0;
    std::atomic<int> halves{0};
    run_somewhere([&] { total = join_sum(0, 1 << 16); });
    run_somewhere([&] { deep_join(1000, halves); });
    EXPECT_EQ(total, (std::uint64_t{1} << 16) * ((1 << 16) - 1) / 2);
    EXPECT_EQ(halves.load(), 1000);

    constexpr std::uint64_t rows = 64, cols = 1000;  // a loop in a loop body
    std::vector<std::atomic<std::uint32_t>> cells(rows * cols);
    run_somewhere([&] {
        vp::for_each(rows,
                     [&](std::uint64_t r) { vp::for_each(cols, [&](std::uint64_t c) { ++cells[r * cols + c]; }); });
    });
    for (std::size_t i = 0; i < cells.size(); ++i) ASSERT_EQ(cells[i].load(), 1u) << i;
}

INSTANTIATE_TEST_SUITE_P(Pool, PoolJoin, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "InsideWorker" : "FromOutside"); });

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
