#include "core/gate.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/float_text.hpp"
#include "runtime/panic.hpp"

namespace velqor {
namespace {

// Ten units in the last place just below 1.0: the absolute margin of the test.
constexpr double kAbsoluteMargin = 10.0 * 0x1p-53;
constexpr std::int64_t kUlpMargin = 10;

void write_diagnostic(double check1, double check2, double check3_real, double check4_real) {
    std::string text = site::kNotUnitaryDiagnosticTag;
    text.append(msg::kDiagnosticHead);
    for (double value : {check1, check2, check3_real, check4_real}) {
        text.append("    ").append(format_double(value)).append(",\n");
    }
    text.append(")\n");
    if (const int error = write_stderr(text); error != 0) {
        panic(msg::fill(msg::kPrintFailed, {std::strerror(error), std::to_string(error)}), site::kNotUnitaryDiagnostic);
    }
}

}  // namespace

bool approx_eq(double x, double t) noexcept {
    if (x == t) return true;
    if (std::isnan(x) || std::isnan(t)) return false;
    if (std::fabs(x - t) <= kAbsoluteMargin) return true;
    // Distance of the bit patterns read as signed integers, wrapping on overflow;
    // the most negative difference maps to the largest positive value.
    const std::uint64_t diff = std::bit_cast<std::uint64_t>(x) - std::bit_cast<std::uint64_t>(t);
    const std::int64_t signed_diff = static_cast<std::int64_t>(diff);
    const std::int64_t distance = signed_diff == std::numeric_limits<std::int64_t>::min()
                                      ? std::numeric_limits<std::int64_t>::max()
                                      : (signed_diff < 0 ? -signed_diff : signed_diff);
    return distance <= kUlpMargin;
}

Gate gate_from_rows(const std::vector<std::vector<Complex>>& rows) {
    if (rows.size() != 2) panic(std::string(msg::kMatrixShape), site::kMatrixRowCount);
    if (rows[0].size() != 2 || rows[1].size() != 2) panic(std::string(msg::kMatrixShape), site::kMatrixRowLength);
    const Gate g{rows[0][0], rows[0][1], rows[1][0], rows[1][1]};

    // Column norms and the orthogonality of the two columns (the entries of
    // M^dagger M): together they accept exactly the unitary matrices.
    const double check1 = norm_sqr(g.m00) + norm_sqr(g.m10);
    const double check2 = norm_sqr(g.m01) + norm_sqr(g.m11);
    const Complex check3 = add(mul(conj(g.m00), g.m01), mul(conj(g.m10), g.m11));
    const Complex check4 = add(mul(conj(g.m01), g.m00), mul(conj(g.m11), g.m10));

    // Every comparison is evaluated; none short-circuits the others.
    const bool results[] = {approx_eq(check1, 1.0),      approx_eq(check2, 1.0),      approx_eq(check3.real, 0.0),
                            approx_eq(check3.imag, 0.0), approx_eq(check4.real, 0.0), approx_eq(check4.imag, 0.0)};
    bool unitary = true;
    for (bool ok : results) unitary = unitary && ok;
    if (!unitary) {
        write_diagnostic(check1, check2, check3.real, check4.real);
        panic(std::string(msg::kNotUnitary), site::kNotUnitary);
    }
    return g;
}

}  // namespace velqor
