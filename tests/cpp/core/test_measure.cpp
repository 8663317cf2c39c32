#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/random/os_source.hpp"
#include "runtime/random/sampling.hpp"
#include "support.hpp"
#include "core/marginals.hpp"
#include "core/register.hpp"

namespace velqor {
namespace {

using testing::expect_panic;
using testing::where;

using testing::apply;
using testing::kHadamard;
using testing::kX;
using testing::random_complex;

std::vector<double> probs(const Register& r) {
    const Buffer<double> p = r.probabilities();
    return {p.data(), p.data() + p.size()};
}

TEST(Measure, FreshRegisterAlwaysGivesZero) {
    for (unsigned n : {1u, 4u, 15u}) {
        Register r(n);
        std::vector<double> expected(std::size_t{1} << n, 0.0);
        expected[0] = 1.0;
        EXPECT_EQ(probs(r), expected);
        EXPECT_EQ(r.measure_all(), 0u);
        for (unsigned t = 0; t < n; ++t) EXPECT_EQ(r.measure(t), 0u);
        EXPECT_EQ(probs(r), expected);
    }
}

TEST(Measure, OneQubitCollapseIsExactAndRepeatable) {
    int seen[2] = {0, 0};
    for (int trial = 0; trial < 64; ++trial) {
        Register r(1);
        apply(r, kHadamard, {0});
        EXPECT_EQ(probs(r), (std::vector<double>{0.4999999999999999, 0.4999999999999999}));
        const std::uint64_t outcome = r.measure(0);
        ASSERT_LT(outcome, 2u);
        ++seen[outcome];
        std::vector<double> after{0.0, 0.0};
        after[outcome] = 1.0;
        EXPECT_EQ(probs(r), after);
        for (int again = 0; again < 3; ++again) EXPECT_EQ(r.measure(0), outcome);
    }
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
}

TEST(Measure, SurvivorsAreScaledNotRenormalised) {
    Register r(2);
    apply(r, kHadamard, {0, 1});
    const std::uint64_t outcome = r.measure(0);
    const double kept = 0.5000000000000001;
    const std::vector<double> want =
        outcome == 0 ? std::vector<double>{kept, 0.0, kept, 0.0} : std::vector<double>{0.0, kept, 0.0, kept};
    EXPECT_EQ(probs(r), want);
}

TEST(Measure, BasisStateIsReadBack) {
    Register r(5);
    apply(r, kX, {0, 2, 3});
    const std::uint64_t j = 0b01101;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(r.measure_all(), j);
    for (unsigned k = 0; k < 5; ++k) EXPECT_EQ(r.measure(k), (j >> k) & 1);
    EXPECT_EQ(probs(r)[j], 1.0);
}

TEST(Measure, TargetBeyondTheRegisterFailsWithTheIndexMessage) {
    for (unsigned n : {1u, 3u, 10u}) {
        Register r(n);
        apply(r, kHadamard, {0});
        const auto before = probs(r);
        for (std::uint64_t target : {std::uint64_t{n}, std::uint64_t{31}, std::uint64_t{32} + n}) {
            const Panic p = expect_panic([&] { r.measure(target); });
            const std::uint64_t index = std::uint64_t{1} << (target % 32);
            EXPECT_EQ(p.message(), "index out of bounds: the len is " + std::to_string(1u << n) + " but the index is " +
                                       std::to_string(index));
            EXPECT_EQ(where(p), "src\\things\\mod:117:33");
        }
        EXPECT_EQ(probs(r), before);  // unchanged, and the lock is not poisoned
    }
}

TEST(Measure, TargetAboveThirtyTwoWithSmallResidueFailsInGateApplication) {
    Register r(2);
    apply(r, kHadamard, {0, 1});
    const auto before = probs(r);
    const Panic p = expect_panic([&] { r.measure(32); });
    EXPECT_EQ(p.message(), "Target(s) outside qubit range");
    EXPECT_EQ(where(p), "src\\things\\mod:99:43");
    EXPECT_EQ(probs(r), before);
}

TEST(Measure, ZeroQubitRegister) {
    Register r(0);
    EXPECT_EQ(probs(r), std::vector<double>{1.0});
    EXPECT_EQ(r.measure_all(), 0u);
    const Panic p = expect_panic([&] { r.measure(0); });
    EXPECT_EQ(p.message(), "index out of bounds: the len is 1 but the index is 1");
    const Panic q = expect_panic([&] { r.measure(5); });
    EXPECT_EQ(q.message(), "index out of bounds: the len is 1 but the index is 32");
}

TEST(Measure, UnsampleableStatesNameTheSamplerError) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        Gate gate;
        const char* measure_message;
        const char* sample_message;
    } cases[] = {
        {gate_from_entries(kZero, kZero, kZero, kZero), "called `Result::unwrap()` on an `Err` value: AllWeightsZero",
         "called `Result::unwrap()` on an `Err` value: AllWeightsZero"},
        {gate_from_entries({nan, 0}, kZero, kZero, kOne), "called `Result::unwrap()` on an `Err` value: InvalidWeight",
         "called `Result::unwrap()` on an `Err` value: InvalidWeight"},
        {gate_from_entries({1e200, 0}, kZero, kZero, kOne), "Uniform::new: range overflow",
         "Uniform::new: range overflow"},
    };
    for (const auto& c : cases) {
        // Applied twice: a huge entry squares to an infinite probability.
        Register r(3);
        apply(r, c.gate, {1, 1});
        const Panic m = expect_panic([&] { r.measure(1); });
        EXPECT_EQ(m.message(), c.measure_message);
        if (std::string(c.measure_message).find("unwrap") != std::string::npos) {
            EXPECT_EQ(where(m), "src\\things\\mod:129:60");
        }
        const Panic s = expect_panic([&] { r.measure_all(); });
        EXPECT_EQ(s.message(), c.sample_message);
        if (std::string(c.sample_message).find("unwrap") != std::string::npos) {
            EXPECT_EQ(where(s), "src\\things\\mod:158:62");
        }
        r.probabilities();  // none of these failures poisons the lock
    }
}

