#include "runtime/environment.hpp"

#include <cstdlib>
#include <limits>

namespace velqor::env {

const char* read(const char* name) noexcept { return std::getenv(name); }

std::optional<std::uint64_t> parse_decimal(std::string_view text, bool plus_allowed, std::uint64_t max) noexcept {
    if (plus_allowed && !text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool parse_count(const char* text, std::uint32_t& value) noexcept {
    if (text == nullptr) return false;
    const auto parsed = parse_decimal(text, true, std::numeric_limits<std::uint32_t>::max());
    if (!parsed) return false;
    value = static_cast<std::uint32_t>(*parsed);
    return true;
}

std::optional<std::uint64_t> parse_seed(std::string_view text) noexcept {
    return parse_decimal(text, false, std::numeric_limits<std::uint64_t>::max());
}

}  // namespace velqor::env
