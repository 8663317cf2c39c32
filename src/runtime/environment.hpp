// The process environment, read in one place: the one call of getenv, and the
// one parser of the decimal variables. The variables' names are in
// contract.hpp. Each reader keeps what it read for the life of the process
// (the pool's worker count and stack size, the backtrace style, the seed), so
// a change of a variable after its first use has no effect.
//
// Any thread may call these; nothing blocks. The environment itself is not
// guarded: the process must not change it while another thread reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velqor::env {

// The variable's value, or nullptr when it is unset.
const char* read(const char* name) noexcept;

// How a variable's value is looked up; read() in the module, a table in tests.
using Reader = const char* (*)(const char* name);

// Parses an unsigned decimal of at most `max`: one or more digits, preceded by
// one '+' when `plus_allowed`; nothing else (no spaces, no minus). Empty for
// any other text.
std::optional<std::uint64_t> parse_decimal(std::string_view text, bool plus_allowed, std::uint64_t max) noexcept;

// The count variables (worker counts, stack size): an optional '+' and digits,
// at most 4294967295. Returns false for anything else or a null text.
bool parse_count(const char* text, std::uint32_t& value) noexcept;

// The value of VELQOR_SEED: digits only, 0 to 2^64 - 1, or nothing.
std::optional<std::uint64_t> parse_seed(std::string_view text) noexcept;

}  // namespace velqor::env
