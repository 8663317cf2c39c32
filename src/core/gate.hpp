// Single-qubit gates: a 2 by 2 complex matrix, built from rows with a shape test
// and a unitarity test, or from four entries with no test at all.
#pragma once

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

// x ~ t: equal, or within 10 * 2^-53 absolutely, or at most 10 units in the last place apart.
bool approx_eq(double x, double t) noexcept;

}  // namespace velqor
