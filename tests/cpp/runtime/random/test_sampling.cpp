// Tests of the uniform range and the weighted sampler.
#include "runtime/random/sampling.hpp"

#include <gtest/gtest.h>

#include "runtime/random/random_support.hpp"

namespace {

using namespace velqor::testing::random_support;

// Uniform range.

struct RangeCase {
    double low;
    double high;
    double width;
};

void PrintTo(const RangeCase& c, std::ostream* out) {
    *out << std::hexfloat << "[" << c.low << ", " << c.high << ") width " << c.width;
}

class UniformWidth : public testing::TestWithParam<RangeCase> {};

TEST_P(UniformWidth, IsTheLargestWidthThatStaysBelowHigh) {
    const RangeCase c = GetParam();
    const UniformRange range(c.low, c.high);
    const double max_unit = 1.0 - 0x1p-52;
    EXPECT_EQ(range.low(), c.low);
    EXPECT_EQ(range.width(), c.width);
    EXPECT_LT(range.width() * max_unit + c.low, c.high);
    if (range.width() < c.high - c.low) {
        EXPECT_GE(std::nextafter(range.width(), INFINITY) * max_unit + c.low, c.high);
    }
}

INSTANTIATE_TEST_SUITE_P(Random, UniformWidth,
                         testing::Values(RangeCase{0.0, 1.0, 1.0}, RangeCase{-3.0, 5.0, 8.0},
                                         RangeCase{1.0, 1.5, 0x1.fffffffffffffp-2}, RangeCase{0.0, 0x1p-1074, 0.0},
                                         RangeCase{-0x1.9fe345c18de9cp+1, -0x1.915fb64861ce9p+1, 0x1.d071ef2583652p-4},
                                         RangeCase{0x1.0c9326623238ap+1, 0x1.0da731cebabf3p+1, 0x1.140b6c8886881p-7}));

TEST(Random, UniformRefusesEmptyAndOverflowingRanges) {
    const std::string low_high = "Uniform::new called with `low >= high`";
    const std::string overflow = "Uniform::new: range overflow";
    expect_panic([] { UniformRange(1.0, 1.0); }, low_high);
    expect_panic([] { UniformRange(2.0, 1.0); }, low_high);
    expect_panic([] { UniformRange(NAN, 1.0); }, low_high);
    expect_panic([] { UniformRange(-DBL_MAX, DBL_MAX); }, overflow);
    expect_panic([] { UniformRange(-INFINITY, 0.0); }, overflow);
}

// A draw v maps to (v >> 12) * 2^-52, scaled by the width and shifted by low.
TEST(Random, UniformSampleUsesTheTop52BitsOfOneDraw) {
    ThreadGenerator gen(seed_number(42));
    for (const auto& [low, high] : {std::pair{0.0, 1.0}, std::pair{-3.0, 5.0}, std::pair{1.0, 1.5}}) {
        const UniformRange range(low, high);
        for (int i = 0; i < 200; ++i) {
            ThreadGenerator copy = gen;
            const double unit = static_cast<double>(copy.draw_u64() >> 12) * 0x1p-52;
            const double x = range.sample(gen);
            ASSERT_EQ(x, unit * range.width() + low);
            ASSERT_GE(x, low);
            ASSERT_LT(x, high);
        }
    }
}

// Weighted sampler.

struct ErrorCase {
    std::vector<double> weights;
    SampleError error;
};

TEST(Sampler, RefusesWeightsWithTheRightError) {
    const std::vector<ErrorCase> cases = {
        {{}, SampleError::NoItem},
        {{1.0, NAN}, SampleError::InvalidWeight},
        {{-0.5, 1.0}, SampleError::InvalidWeight},
        {{NAN}, SampleError::InvalidWeight},
        {{0.0, 0.0}, SampleError::AllWeightsZero},
        {{0.0}, SampleError::AllWeightsZero},
        {{0.0, -1.0}, SampleError::InvalidWeight},
        {{1.0, -INFINITY, NAN}, SampleError::InvalidWeight},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "weights of size " << c.weights.size());
        const auto built = WeightedSampler::build(c.weights);
        ASSERT_TRUE(std::holds_alternative<SampleError>(built));
        EXPECT_EQ(std::get<SampleError>(built), c.error);
    }
    EXPECT_EQ(velqor::random::sample_error_name(SampleError::NoItem), "NoItem");
    EXPECT_EQ(velqor::random::sample_error_name(SampleError::InvalidWeight), "InvalidWeight");
    EXPECT_EQ(velqor::random::sample_error_name(SampleError::AllWeightsZero), "AllWeightsZero");
    EXPECT_EQ(velqor::random::sample_error_name(SampleError::TooMany), "TooMany");
}

