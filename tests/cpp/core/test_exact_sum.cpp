#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"
#include "core/exact_sum.hpp"

namespace velqor {
namespace {

using testing::reference_sum;

// Terms over the whole range (subnormals to 2^1000), summed in pieces merged
// in a random order: always the correctly rounded sum; NaN and infinity
// propagate; a sum beyond the largest double is infinite.
TEST(ExactSum, AnyOrderAndGroupingGivesTheCorrectlyRoundedSum) {
    std::mt19937_64 rng(31);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> terms(1 + rng() % 300);
        const int spread = static_cast<int>(rng() % 4);
        for (double& x : terms) {
            const int exponent = spread == 0   ? -1074 + static_cast<int>(rng() % 60)
                                 : spread == 1 ? static_cast<int>(rng() % 2000) - 1000
                                               : static_cast<int>(rng() % 120) - 60;
            x = std::ldexp(static_cast<double>(rng() >> 11), exponent - 52);
        }
        std::vector<ExactSum> parts(1 + rng() % 5);
        for (double x : terms) parts[rng() % parts.size()].add(x);
        ExactSum total;
        for (const ExactSum& part : parts) total.add(part);
        ASSERT_EQ(total.value(), reference_sum(terms)) << "trial " << trial;
    }
    // Half-way cases round to even; anything beyond half rounds up.
    const double ulp = std::ldexp(1.0, -52);
    for (const std::vector<double>& terms : std::vector<std::vector<double>>{
             {1.0, ulp / 2}, {1.0 + ulp, ulp / 2}, {1.0, ulp / 2, std::ldexp(1.0, -300)}, {0x1p-1074, 0x1p-1074}}) {
        ExactSum sum;
        for (double x : terms) sum.add(x);
        EXPECT_EQ(sum.value(), reference_sum(terms));
    }
    ExactSum big;
    big.add(std::numeric_limits<double>::max());
    big.add(std::numeric_limits<double>::max());
    EXPECT_EQ(big.value(), std::numeric_limits<double>::infinity());
    ExactSum odd;
    odd.add(1.0);
    odd.add(std::numeric_limits<double>::infinity());
    EXPECT_EQ(odd.value(), std::numeric_limits<double>::infinity());
    odd.add(std::nan(""));
    EXPECT_TRUE(std::isnan(odd.value()));
    EXPECT_EQ(ExactSum().value(), 0.0);
}

}  // namespace
}  // namespace velqor
