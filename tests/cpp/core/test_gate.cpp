#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"
#include "core/gate.hpp"

namespace velqor {
namespace {

using Rows = std::vector<std::vector<Complex>>;
using testing::CapturedStderr;
using testing::expect_panic;
using testing::where;

using testing::kH;

Rows rotation(double theta, bool about_y) {
    const double c = std::cos(theta / 2);
    const double s = std::sin(theta / 2);
    if (about_y) return {{{c, 0}, {-s, 0}}, {{s, 0}, {c, 0}}};
    return {{{c, 0}, {0, -s}}, {{0, -s}, {c, 0}}};
}

// A rotation whose entries carry different complex phases: its row-wise
// orthogonality terms round to a few times 1e-17.
Rows phased_rotation() {
    const double c = std::cos(0.15);
    const double s = std::sin(0.15);
    return {{{c, 0}, {-std::cos(0.7) * s, -std::sin(0.7) * s}},
            {{std::cos(0.4) * s, std::sin(0.4) * s}, {std::cos(1.1) * c, std::sin(1.1) * c}}};
}

struct UnitaryCase {
    const char* name;
    Rows rows;
};

class GateAccepts : public ::testing::TestWithParam<UnitaryCase> {};

TEST_P(GateAccepts, BuildsTheEntriesUnchangedAndWritesNothing) {
    const Rows& rows = GetParam().rows;
    CapturedStderr err;
    const Gate g = gate_from_rows(rows);
    EXPECT_EQ(err.text(), "");
    const Complex got[4] = {g.m00, g.m01, g.m10, g.m11};
    const Complex want[4] = {rows[0][0], rows[0][1], rows[1][0], rows[1][1]};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(got[i].real, want[i].real);
        EXPECT_EQ(got[i].imag, want[i].imag);
    }
}

INSTANTIATE_TEST_SUITE_P(Unitary, GateAccepts,
                         ::testing::Values(UnitaryCase{"identity", {{{1, 0}, {0, 0}}, {{0, 0}, {1, 0}}}},
                                           UnitaryCase{"x", {{{0, 0}, {1, 0}}, {{1, 0}, {0, 0}}}},
                                           UnitaryCase{"y", {{{0, 0}, {0, -1}}, {{0, 1}, {0, 0}}}},
                                           UnitaryCase{"z", {{{1, 0}, {0, 0}}, {{0, 0}, {-1, 0}}}},
                                           UnitaryCase{"hadamard", {{{kH, 0}, {kH, 0}}, {{kH, 0}, {-kH, 0}}}},
                                           UnitaryCase{"phase", {{{1, 0}, {0, 0}}, {{0, 0}, {0.7071067811865476, kH}}}},
                                           UnitaryCase{"rx", rotation(0.3, false)},
                                           UnitaryCase{"ry", rotation(0.3, true)},
                                           UnitaryCase{"phased_rotation", phased_rotation()}),
                         [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    Rows rows;
    const char* diagnostic_values;  // the four printed values, one per line
};

class GateRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(GateRefuses, WritesTheDiagnosticThenPanics) {
    CapturedStderr err;
    const Panic p = expect_panic([&] { gate_from_rows(GetParam().rows); }, false);
    EXPECT_EQ(p.message(), "Matrix is not unitary");
    EXPECT_EQ(where(p), "src\\things\\mod:39:16");
    const std::string text = err.text();
    const std::string expected = std::string("[src\\things\\mod:38] (check1, check2, check3.real, check4.real) = (\n") +
                                 GetParam().diagnostic_values + ")\n";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    NotUnitary, GateRefuses,
    ::testing::Values(
        RefusedCase{"rows_not_orthogonal_columns",
                    {{{1, 0}, {1, 0}}, {{0, 0}, {0, 0}}},
                    "    1.0,\n    1.0,\n    1.0,\n    1.0,\n"},
        RefusedCase{"scaled", {{{1, 0}, {0, 0}}, {{0, 0}, {2, 0}}}, "    1.0,\n    4.0,\n    0.0,\n    0.0,\n"},
        RefusedCase{"nan", {{{kNaN, 0}, {0, 0}}, {{0, 0}, {1, 0}}}, "    NaN,\n    1.0,\n    NaN,\n    NaN,\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GateShape, RefusesEverythingButTwoRowsOfTwoWithoutDiagnostic) {
    const struct {
        Rows rows;
        const char* site;
    } cases[] = {
        {{{{1, 0}, {0, 0}, {0, 0}}, {{0, 0}, {1, 0}, {0, 0}}}, "src\\lib:22:14"},
        {{{{1, 0}, {0, 0}}}, "src\\lib:20:31"},
        {{}, "src\\lib:20:31"},
        {{{{1, 0}, {0, 0}}, {{0, 0}}}, "src\\lib:22:14"},
        {{{{1, 0}, {0, 0}}, {{0, 0}, {1, 0}}, {{0, 0}, {0, 0}}}, "src\\lib:20:31"},
    };
    for (const auto& c : cases) {
        CapturedStderr err;
        const Panic p = expect_panic([&] { gate_from_rows(c.rows); }, false);
        EXPECT_EQ(p.message(), "Only support single gate. Matrix size must be 2 by 2");
        EXPECT_EQ(where(p), c.site);
        EXPECT_EQ(err.text().find("check1"), std::string::npos);
    }
}

TEST(GateTolerance, AbsoluteMarginAndTenUnitsInTheLastPlace) {
    const double below_one_10 = 1.0 - 10 * 0x1p-53;
    const struct {
        double x, t;
        bool close;
    } cases[] = {
        {1.0, 1.0, true},
        {below_one_10, 1.0, true},
        {std::nextafter(below_one_10, 0.0), 1.0, false},
        {1.0 + 10 * 0x1p-52, 1.0, true},
        {1.0 + 11 * 0x1p-52, 1.0, false},
        {-0.0, 0.0, true},
        {-3e-17, 0.0, true},
        {10 * 0x1p-53, 0.0, true},
        {-11 * 0x1p-53, 0.0, false},
        {1e-3, 0.0, false},
        {kNaN, 0.0, false},
        {kNaN, kNaN, false},
        {std::numeric_limits<double>::infinity(), 1.0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(approx_eq(c.x, c.t), c.close) << c.x << " ~ " << c.t;
}

}  // namespace
}  // namespace velqor
