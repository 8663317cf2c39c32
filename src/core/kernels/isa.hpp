// The instruction sets the kernels are compiled for, which one this processor
// runs, and the one place that chooses a kernel by it.
//
// SSE2 is the baseline of the x86-64 target. The wider kernels are functions
// compiled with a function-level target attribute (the macros below), called
// only when the processor runs that instruction set. The target lists leave
// fused multiply-add off, so every width rounds each product and sum once.
#pragma once

#define VELQOR_TARGET_AVX2 __attribute__((target("avx2,no-fma")))
#define VELQOR_TARGET_AVX512 __attribute__((target("avx512f,avx512dq,no-fma")))

namespace velqor::kernels {

enum class Isa { Sse2, Avx2, Avx512 };

// The widest instruction set this processor runs, detected once.
Isa detected_isa() noexcept;

// The instruction set the kernels use: the detected one, unless a test narrowed it.
Isa active_isa() noexcept;

// The kernel for the active instruction set, from one compiled per set (a
// kernel with no wider variant is passed again in the wider slots).
template <class Kernel>
Kernel widest_kernel(Kernel sse2, Kernel avx2, Kernel avx512) noexcept {
    switch (active_isa()) {
        case Isa::Avx512: return avx512;
        case Isa::Avx2: return avx2;
        case Isa::Sse2: break;
    }
    return sse2;
}

namespace test_hooks {

// Makes the kernels use `isa`, at most the detected one, until called again.
// Tests only, while no loop runs. A kernel is chosen when it is planned, not
// when it runs: a stretch's layout keeps the kernel it was planned with
// (core/queue/stretch_plan.hpp), so the call counts for plans made after it.
void force_isa(Isa isa) noexcept;

}  // namespace test_hooks

}  // namespace velqor::kernels
