// Helpers of the random source's tests: injected operating-system sources,
// the expected keystream, and a panic check.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <cstring>
#include <vector>

#include "runtime/panic.hpp"
#include "runtime/random/chacha.hpp"
#include "runtime/random/os_source.hpp"
#include "runtime/random/sampling.hpp"
#include "runtime/random/thread_generator.hpp"
#include "support.hpp"

namespace velqor::testing::random_support {

using velqor::random::chacha_block;
using velqor::random::chacha_blocks4;
using velqor::random::OsError;
using velqor::random::OsSource;
using velqor::random::SampleError;
using velqor::random::ThreadGenerator;
using velqor::random::UniformRange;
using velqor::random::WeightedSampler;
using Key = std::array<std::uint32_t, 8>;
using Seed = std::array<std::uint8_t, 32>;

// Runs `body`, which must panic with `message`; marks the panic caught.
inline void expect_panic(const std::function<void()>& body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "no panic, expected: " << message;
    } catch (const velqor::Panic& p) {
        velqor::panic_caught();
        EXPECT_EQ(p.message(), message);
    }
}

inline Key key_of(const Seed& seed) {
    Key key{};
    for (int i = 0; i < 8; ++i) {
        key[i] = seed[4 * i] | seed[4 * i + 1] << 8 | seed[4 * i + 2] << 16 | std::uint32_t{seed[4 * i + 3]} << 24;
    }
    return key;
}

// Keystream word `index` (0-based over the whole stream) under `key`, 12 rounds.
inline std::uint64_t stream_draw(const Key& key, std::uint64_t draw) {
    std::uint32_t block[16];
    chacha_block(key, draw / 8, 0, 12, block);
    const std::uint64_t word = 2 * (draw % 8);
    return block[word] | std::uint64_t{block[word + 1]} << 32;
}

// Injected operating-system sources. The keyed one hands out seed n on its n-th
// call (0-based); the failing one always fails with code 38.
inline std::atomic<int> g_source_calls{0};

inline Seed seed_number(int n) {
    Seed seed{};
    for (int i = 0; i < 32; ++i) seed[i] = static_cast<std::uint8_t>(0x11 * n + 3 * i + 1);
    return seed;
}

inline std::optional<OsError> keyed_source(std::span<std::uint8_t> buffer) {
    const Seed seed = seed_number(g_source_calls.fetch_add(1));
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = seed[i % 32];
    return std::nullopt;
}

inline std::optional<OsError> failing_source(std::span<std::uint8_t>) {
    g_source_calls.fetch_add(1);
    return OsError{38};
}

class SourceGuard {
public:
    explicit SourceGuard(OsSource source) : previous_(velqor::random::set_os_source(source)) { g_source_calls = 0; }
    ~SourceGuard() { velqor::random::set_os_source(previous_); }
    SourceGuard(const SourceGuard&) = delete;
    SourceGuard& operator=(const SourceGuard&) = delete;

private:
    OsSource previous_;
};

}  // namespace velqor::testing::random_support
