#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/pool.hpp"
#include "support.hpp"
#include "core/kernels/pair_ops.hpp"
#include "core/kernels/pair_plan.hpp"
#include "core/kernels/rows.hpp"
#include "core/queue/gate_queue.hpp"
#include "core/queue/block_runner.hpp"
#include "core/queue/stretch_plan.hpp"
#include "core/register.hpp"

namespace velqor {
namespace {

using testing::expect_panic;
using testing::where;

using testing::apply;
using testing::kH;
using testing::kHadamard;
using testing::kX;
using testing::random_complex;

std::vector<Complex> amplitudes(const Register& r) {
    std::vector<Complex> out;
    r.with_amplitudes([&](std::span<Complex> a) { out.assign(a.begin(), a.end()); });
    return out;
}

// Equal values, where +0.0 and -0.0 count as equal (skipped products by exact
// zeros may change the sign of a zero, nothing else).
void expect_same(const std::vector<Complex>& got, const std::vector<Complex>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(got[i].real == want[i].real && got[i].imag == want[i].imag)
            << "index " << i << ": (" << got[i].real << ", " << got[i].imag << ") vs (" << want[i].real << ", "
            << want[i].imag << ")";
    }
}

TEST(Register, StartsInTheAllZeroBasisState) {
    for (unsigned n : {0u, 1u, 5u}) {
        const auto a = amplitudes(Register(n));
        ASSERT_EQ(a.size(), std::size_t{1} << n);
        EXPECT_EQ(a[0].real, 1.0);
        for (std::size_t i = 1; i < a.size(); ++i) EXPECT_TRUE(a[i].real == 0.0 && a[i].imag == 0.0);
    }
}

TEST(Register, RefusesThirtyQubitsAndMore) {
    for (std::uint64_t n : {std::uint64_t{30}, std::uint64_t{31}, std::uint64_t{1} << 40}) {
        const Panic p = expect_panic([&] { Register r(n); });
        EXPECT_EQ(p.message(), "Number of qubits must be less than 30");
        EXPECT_EQ(where(p), "src\\things\\mod:49:28");
    }
}

TEST(Register, RefusesAnAllocationBeyondAvailableMemory) {
    const std::uint64_t available = available_memory_bytes();
    ASSERT_GT(available, 0u);
    EXPECT_THROW(Buffer<char>(available + (std::uint64_t{1} << 30)), std::bad_alloc);
}

TEST(RegisterGates, XAndControlledXMoveTheAmplitude) {
    Register r(2);
    apply(r, kX, {0});
    EXPECT_EQ(amplitudes(r)[1].real, 1.0);
    apply(r, kX, {1}, {0});
    auto a = amplitudes(r);
    EXPECT_EQ(a[3].real, 1.0);
    EXPECT_EQ(a[1].real, 0.0);

    Register fresh(2);
    apply(fresh, kX, {1}, {0});
    EXPECT_EQ(amplitudes(fresh)[0].real, 1.0);
}

TEST(RegisterGates, HadamardValuesAreExact) {
    Register one(1);
    apply(one, kHadamard, {0});
    auto a = amplitudes(one);
    EXPECT_EQ(a[0].real, kH);
    EXPECT_EQ(a[1].real, kH);
    apply(one, kHadamard, {0});
    a = amplitudes(one);
    EXPECT_EQ(a[0].real, 0.9999999999999998);
    EXPECT_EQ(a[1].real, 0.0);

    Register two(2);
    apply(two, kHadamard, {0, 1});
    for (const Complex& c : amplitudes(two)) EXPECT_EQ(c.real, 0.4999999999999999);
}

TEST(RegisterGates, DuplicateTargetAppliesTwiceAndDuplicateControlCountsOnce) {
    Register r(3);
    apply(r, kHadamard, {2});
    const auto before = amplitudes(r);
    apply(r, kX, {0, 0});
    expect_same(amplitudes(r), before);

    Register a(3), b(3);
    for (Register* reg : {&a, &b}) apply(*reg, kHadamard, {1});
    apply(a, kX, {0}, {1, 1});
    apply(b, kX, {0}, {1});
    expect_same(amplitudes(a), amplitudes(b));
}

TEST(RegisterGates, FailingTargetKeepsEarlierTargetsApplied) {
    Register r(3);
    const Panic p = expect_panic([&] { apply(r, kX, {0, 5}); });
    EXPECT_EQ(p.message(), "Target(s) outside qubit range");
    EXPECT_EQ(where(p), "src\\things\\mod:99:43");
    EXPECT_EQ(amplitudes(r)[1].real, 1.0);
    // Not poisoned: the register keeps working.
    apply(r, kX, {0});
    EXPECT_EQ(amplitudes(r)[0].real, 1.0);

    for (std::uint64_t t : {std::uint64_t{3}, std::uint64_t{4}, std::uint64_t{1} << 33}) {
        const Panic q = expect_panic([&] { apply(r, kX, {t}); });
        EXPECT_EQ(q.message(), "Target(s) outside qubit range");
    }
}

TEST(RegisterGates, UnsatisfiableControlsMakeTheApplicationANoOp) {
    Register r(3);
    apply(r, kHadamard, {0, 1, 2});
    const auto before = amplitudes(r);
    apply(r, kX, {1}, {1});
    apply(r, kX, {1}, {0, 3});
    apply(r, kX, {1}, {std::uint64_t{1} << 40});
    expect_same(amplitudes(r), before);
}

TEST(RegisterGates, ZeroQubitRegister) {
    Register r(0);
    apply(r, kX, {});
    EXPECT_EQ(amplitudes(r)[0].real, 1.0);
    const Panic p = expect_panic([&] { apply(r, kX, {0}); });
    EXPECT_EQ(p.message(), "Target(s) outside qubit range");
}

TEST(RegisterGates, PoisonedLockRefusesEveryOperation) {
    Register r(2);
    expect_panic([&] { r.with_amplitudes([](std::span<Complex>) { panic("boom", {"test", 1, 1}); }); });
    const std::string poisoned = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
    const Panic apply_panic = expect_panic([&] { apply(r, kX, {0}); });
    EXPECT_EQ(apply_panic.message(), poisoned);
    EXPECT_EQ(where(apply_panic), "src\\things\\mod:86:53");
    for (auto op : {+[](Register& reg) { reg.probabilities(); }, +[](Register& reg) { reg.measure(0); },
                    +[](Register& reg) { reg.measure_all(); }}) {
        const Panic p = expect_panic([&] { op(r); });
        EXPECT_EQ(p.message(), poisoned);
        EXPECT_EQ(where(p), "src\\things\\mod:60:40");
    }
}

// The formula written out plainly: every pair, the control test per pair, the
// full complex products with no skipped terms.
void reference_apply(std::vector<Complex>& a, unsigned n, const Gate& g, std::uint64_t t,
                     const std::vector<std::uint64_t>& controls) {
    for (std::uint64_t k = 0; k < (std::uint64_t{1} << (n - 1)); ++k) {
        const std::uint64_t low = k & ((std::uint64_t{1} << t) - 1);
        const std::uint64_t i0 = ((k >> t) << (t + 1)) | low;
        const std::uint64_t i1 = i0 | (std::uint64_t{1} << t);
        bool pass = true;
        for (std::uint64_t c : controls) pass = pass && c < 64 && ((i0 >> c) & 1);
        if (!pass) continue;
        const Complex a0 = a[i0], a1 = a[i1];
        a[i0] = add(mul(g.m00, a0), mul(g.m01, a1));
        a[i1] = add(mul(g.m10, a0), mul(g.m11, a1));
    }
}

// Gates of every shape the kernels distinguish, with random entries.
Gate random_gate(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    const Complex r{d(rng), 0.0};
    switch (rng() % 8) {
        case 0: return {random_complex(rng), random_complex(rng), random_complex(rng), random_complex(rng)};
        case 1: return {{d(rng), 0}, {d(rng), 0}, {d(rng), 0}, {d(rng), 0}};
        case 2: return {random_complex(rng), kZero, kZero, random_complex(rng)};
        case 3: return {kOne, kZero, kZero, random_complex(rng)};
        case 4: return {r, kZero, kZero, kZero};
        case 5: return {kZero, random_complex(rng), r, kZero};
        case 6: return {kZero, kOne, kOne, kZero};
        default: return {random_complex(rng), kZero, random_complex(rng), r};
    }
}

// One random application: a random gate on one target (sometimes two, one time
// in `second_target_odds`), under up to two controls that may repeat, equal
// the target or lie beyond the register.
struct Step {
    Gate gate;
    std::vector<std::uint64_t> targets;
    std::vector<std::uint64_t> controls;
};
Step random_step(std::mt19937_64& rng, unsigned n, unsigned second_target_odds) {
    Step step{random_gate(rng), {rng() % n}, {}};
    if (rng() % second_target_odds == 0) step.targets.push_back(rng() % n);
    const unsigned count = static_cast<unsigned>(rng() % 3);
    for (unsigned c = 0; c < count; ++c) step.controls.push_back(rng() % (n + 1));
    return step;
}

// A register in a random dense state (no amplitude a structural zero), and a
// copy of that state in `ref`.
Register random_register(unsigned n, std::mt19937_64& rng, std::vector<Complex>& ref) {
    Register r(n);
    ref.resize(std::size_t{1} << n);
    r.with_amplitudes([&](std::span<Complex> a) {
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = ref[i] = random_complex(rng);
    });
    return r;
}

TEST(RegisterGates, MatchesThePlainFormulaOnRandomCircuits) {
    std::mt19937_64 rng(12345);
    for (unsigned n = 1; n <= 12; ++n) {
        std::vector<Complex> ref;
        Register r = random_register(n, rng, ref);
        for (int step = 0; step < 40; ++step) {
            const auto [g, targets, controls] = random_step(rng, n, 4);
            r.apply_gate(g, targets, controls);
            for (std::uint64_t t : targets) reference_apply(ref, n, g, t, controls);
        }
        expect_same(amplitudes(r), ref);
    }
}

// Every target with every set of up to three controls: covers each way the
// inserted bits can sit (adjacent blocks at the bottom, gaps between them, rows
// of 1, 2, 4 and more pairs), large enough that the loops run on the pool.
TEST(RegisterGates, EveryTargetAndControlSetMatchesThePlainFormula) {
    constexpr unsigned n = 16;
    std::mt19937_64 rng(777);
    std::vector<Complex> ref;
    Register r = random_register(n, rng, ref);
    const std::vector<std::uint64_t> picks = {0, 1, 2, 3, 4, 7, 15};
    for (std::uint64_t t : picks) {
        for (unsigned mask = 0; mask < (1u << picks.size()); ++mask) {
            if (std::popcount(mask) > 3) continue;
            std::vector<std::uint64_t> controls;
            for (unsigned b = 0; b < picks.size(); ++b)
                if ((mask >> b) & 1 && picks[b] != t) controls.push_back(picks[b]);
            const Gate g = random_gate(rng);
            r.apply_gate(g, std::vector<std::uint64_t>{t}, controls);
            reference_apply(ref, n, g, t, controls);
            ASSERT_NO_FATAL_FAILURE(expect_same(amplitudes(r), ref)) << "target " << t << " controls " << mask;
            // Random entries shrink or grow the state; a power-of-two rescale
            // (exact) keeps the compared values far from zero and overflow.
            double norm = 0;
            for (const Complex& c : ref) norm += norm_sqr(c);
            const double scale = std::ldexp(1.0, -std::ilogb(norm) / 2);
            for (Complex& c : ref) c = {c.real * scale, c.imag * scale};
            r.with_amplitudes([&](std::span<Complex> a) {
                for (Complex& c : a) c = {c.real * scale, c.imag * scale};
            });
        }
    }
}

// Large states with rows of 32 to 1024 pairs take the prefetching row loop.
TEST(RegisterGates, PrefetchingRowsMatchThePlainFormula) {
    constexpr unsigned n = 20;
    std::mt19937_64 rng(4242);
    std::vector<Complex> ref;
    Register r = random_register(n, rng, ref);
    const std::vector<std::pair<std::uint64_t, std::vector<std::uint64_t>>> cases = {
        {5, {}}, {10, {}}, {7, {8}}, {6, {12, 19}}, {19, {5}}, {5, {6}}};
    for (const auto& [t, controls] : cases) {
        kernels::PairPlan plan;
        ASSERT_TRUE(testing::make_plan(n, t, controls.data(), controls.size(), plan));
        EXPECT_TRUE(kernels::prefetches_rows(plan)) << "target " << t;
        const Gate g = random_gate(rng);
        r.apply_gate(g, std::vector<std::uint64_t>{t}, controls);
        reference_apply(ref, n, g, t, controls);
    }
    expect_same(amplitudes(r), ref);
}

TEST(RegisterGates, TiledRunsOfFarApartHalvesMatchTheDirectLoop) {
    std::mt19937_64 rng(5);
    const std::uint64_t len = 3 * kernels::kTile + 17;  // a partial last tile
    std::vector<Complex> direct(2 * len);
    for (Complex& c : direct) c = random_complex(rng);
    std::vector<Complex> tiled = direct;
    const kernels::DenseOp<kernels::Kind::General> op{random_complex(rng), random_complex(rng), random_complex(rng),
                                                      random_complex(rng)};
    op.apply(direct.data(), direct.data() + len, 0, len);
    kernels::apply_tiled<true>(op, tiled.data(), tiled.data() + len, len, kernels::kFarApart);
    expect_same(tiled, direct);
}

// A state too large for the cache writes the sides that become zero with
// streaming stores; the values must be exactly those of ordinary stores.
template <kernels::Kind K0, kernels::Kind K1>
void expect_streamed_like_stored(const std::vector<Complex>& start, Complex m00, Complex m11) {
    constexpr unsigned n = 22;
    for (const std::uint64_t t : {0u, 2u, 9u, 10u, 15u, 21u}) {
        kernels::PairPlan plan;
        ASSERT_TRUE(testing::make_plan(n, t, nullptr, 0, plan));
        EXPECT_EQ(kernels::streams_zeros(plan), t >= 10) << "target " << t;
        std::vector<Complex> stored = start, streamed = start;
        kernels::DiagonalOp<K0, K1> op{m00, m11};
        kernels::apply_rows(plan, stored.data(), 0, plan.pairs, op);
        op.stream_zeros = kernels::streams_zeros(plan);
        kernels::apply_rows(plan, streamed.data(), 0, plan.pairs, op);
        op.finish();
        ASSERT_EQ(std::memcmp(stored.data(), streamed.data(), stored.size() * sizeof(Complex)), 0) << "target " << t;
        const std::uint64_t zeroed = K0 == kernels::Kind::Zero ? 0 : std::uint64_t{1} << t;
        EXPECT_EQ(streamed[zeroed].real, 0.0);
        EXPECT_FALSE(std::signbit(streamed[zeroed].real));
    }
}

TEST(RegisterGates, StreamedZeroSidesMatchOrdinaryStores) {
    std::mt19937_64 rng(31);
    std::vector<Complex> start(std::size_t{1} << 22);
    for (Complex& c : start) c = random_complex(rng);
    using kernels::Kind;
    expect_streamed_like_stored<Kind::Real, Kind::Zero>(start, {0.75, 0.0}, kZero);
    expect_streamed_like_stored<Kind::Zero, Kind::General>(start, kZero, {0.5, -0.25});
    expect_streamed_like_stored<Kind::Zero, Kind::One>(start, kZero, kOne);
}

// Large enough that the loops run on the pool, with every kernel shape.
std::string circuit_fingerprint() {
    std::mt19937_64 rng(99);
    const unsigned n = 16;
    Register r(n);
    for (int step = 0; step < 60; ++step) {
        std::vector<std::uint64_t> controls;
        if (rng() % 2) controls.push_back(rng() % n);
        r.apply_gate(random_gate(rng), std::vector<std::uint64_t>{rng() % n}, controls);
        if (step % 10 == 0) r.apply_gate(kHadamard, std::vector<std::uint64_t>{rng() % n}, {});
    }
    const auto a = amplitudes(r);
    std::string bytes(a.size() * sizeof(Complex), '\0');
    std::memcpy(bytes.data(), a.data(), bytes.size());
    return bytes;
}

TEST(RegisterGates, SameBitsWithOneWorkerAndWithMany) {
    std::vector<std::string> results;
    for (const char* workers : {"1", "2", "7"}) {
        results.push_back(testing::run_in_child([workers] {
            ::setenv("RAYON_NUM_THREADS", workers, 1);
            if (pool::current_num_threads() != std::strtoul(workers, nullptr, 10)) return std::string("wrong W");
            return circuit_fingerprint();
        }));
    }
    ASSERT_EQ(results[0].size(), (std::size_t{1} << 16) * sizeof(Complex));
    EXPECT_TRUE(results[0] == results[1]);
    EXPECT_TRUE(results[0] == results[2]);
}

// ---- Queued gates ------------------------------------------------------------

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

TEST(QueuedGates, RunsEndWhereTheTargetsNoLongerFitABlock) {
    GateQueue q;
    const unsigned room = blocking::kBlockQubits - blocking::kLowQubits;
    for (unsigned i = 0; i < room; ++i) q.push({kX, 0, blocking::kLowQubits + i});
    q.push({kX, 0, 0});                            // low qubits are always in the block
    q.push({kX, 0, blocking::kLowQubits});         // a repeated target takes no room
    q.push({kX, 0, blocking::kLowQubits + room});  // one too many
    q.push({kX, 0, 1});
    EXPECT_EQ(blocking::stretch_end(q, 0), room + 2);
    EXPECT_EQ(blocking::stretch_end(q, room + 2), q.size());
}

// A gate that only moves amplitudes joins the stretch past the gates left out
// of it when it shares no qubit with them as target, or as control of theirs;
// a gate that computes stays behind them, and so does an X on their qubits.
TEST(QueuedGates, GatesThatOnlyMoveAmplitudesJoinTheStretchAheadOfOthers) {
    using blocking::kLowQubits;
    const unsigned room = blocking::kBlockQubits - kLowQubits;
    const std::uint64_t beyond = kLowQubits + room;  // the first target that no longer fits
    GateQueue q;
    for (unsigned i = 0; i < room; ++i) q.push({kHadamard, 0, kLowQubits + i});
    q.push({kHadamard, 0, static_cast<std::uint32_t>(beyond)});  // left out
    q.push({kX, 1, kLowQubits});                                 // joins: X on a target of the stretch
    q.push({kHadamard, 0, 1});                                   // computes: stays
    q.push({kX, std::uint64_t{1} << beyond, 2});                 // controlled by a left-out target: stays
    q.push({kX, 0, 3});                                          // joins: apart from every gate left out
    q.push({kX, 0, 1});                                          // on the target of the H left out: stays
    q.push({kX, 0, static_cast<std::uint32_t>(beyond) + 1});     // would not fit the block: stays
    const std::uint64_t stretch =
        ((std::uint64_t{1} << room) - 1) | std::uint64_t{1} << (room + 1) | std::uint64_t{1} << (room + 4);
    EXPECT_EQ(blocking::stretch_members(q), stretch);
    q.drop(stretch);
    ASSERT_EQ(q.size(), 5u);
    EXPECT_EQ(q[0].target, beyond);
    EXPECT_EQ(q[1].target, 1u);
    EXPECT_EQ(q[4].target, beyond + 1);
}

// With gates waiting, a bad target still fails at its call, after the earlier
// targets of the same call, and every gate queued before it takes effect.
TEST(QueuedGates, FailingTargetWithGatesPendingKeepsThemApplied) {
    Register r(3);
    apply(r, kX, {2});
    const Panic p = expect_panic([&] { apply(r, kX, {0, 5, 1}); });
    EXPECT_EQ(p.message(), "Target(s) outside qubit range");
    EXPECT_EQ(where(p), "src\\things\\mod:99:43");
    const auto a = amplitudes(r);
    EXPECT_EQ(a[5].real, 1.0);  // qubits 2 and 0 set, qubit 1 untouched
}

// A poisoned register refuses a gate at its call, before queueing it.
// A read whose run is refused the memory of its gather buffers fails before
// that run changes anything; the runs applied before it have left the queue,
// so the next read applies exactly the rest. Eleven targets above the low
// qubits make two runs, each with a target beyond its in-place qubits, so
// both are gathered.
TEST(QueuedGates, RefusedGatherBuffersLeaveExactlyTheRestQueued) {
    for (int refused_run : {1, 2}) {
        Register queued(16);
        Register reference(16);
        for (const std::uint64_t t : {15, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}) {
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

TEST(QueuedGates, PoisonedRegisterRefusesAGateAtItsCall) {
    Register r(2);
    expect_panic([&] { r.with_amplitudes([](std::span<Complex>) { panic("boom", {"test", 1, 1}); }); });
    const Panic p = expect_panic([&] { apply(r, kX, {0}); });
    EXPECT_EQ(where(p), "src\\things\\mod:86:53");
    apply(r, kX, {0}, {1, 1, 0});  // a control that can never be satisfied: nothing to refuse
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

// The same circuit with every lane width this processor has: the same bits as
// the SSE2 baseline, zeros' signs included. Rows of every length (targets 0
// and 1 leave pairs to the narrow tail), controls inside and outside blocks.
TEST(QueuedGates, EveryLaneWidthGivesTheBitsOfTheBaseline) {
    using kernels::Isa;
    const auto run = [](Isa isa) {
        kernels::test_hooks::force_isa(isa);
        std::mt19937_64 rng(606);
        std::vector<Complex> ref;
        Register r = random_register(16, rng, ref);
        for (int step = 0; step < 120; ++step) {
            std::vector<std::uint64_t> controls;
            for (unsigned c = 0; c < rng() % 3; ++c) controls.push_back(rng() % 16);
            r.apply_gate(random_gate(rng), std::vector<std::uint64_t>{rng() % 16}, controls);
        }
        const std::vector<Complex> out = amplitudes(r);
        kernels::test_hooks::force_isa(kernels::detected_isa());
        return out;
    };
    const std::vector<Complex> baseline = run(Isa::Sse2);
    for (const Isa isa : {Isa::Avx2, Isa::Avx512}) {
        if (isa > kernels::detected_isa()) continue;
        const std::vector<Complex> wide = run(isa);
        EXPECT_EQ(std::memcmp(wide.data(), baseline.data(), wide.size() * sizeof(Complex)), 0)
            << "lane width " << static_cast<int>(isa);
    }
    if (kernels::detected_isa() == Isa::Sse2) GTEST_SKIP() << "this processor has SSE2 lanes only";
}

}  // namespace
}  // namespace velqor
