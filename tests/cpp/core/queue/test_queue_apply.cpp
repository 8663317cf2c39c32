#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"
#include "core/marginals.hpp"
#include "core/queue/stretch_apply.hpp"
#include "core/queue/queue_apply.hpp"
#include "core/queue/stretch_plan.hpp"
#include "core/register.hpp"

namespace velqor {
namespace {

using testing::amplitudes;
using testing::apply;
using testing::expect_same;
using testing::kHadamard;
using testing::random_complex;
using testing::random_gate;
using testing::random_register;
using testing::random_step;
using testing::reference_apply;

// A random circuit on n qubits, read back at random points by every kind of
// read, against the plain formula and against the same gates applied one at a
// time (a read after each gate runs the queue at once). States of 15 qubits and
// more run their queue in blocks.
TEST(QueuedGates, RandomCircuitsMatchGateByGateAndThePlainFormula) {
    std::mt19937_64 rng(2024);
    // Blocks run on the pool from 15 qubits on; ThreadSanitizer stops at 17.
    const unsigned largest = testing::kThreadSanitizer ? 17 : 22;
    for (unsigned n = 1; n <= largest; ++n) {
        std::vector<Complex> ref;
        Register queued = random_register(n, rng, ref);
        Register single(n);
        single.with_amplitudes([&](std::span<Complex> a) { std::copy(ref.begin(), ref.end(), a.begin()); });
        const int steps = n <= 16 ? 150 : 30;
        for (int step = 0; step < steps; ++step) {
            const auto [g, targets, controls] = random_step(rng, n, 8);
            queued.apply_gate(g, targets, controls);
            single.apply_gate(g, targets, controls);
            single.with_amplitudes([](std::span<Complex>) {});
            for (std::uint64_t t : targets) reference_apply(ref, n, g, t, controls);
            switch (rng() % (n <= 16 ? 24 : 48)) {
                case 0: ASSERT_NO_FATAL_FAILURE(expect_same(amplitudes(queued), ref)) << "n " << n; break;
                case 1: {
                    const Buffer<double> p = queued.probabilities();
                    for (std::size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(p[i], norm_sqr(ref[i])) << i;
                    break;
                }
                case 2:
                    try {
                        testing::CapturedStderr quiet;  // a state with no weight left refuses to draw
                        queued.measure_all();
                    } catch (const Panic&) {
                        panic_caught();
                    }
                    break;
                default: break;
            }
        }
        const std::vector<Complex> got = amplitudes(queued);
        ASSERT_NO_FATAL_FAILURE(expect_same(got, ref)) << "n " << n;
        const std::vector<Complex> one_by_one = amplitudes(single);
        ASSERT_EQ(std::memcmp(got.data(), one_by_one.data(), got.size() * sizeof(Complex)), 0) << "n " << n;
    }
}

// Runs whose targets spread over the whole register, with controls inside and
// outside the block, and more gates than the queue holds.
TEST(QueuedGates, BlockedRunsOfEveryLayoutMatchThePlainFormula) {
    constexpr unsigned n = 17;
    std::mt19937_64 rng(88);
    std::vector<Complex> ref;
    Register r = random_register(n, rng, ref);
    for (int step = 0; step < 3 * static_cast<int>(GateQueue::kCapacity) + 5; ++step) {
        const Gate g = random_gate(rng);
        const std::uint64_t t = step % 3 == 0 ? rng() % blocking::kLowQubits : rng() % n;
        std::vector<std::uint64_t> controls;
        for (unsigned c = 0; c < rng() % 3; ++c) controls.push_back(rng() % n);
        r.apply_gate(g, std::vector<std::uint64_t>{t}, controls);
        reference_apply(ref, n, g, t, controls);
    }
    expect_same(amplitudes(r), ref);
}

// A read whose run is refused the memory of its gather buffers fails before
// that run changes anything; the runs applied before it have left the queue,
// so the next read applies exactly the rest. Nine targets from qubit 10 up,
// then five from the top again, make two runs whose segments are too short to
// run in place (2^5 and 2^9 amplitudes), so both are gathered.
TEST(QueuedGates, RefusedGatherBuffersLeaveExactlyTheRestQueued) {
    for (int refused_run : {1, 2}) {
        Register queued(20);
        Register reference(20);
        for (const std::uint64_t t : {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 10, 11, 12, 13}) {
            apply(queued, kHadamard, {t});
            apply(reference, kHadamard, {t});
            (void)amplitudes(reference);  // one gate at a time
        }
        blocking::test_hooks::refuse_gather_buffers(refused_run);
        EXPECT_THROW((void)amplitudes(queued), std::bad_alloc) << "refused run " << refused_run;
        const auto got = amplitudes(queued);
        const auto want = amplitudes(reference);
        ASSERT_EQ(got.size(), want.size());
        EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(Complex)), 0)
            << "refused run " << refused_run;
    }
}

// Marginal totals formed inside the last run's pass (blocks gathered, in
// place, a last run of one gate) are the totals of the state the queue leaves,
// and that state is the one of the queue run without them.
TEST(QueuedGates, MarginalsFormedInTheLastRunAreThoseOfTheResult) {
    std::mt19937_64 rng(4242);
    for (const unsigned n : {15u, 17u}) {
        for (int trial = 0; trial < 12; ++trial) {
            GateQueue queue;
            const std::size_t length = trial < 4 ? 1 + trial : 1 + rng() % GateQueue::kCapacity;
            for (std::size_t i = 0; i < length; ++i) {
                // The short queues: every gate under the top qubit, which
                // leaves it outside the block, so that half the blocks pass
                // through the run unchanged.
                const std::uint32_t t = static_cast<std::uint32_t>(rng() % (n - 1));
                std::uint64_t mask = trial < 4        ? std::uint64_t{1} << (n - 1)
                                     : rng() % 3 == 0 ? std::uint64_t{1} << (rng() % n)
                                                      : 0;
                mask &= ~(std::uint64_t{1} << t);
                queue.push({random_gate(rng), mask, t});
            }
            std::vector<Complex> with(std::size_t{1} << n), without;
            for (Complex& c : with) c = random_complex(rng);
            without = with;
            const unsigned t =
                trial % 4 == 0 ? static_cast<unsigned>(queue[length - 1].target) : static_cast<unsigned>(rng() % n);
            GateQueue copy = queue;
            const Marginals m = apply_queue_with_marginals(queue, with.data(), n, t);
            apply_queue(copy, without.data(), n);
            EXPECT_TRUE(queue.empty());
            ASSERT_EQ(std::memcmp(with.data(), without.data(), with.size() * sizeof(Complex)), 0) << "n " << n;
            const Marginals want = marginal_totals(without.data(), n, t);
            EXPECT_EQ(m.p0, want.p0) << "n " << n << " trial " << trial << " target " << t;
            EXPECT_EQ(m.p1, want.p1) << "n " << n << " trial " << trial << " target " << t;
        }
    }
}

}  // namespace
}  // namespace velqor
