// The instruction sets the kernels are compiled for, which one this processor
// runs, and the one place that chooses a kernel by it.
//
// x86-64: SSE2 is the baseline of the target. The wider kernels are functions
// compiled with a function-level target attribute (the macros below), called
// only when the processor runs that instruction set. The target lists leave
// fused multiply-add off, so every width rounds each product and sum once.
//
// aarch64: Advanced SIMD (NEON, two doubles per vector) is the baseline; the
// portable scalar lanes stay selectable beside it. Both are compiled for the
// plain target, and -ffp-contract=off keeps the compiler from fusing a product
// into a sum there (the build checks the disassembly for fused instructions).
//
// Any other architecture: the portable scalar lanes alone.
#pragma once

#include <cstddef>

#if defined(__x86_64__)
#define VELQOR_TARGET_AVX2 __attribute__((target("avx2,no-fma")))
#define VELQOR_TARGET_AVX512 __attribute__((target("avx512f,avx512dq,no-fma")))
#endif

namespace velqor::kernels {

// Every instruction set of this architecture, narrowest first.
#if defined(__x86_64__)
enum class Isa { Sse2, Avx2, Avx512 };
inline constexpr Isa kIsas[] = {Isa::Sse2, Isa::Avx2, Isa::Avx512};
#elif defined(__aarch64__)
enum class Isa { Scalar, Neon };
inline constexpr Isa kIsas[] = {Isa::Scalar, Isa::Neon};
#else
enum class Isa { Scalar };
inline constexpr Isa kIsas[] = {Isa::Scalar};
#endif
inline constexpr std::size_t kIsaCount = sizeof kIsas / sizeof kIsas[0];

// The widest instruction set this processor runs, detected once.
Isa detected_isa() noexcept;

// The instruction set the kernels use: the detected one, unless a test narrowed it.
Isa active_isa() noexcept;

// The instruction set's name in lower case ("sse2", "neon", "scalar", ...).
const char* isa_name(Isa isa) noexcept;

// The kernel for the active instruction set, from one per set of kIsas in its
// order (a kernel with no wider variant is passed again in the wider slots).
template <class Kernel, class... Wider>
Kernel widest_kernel(Kernel baseline, Wider... wider) noexcept {
    static_assert(1 + sizeof...(Wider) == kIsaCount, "one kernel per instruction set of this architecture");
    const Kernel by_isa[] = {baseline, static_cast<Kernel>(wider)...};
    return by_isa[static_cast<std::size_t>(active_isa())];
}

namespace test_hooks {

// Makes the kernels use `isa`, at most the detected one, until called again.
// Tests only, while no loop runs. A kernel is chosen when it is planned, not
// when it runs: a stretch's layout keeps the kernel it was planned with
// (core/queue/stretch_plan.hpp), so the call counts for plans made after it.
void force_isa(Isa isa) noexcept;

}  // namespace test_hooks

}  // namespace velqor::kernels
