#include "runtime/random/os_source.hpp"

#include <sys/random.h>

#include <atomic>
#include <cerrno>

#include "runtime/contract.hpp"

namespace velqor::random {
namespace {

std::atomic<OsSource> g_os_source{&fill_from_os};

}  // namespace

std::optional<OsError> read_os(std::span<std::uint8_t> buffer) {
    return g_os_source.load(std::memory_order_acquire)(buffer);
}

std::string OsError::describe() const {
    std::string text(msg::kOsErrorPrefix);
    text.append(std::to_string(code));
    return text;
}

std::optional<OsError> fill_from_os(std::span<std::uint8_t> buffer) {
    std::uint8_t* data = buffer.data();
    std::size_t left = buffer.size();
    while (left > 0) {
        const ssize_t n = ::getrandom(data, left, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return OsError{static_cast<std::uint32_t>(errno)};
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return std::nullopt;
}

OsSource set_os_source(OsSource source) noexcept {
    return g_os_source.exchange(source != nullptr ? source : &fill_from_os, std::memory_order_acq_rel);
}

}  // namespace velqor::random
