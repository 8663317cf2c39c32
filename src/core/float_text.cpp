#include "core/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace velqor {

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

}  // namespace velqor
