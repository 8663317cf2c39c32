#include <algorithm>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"
#include "core/kernels/isa.hpp"
#include "core/marginals.hpp"

namespace velqor {
namespace {

using testing::random_complex;
using testing::reference_sum;

// The marginal totals are fixed to the bit: per group of 32 amplitudes, the
// m-th amplitude of each side adds |a|^2 into lane m mod 8, the lanes combine
// as ((0+1)+(2+3))+((4+5)+(6+7)), and the groups' totals add up exactly.
double expected_marginal(const std::vector<Complex>& a, unsigned t, unsigned side) {
    const std::size_t group = std::min<std::size_t>(a.size(), 32);
    std::vector<double> totals;
    for (std::size_t g = 0; g < a.size(); g += group) {
        double lane[8] = {};
        unsigned m = 0;
        for (std::size_t i = g; i < g + group; ++i) {
            if (((i >> t) & 1) == side) lane[m++ % 8] += norm_sqr(a[i]);
        }
        totals.push_back(((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7])));
    }
    return reference_sum(totals);
}

TEST(Measure, MarginalTotalsAreTheGroupwiseLaneSumsAddedExactly) {
    using kernels::Isa;
    std::mt19937_64 rng(8);
    for (const unsigned n : {3u, 6u, 15u}) {
        std::vector<Complex> a(std::size_t{1} << n);
        for (Complex& c : a) c = random_complex(rng);
        for (const Isa isa : {kernels::kIsas[0], kernels::detected_isa()}) {
            kernels::test_hooks::force_isa(isa);
            for (unsigned t = 0; t < n; ++t) {
                const Marginals m = marginal_totals(a.data(), n, t);
                EXPECT_EQ(m.p0, expected_marginal(a, t, 0)) << "n " << n << " target " << t;
                EXPECT_EQ(m.p1, expected_marginal(a, t, 1)) << "n " << n << " target " << t;
            }
        }
        kernels::test_hooks::force_isa(kernels::detected_isa());
    }
}

}  // namespace
}  // namespace velqor
