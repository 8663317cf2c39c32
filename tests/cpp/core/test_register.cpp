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
#include "core/register.hpp"

namespace velqor {
namespace {

using testing::expect_panic;
using testing::where;

using testing::amplitudes;
using testing::apply;
using testing::expect_same;
using testing::kH;
using testing::kHadamard;
using testing::kX;
using testing::random_gate;
using testing::random_register;
using testing::random_step;
using testing::reference_apply;

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
TEST(QueuedGates, PoisonedRegisterRefusesAGateAtItsCall) {
    Register r(2);
    expect_panic([&] { r.with_amplitudes([](std::span<Complex>) { panic("boom", {"test", 1, 1}); }); });
    const Panic p = expect_panic([&] { apply(r, kX, {0}); });
    EXPECT_EQ(where(p), "src\\things\\mod:86:53");
    apply(r, kX, {0}, {1, 1, 0});  // a control that can never be satisfied: nothing to refuse
}

}  // namespace
}  // namespace velqor
