// What the benchmarks share: running the gates a register has queued, so that
// a timing includes their work, and one read-write pass over the state, the
// scale every time is given against.
#pragma once

#include <cstdint>
#include <span>

#include "core/register.hpp"
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

}  // namespace velqor::bench