TEST(Sampler, InfiniteTotalPanics) {
    expect_panic([] { WeightedSampler::build(std::vector<double>{INFINITY, 1.0}); }, "Uniform::new: range overflow");
    expect_panic([] { WeightedSampler::build(std::vector<double>{DBL_MAX, DBL_MAX}); }, "Uniform::new: range overflow");
}

WeightedSampler build_ok(std::vector<double> weights) {
    auto built = WeightedSampler::build(weights);
    if (!std::holds_alternative<WeightedSampler>(built)) {
        ADD_FAILURE() << "refused: " << velqor::random::sample_error_name(std::get<SampleError>(built));
        return std::get<WeightedSampler>(WeightedSampler::build(std::vector<double>{1.0}));
    }
    return std::get<WeightedSampler>(std::move(built));
}

TEST(Sampler, CumulativeSumsAndSearchPutBoundariesOnTheLaterIndex) {
    const WeightedSampler s = build_ok({1.0, 0.0, 2.0, 0.0, 0.0, 3.0});
    EXPECT_EQ(s.cumulative(), (std::vector<double>{1.0, 1.0, 3.0, 3.0, 3.0}));
    EXPECT_EQ(s.total(), 6.0);
    const std::pair<double, std::uint32_t> cases[] = {
        {0.0, 0}, {0.999, 0}, {1.0, 2}, {2.5, 2}, {std::nextafter(3.0, 0.0), 2}, {3.0, 5}, {5.999, 5}};
    for (const auto& [x, index] : cases) EXPECT_EQ(s.index_of(x), index) << "x = " << x;
}

// Whole path: weights [u, 1 - u] where u is exactly the next unit draw, so the
// draw lands on the boundary and must give index 1. For u >= 1/2, moving one ulp of
// weight onto the first entry (the total stays exactly 1) must give index 0.
TEST(Sampler, DrawOnABoundaryGoesToTheLaterIndex) {
    ThreadGenerator gen(seed_number(43));
    int upper_half = 0;
    for (int i = 0; i < 64; ++i) {
        ThreadGenerator copy = gen;
        const double u = static_cast<double>(copy.draw_u64() >> 12) * 0x1p-52;
        ThreadGenerator again = gen;
        const WeightedSampler on = build_ok({u, 1.0 - u});
        ASSERT_EQ(on.total(), 1.0);
        EXPECT_EQ(on.sample(gen), 1u) << "u = " << u;
        if (u >= 0.5) {
            ++upper_half;
            const double above = std::nextafter(u, 1.0);
            const WeightedSampler past = build_ok({above, 1.0 - above});
            ASSERT_EQ(past.total(), 1.0);
            EXPECT_EQ(past.sample(again), 0u) << "u = " << u;
        }
    }
    EXPECT_GT(upper_half, 10);
}

TEST(Sampler, ZeroWeightsAreNeverChosen) {
    ThreadGenerator gen(seed_number(44));
    const WeightedSampler single = build_ok({0.25});
    const WeightedSampler first_zero = build_ok({0.0, 3.5});
    const WeightedSampler last_zero = build_ok({3.5, 0.0});
    EXPECT_TRUE(single.cumulative().empty());
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(single.sample(gen), 0u);
        ASSERT_EQ(first_zero.sample(gen), 1u);
        ASSERT_EQ(last_zero.sample(gen), 0u);
    }
}

// Frequencies of a fixed-key run within six standard deviations of the weights.
TEST(Sampler, FrequenciesFollowTheWeights) {
    ThreadGenerator gen(seed_number(45));
    const std::vector<double> weights = {1.0, 2.0, 0.0, 3.0, 4.0};
    const WeightedSampler s = build_ok(weights);
    constexpr int kDraws = 200000;
    std::vector<int> counts(weights.size(), 0);
    for (int i = 0; i < kDraws; ++i) ++counts.at(s.sample(gen));
    for (std::size_t j = 0; j < weights.size(); ++j) {
        const double p = weights[j] / 10.0;
        const double sigma = std::sqrt(kDraws * p * (1.0 - p));
        EXPECT_LE(std::abs(counts[j] - kDraws * p), 6.0 * sigma) << "index " << j;
    }
    EXPECT_EQ(counts[2], 0);
}

}  // namespace
