// Tests of the decimal text of doubles that the unitarity diagnostic prints.
#include "core/float_text.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velqor {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(GateFormat, ShortestRoundTripWithPlainAndScientificRanges) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {1.0, "1.0"},
        {4.0, "4.0"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {0.9999999999999998, "0.9999999999999998"},
        {1e-5, "1e-5"},
        {2.7755575615628914e-17, "2.7755575615628914e-17"},
        {1e16, "1e16"},
        {1e-4, "0.0001"},
        {123456.5, "123456.5"},
        {9999999999999998.0, "9999999999999998.0"},
        {-1.5e-300, "-1.5e-300"},
        {kNaN, "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_double(c.value), c.text) << c.text;
}

}  // namespace
}  // namespace velqor
