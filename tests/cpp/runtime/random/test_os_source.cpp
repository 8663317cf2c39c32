// Tests of the operating system's random source.
#include "runtime/random/os_source.hpp"

#include <gtest/gtest.h>

#include "runtime/random/random_support.hpp"

namespace {

using namespace velqor::testing::random_support;

TEST(Random, OsSourceFillsAndDescribesFailures) {
    std::array<std::uint8_t, 300> a{};
    std::array<std::uint8_t, 300> b{};
    EXPECT_FALSE(velqor::random::fill_from_os(a).has_value());
    EXPECT_FALSE(velqor::random::fill_from_os(b).has_value());
    EXPECT_NE(a, b);
    EXPECT_FALSE(velqor::random::fill_from_os(std::span<std::uint8_t>{}).has_value());
    EXPECT_EQ(OsError{38}.describe(), "OS Error: 38");
    EXPECT_EQ(OsError{2147942402u}.describe(), "OS Error: 2147942402");
}

}  // namespace
