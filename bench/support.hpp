// What the benchmarks share: running the gates a register has queued, so that
// a timing includes their work; one read-write pass over the state, the scale
// every time is given against; and the clock, for cycles.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>

#include "core/register.hpp"
#include "named_gates.hpp"
#include "runtime/pool.hpp"

namespace velqor::bench {

inline void flush(const Register& reg) {
    reg.with_amplitudes([](std::span<Complex>) {});
}

// Reads and writes every amplitude once, on the pool (a product by a factor
// that rounds each value to itself or a neighbour, which the compiler cannot drop).
inline void probe_pass(const Register& reg) {
    reg.with_amplitudes([](std::span<Complex> a) {
        Complex* data = a.data();
        pool::for_each_range(a.size(), [data](std::uint64_t b, std::uint64_t e) {
            for (std::uint64_t i = b; i < e; ++i) {
                data[i].real = data[i].real * 1.0000000001;
                data[i].imag = data[i].imag * 1.0000000001;
            }
        });
    });
}

// The clock of this core in Hz, the best of several timed chains of dependent
// instructions of a known latency. Virtual machines seldom expose a cycle
// counter (and aarch64's generic timer runs at a fixed rate, not the core's).
// x86-64: 64-bit multiplies, 3 cycles on every core of the last decade; a chain
// of additions would not do, some cores fold additions of constants.
// aarch64: additions of a register to itself, 1 cycle on every core.
// Elsewhere there is no chain, and the clock reads 0 (no cycle figures).
#if defined(__x86_64__)
inline constexpr const char* kClockChain = "imul chain";
inline constexpr double kChainLatency = 3.0;
#elif defined(__aarch64__)
inline constexpr const char* kClockChain = "add chain";
inline constexpr double kChainLatency = 1.0;
#else
inline constexpr const char* kClockChain = "no clock chain";
inline constexpr double kChainLatency = 0.0;
#endif

inline double clock_hz() {
    constexpr long kSteps = 30'000'000;
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        std::uint64_t x = 3;
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < kSteps; i += 5) {
#if defined(__x86_64__)
            asm volatile("imul %0, %0\n\timul %0, %0\n\timul %0, %0\n\timul %0, %0\n\timul %0, %0" : "+r"(x));
#elif defined(__aarch64__)
            asm volatile("add %0, %0, %0\n\tadd %0, %0, %0\n\tadd %0, %0, %0\n\tadd %0, %0, %0\n\tadd %0, %0, %0"
                         : "+r"(x));
#else
            asm volatile("" : "+r"(x));
#endif
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return kChainLatency * kSteps / best;
}

}  // namespace velqor::bench