TEST(Measure, SampleCacheFollowsEveryStateChange) {
    Register r(8);
    EXPECT_EQ(r.measure_all(), 0u);
    apply(r, kX, {3});
    EXPECT_EQ(r.measure_all(), 8u);
    apply(r, kX, {7}, {3});
    EXPECT_EQ(r.measure_all(), 136u);
    apply(r, kHadamard, {0});
    const std::uint64_t outcome = r.measure(0);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(r.measure_all(), 136u + outcome);
}

// A state spread over many cache blocks, with zero-probability basis states in between.
Register spread_state(unsigned n) {
    Register r(n);
    std::mt19937_64 rng(7);
    r.with_amplitudes([&](std::span<Complex> a) {
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (rng() % 3 == 0) a[i] = {static_cast<double>(rng() % 1000) / 997.0, 0.25};
        }
    });
    return r;
}

std::optional<random::OsError> fixed_key(std::span<std::uint8_t> buffer) {
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return std::nullopt;
}

TEST(Measure, CachedSamplingDrawsExactlyWhatTheWeightedSamplerDraws) {
    const Register r = spread_state(12);
    const auto p = probs(r);
    const random::OsSource previous = random::set_os_source(&fixed_key);
    std::vector<std::uint64_t> cached, direct;
    // Fresh threads get fresh generators with the same fixed key.
    std::thread([&] {
        for (int i = 0; i < 3000; ++i) cached.push_back(r.measure_all());
    }).join();
    std::thread([&] {
        const auto built = random::WeightedSampler::build(p);
        const auto& sampler = std::get<random::WeightedSampler>(built);
        auto rng = random::thread_rng();
        for (int i = 0; i < 3000; ++i) direct.push_back(sampler.sample(*rng));
    }).join();
    random::set_os_source(previous);
    EXPECT_EQ(cached, direct);
    for (std::uint64_t j : cached) EXPECT_GT(p[j], 0.0) << j;
}

// Shared calls (probabilities, measure_all) on one register overlap on two
// threads, first with gates queued, while each thread also runs exclusive
// calls on a register of its own; ThreadSanitizer checks the locking.
TEST(Measure, SharedCallsOverlapBesideExclusiveCallsOnOtherRegisters) {
    constexpr unsigned kQubits = 15;  // loops large enough for the pool
    const auto prepare = [](Register& r) {
        for (std::uint64_t q = 0; q < kQubits; q += 2) apply(r, kHadamard, {q});
        apply(r, kX, {kQubits - 1}, {0});
    };
    Register reference(kQubits);
    prepare(reference);
    const std::vector<double> expected = probs(reference);

    Register shared(kQubits);
    prepare(shared);  // still queued when the threads start
    std::vector<std::vector<double>> seen(2);
    std::vector<std::vector<std::uint64_t>> drawn(2);
    std::vector<std::uint64_t> own_outcomes(2);
    const auto work = [&](int id) {
        Register own(kQubits);
        for (int round = 0; round < 4; ++round) {
            drawn[id].push_back(shared.measure_all());
            seen[id] = probs(shared);
            apply(own, kX, {static_cast<std::uint64_t>(round)});
        }
        own_outcomes[id] = own.measure(3);
    };
    std::thread other(work, 1);
    work(0);
    other.join();
    for (int id = 0; id < 2; ++id) {
        EXPECT_EQ(seen[id], expected);
        for (std::uint64_t j : drawn[id]) EXPECT_GT(expected[j], 0.0) << j;
        EXPECT_EQ(own_outcomes[id], 1u);  // X on qubits 0 to 3
    }
}

