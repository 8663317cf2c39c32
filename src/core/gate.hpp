// Single-qubit gates: a 2 by 2 complex matrix, built from rows with a shape test
// and a unitarity test, or from four entries with no test at all.
#pragma once

#include <string>
#include <vector>

#include "core/complex.hpp"

namespace velqor {

// Entries in row-major order: m00 = matrix[0][0], m01 = matrix[0][1], ...
struct Gate {
    Complex m00, m01, m10, m11;
};

// Shape test, then unitarity test (which writes its diagnostic line to standard
// error before it panics with "Matrix is not unitary").
Gate gate_from_rows(const std::vector<std::vector<Complex>>& rows);

constexpr Gate gate_from_entries(Complex m00, Complex m01, Complex m10, Complex m11) noexcept {
    return {m00, m01, m10, m11};
}

// Named gates for the benchmarks and tests; the module builds its gates from
// the caller's matrices only.
namespace gates {
inline constexpr double kH = 0.7071067811865475;  // the double nearest 1/sqrt(2)
inline constexpr Gate kHadamard{{kH, 0}, {kH, 0}, {kH, 0}, {-kH, 0}};
inline constexpr Gate kX{{0, 0}, {1, 0}, {1, 0}, {0, 0}};
}  // namespace gates

// x ~ t: equal, or within 10 * 2^-53 absolutely, or at most 10 units in the last place apart.
bool approx_eq(double x, double t) noexcept;

// Shortest round-trip decimal form used by the unitarity diagnostic: plain
// notation for zero and magnitudes in [1e-4, 1e16), scientific otherwise,
// "NaN" and "inf".
std::string format_double(double value);

}  // namespace velqor
