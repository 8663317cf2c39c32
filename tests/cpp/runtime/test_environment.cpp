// Tests of the environment module's one decimal parser, through the two
// rules the module's variables follow: the counts (worker counts, stack size)
// and the seed.
#include "runtime/environment.hpp"

#include <cstdint>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(EnvironmentParseCount, AcceptsOnlyUnsignedDecimals) {
    const std::vector<std::pair<const char*, std::optional<std::uint32_t>>> table = {{"0", 0},
                                                                                     {"4", 4},
                                                                                     {"+3", 3},
                                                                                     {"007", 7},
                                                                                     {"4294967295", 4294967295u},
                                                                                     {"+4294967295", 4294967295u},
                                                                                     {"00000000000000000042", 42},
                                                                                     {"4294967296", {}},
                                                                                     {"18446744073709551617", {}},
                                                                                     {"", {}},
                                                                                     {"+", {}},
                                                                                     {"++3", {}},
                                                                                     {"-1", {}},
                                                                                     {"-0", {}},
                                                                                     {" 4", {}},
                                                                                     {"4 ", {}},
                                                                                     {"4a", {}},
                                                                                     {"0x10", {}},
                                                                                     {"\xef\xbc\x94", {}}};
    for (const auto& [text, expected] : table) {
        std::uint32_t value = 12345;
        EXPECT_EQ(velqor::env::parse_count(text, value), expected.has_value()) << '"' << text << '"';
        if (expected) {
            EXPECT_EQ(value, *expected) << '"' << text << '"';
        }
    }
}

// VELQOR_SEED's values: decimal digits up to 2^64 - 1, nothing else.
struct SeedCase {
    const char* text;
    std::optional<std::uint64_t> seed;
};

void PrintTo(const SeedCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class SeedText : public ::testing::TestWithParam<SeedCase> {};

TEST_P(SeedText, IsReadAsADecimalWord) { EXPECT_EQ(velqor::env::parse_seed(GetParam().text), GetParam().seed); }

INSTANTIATE_TEST_SUITE_P(Environment, SeedText,
                         ::testing::Values(SeedCase{"0", 0}, SeedCase{"42", 42}, SeedCase{"007", 7},
                                           SeedCase{"18446744073709551615", UINT64_MAX},
                                           SeedCase{"018446744073709551615", UINT64_MAX},
                                           SeedCase{"18446744073709551616", std::nullopt},
                                           SeedCase{"99999999999999999999", std::nullopt}, SeedCase{"", std::nullopt},
                                           SeedCase{"-1", std::nullopt}, SeedCase{"+1", std::nullopt},
                                           SeedCase{" 1", std::nullopt}, SeedCase{"1 ", std::nullopt},
                                           SeedCase{"0x10", std::nullopt}, SeedCase{"1e3", std::nullopt}));

}  // namespace
