#include "core/gate.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

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

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    const bool negative = std::signbit(value);
    std::string text = negative ? "-" : "";
    const double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) return text + "inf";
    if (magnitude == 0.0) return text + "0.0";

    // Shortest round-trip digits and their decimal exponent, from the
    // scientific form "d.ddde[+-]x".
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c != '.') digits.push_back(c);
    }
    const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

    if (magnitude >= 1e-4 && magnitude < 1e16) {
        if (exponent >= 0) {
            const std::size_t int_len = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= int_len) {
                text += digits;
                text.append(int_len - digits.size(), '0');
                text += ".0";
            } else {
                text += digits.substr(0, int_len);
                text += '.';
                text += digits.substr(int_len);
            }
        } else {
            text += "0.";
            text.append(static_cast<std::size_t>(-exponent - 1), '0');
            text += digits;
        }
        return text;
    }
    text += digits[0];
    if (digits.size() > 1) {
        text += '.';
        text += digits.substr(1);
    }
    text += 'e';
    text += std::to_string(exponent);
    return text;
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
