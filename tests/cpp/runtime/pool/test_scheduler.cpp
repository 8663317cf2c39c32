// Tests of the worker pool's loops, joins, splitting and panics. What depends
// on the worker count runs in a re-executed test binary, since a process
// creates its pool once.
#include "runtime/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/panic.hpp"
#include "runtime/pool/global_pool.hpp"
#include "runtime/pool/scheduler.hpp"
#include "support.hpp"

namespace {

namespace vp = velqor::pool;
using Range = std::pair<std::uint64_t, std::uint64_t>;
constexpr velqor::Location kSite{"tests\\pool", 1, 1};

using velqor::testing::expect_in_child;
using velqor::testing::join;
using velqor::testing::join_sum;
using velqor::testing::panic_message;

// Indexed collect on the pool: out[i] = f(i) for every slot, each written once.
template <class T, class F>
void collect(std::span<T> out, F&& f) {
    T* data = out.data();
    vp::for_each_range(out.size(), [data, &f](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = begin; i < end; ++i) data[i] = f(i);
    });
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

}  // namespace
