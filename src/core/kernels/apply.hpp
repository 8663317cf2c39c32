// Applying one gate: to the whole state on the pool, or to a block of the
// state held in cache, with the widest lanes of the processor.
#pragma once

#include <cstdint>

#include "core/complex.hpp"
#include "core/gate.hpp"
#include "core/kernels/pair_plan.hpp"

namespace velqor::kernels {

// Applies `gate` on target t < n under the controls of `control_mask` (each
// below n, none equal to t) to the whole state of 2^n amplitudes, on the pool.
void apply_to_state(const Gate& gate, unsigned t, std::uint64_t control_mask, Complex* amplitudes, unsigned n);

// Applies `gate` to the pairs of `plan` from `data`: a block in cache, one
// thread, no tiles. Every kernel gives the same bits.
using InBlockKernel = void (*)(const Gate& gate, const PairPlan& plan, Complex* data);

// The in-block kernel for the lanes the processor runs (widest_kernel).
InBlockKernel in_block_kernel() noexcept;

}  // namespace velqor::kernels
