// Runs the gates a register has queued, so that a timing includes their work.
#pragma once

#include <span>

#include "core/register.hpp"

namespace velqor::bench {

inline void flush(const Register& reg) {
    reg.with_amplitudes([](std::span<Complex>) {});
}

}  // namespace velqor::bench
