// The operating system's random generator, the one source of fresh keys, and
// the test hook that replaces it. Any thread; a read may block until the
// system's generator is seeded (at boot only).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace velqor::random {

// A failed read of the operating system's generator.
struct OsError {
    std::uint32_t code;
    std::string describe() const;  // "OS Error: " and the code in decimal
};

// Fills `buffer` from the operating system's generator (getrandom). An empty
// buffer succeeds without a system call.
using OsSource = std::optional<OsError> (*)(std::span<std::uint8_t> buffer);
std::optional<OsError> fill_from_os(std::span<std::uint8_t> buffer);

// Replaces the operating-system source used by every generator (tests only).
// Returns the previous source; nullptr restores the real one.
OsSource set_os_source(OsSource source) noexcept;

// Reads through the current source (the system's, or the one a test set).
std::optional<OsError> read_os(std::span<std::uint8_t> buffer);

}  // namespace velqor::random