TEST(Measure, MeasureAllFollowsTheDistribution) {
    // Probabilities 1/8, 3/8, 0, 1/2 up to rounding: a rotation then a controlled one.
    Register r(2);
    const double c = std::cos(M_PI / 3), s = std::sin(M_PI / 3);
    apply(r, Gate{{std::sqrt(0.5), 0}, {-std::sqrt(0.5), 0}, {std::sqrt(0.5), 0}, {std::sqrt(0.5), 0}}, {1});
    apply(r, Gate{{c, 0}, {-s, 0}, {s, 0}, {c, 0}}, {0});
    const auto p = probs(r);
    const int shots = 200000;
    std::vector<int> counts(4, 0);
    for (int i = 0; i < shots; ++i) ++counts[r.measure_all()];
    for (int j = 0; j < 4; ++j) {
        const double mean = shots * p[j];
        const double sigma = std::sqrt(shots * p[j] * (1 - p[j]));
        EXPECT_NEAR(counts[j], mean, 6 * sigma + 1e-9) << j;
    }
}

TEST(Measure, MeasureFollowsTheMarginal) {
    const double theta = 0.9;  // P(1) = sin^2(theta / 2)
    const double c = std::cos(theta / 2), s = std::sin(theta / 2);
    const Gate ry{{c, 0}, {-s, 0}, {s, 0}, {c, 0}};
    const int shots = 20000;
    int ones = 0;
    for (int i = 0; i < shots; ++i) {
        Register r(3);
        apply(r, ry, {2});
        ones += static_cast<int>(r.measure(2));
    }
    const double p1 = s * s;
    EXPECT_NEAR(ones, shots * p1, 6 * std::sqrt(shots * p1 * (1 - p1)));
}

TEST(Measure, CollapseScalesTheKeptHalfByOneOverTheRootOfItsTotal) {
    constexpr unsigned n = 14;
    std::mt19937_64 rng(9);
    for (const unsigned t : {0u, 3u, 13u}) {
        Register r(n);
        std::vector<Complex> before(std::size_t{1} << n);
        for (Complex& c : before) c = random_complex(rng);
        r.with_amplitudes([&](std::span<Complex> a) { std::copy(before.begin(), before.end(), a.begin()); });
        const Marginals m = marginal_totals(before.data(), n, t);
        const std::uint64_t outcome = r.measure(t);
        const double factor = 1.0 / std::sqrt(outcome == 0 ? m.p0 : m.p1);
        r.with_amplitudes([&](std::span<Complex> a) {
            for (std::size_t i = 0; i < a.size(); ++i) {
                const bool kept = ((i >> t) & 1) == outcome;
                const Complex want = kept ? Complex{before[i].real * factor, before[i].imag * factor} : kZero;
                ASSERT_TRUE(a[i].real == want.real && a[i].imag == want.imag) << "target " << t << " index " << i;
            }
        });
    }
}

std::string collapsed_fingerprint() {
    // Enough pairs for several marginal blocks on the pool; retried until the
    // outcome is 0 so every child compares the same branch.
    for (int attempt = 0; attempt < 200; ++attempt) {
        Register r(18);
        std::mt19937_64 rng(3);
        r.with_amplitudes([&](std::span<Complex> a) {
            for (auto& x : a) x = {static_cast<double>(rng() % 4096) / 4093.0, static_cast<double>(rng() % 17) / 19.0};
        });
        if (r.measure(9) != 0) continue;
        std::string bytes;
        r.with_amplitudes([&](std::span<Complex> a) {
            bytes.assign(reinterpret_cast<const char*>(a.data()), a.size() * sizeof(Complex));
        });
        return bytes;
    }
    return "no zero outcome";
}

TEST(Measure, CollapseIsIdenticalForEveryWorkerCount) {
    std::vector<std::string> results;
    for (const char* workers : {"1", "3", "8"}) {
        results.push_back(testing::run_in_child([workers] {
            ::setenv("RAYON_NUM_THREADS", workers, 1);
            return collapsed_fingerprint();
        }));
    }
    ASSERT_EQ(results[0].size(), (std::size_t{1} << 18) * sizeof(Complex));
    EXPECT_TRUE(results[0] == results[1]);
    EXPECT_TRUE(results[0] == results[2]);
}

}  // namespace
}  // namespace velqor
