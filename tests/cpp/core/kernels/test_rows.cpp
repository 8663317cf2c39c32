#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"
#include "core/kernels/pair_ops.hpp"
#include "core/kernels/pair_plan.hpp"
#include "core/kernels/rows.hpp"
#include "core/register.hpp"

namespace velqor {
namespace {

using testing::amplitudes;
using testing::expect_same;
using testing::random_complex;
using testing::random_gate;
using testing::random_register;
using testing::reference_apply;

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
        EXPECT_EQ(kernels::streams_zeros(plan), kernels::kStreamingStores && t >= 10) << "target " << t;
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

}  // namespace
}  // namespace velqor
