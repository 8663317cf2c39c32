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
// 64-bit multiplies, each 3 cycles of latency on every x86-64 core of the last
// decade. Virtual machines seldom expose a cycle counter, and a chain of
// additions would not do: some cores fold additions of constants.
inline double clock_hz() {
    constexpr long kSteps = 30'000'000;
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        std::uint64_t x = 3;
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < kSteps; i += 5) {
            asm volatile("imul %0, %0\n\timul %0, %0\n\timul %0, %0\n\timul %0, %0\n\timul %0, %0" : "+r"(x));
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return 3.0 * kSteps / best;
}

}  // namespace velqor::bench
