#include "core/kernels/isa.hpp"

#include <algorithm>
#include <atomic>

#if defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace velqor::kernels {
namespace {

// The set a test forced, or -1 for the detected one.
std::atomic<int> g_forced_isa{-1};

// What the processor runs, read from the processor (x86-64) or the kernel's
// report of it (aarch64).
Isa detect() noexcept {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return Isa::Avx512;
    if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
    return Isa::Sse2;
#elif defined(__aarch64__) && defined(__linux__)
    // Advanced SIMD is part of every Linux aarch64 processor; the kernel's
    // capability bits say so, and the check keeps the choice honest.
    return (getauxval(AT_HWCAP) & HWCAP_ASIMD) != 0 ? Isa::Neon : Isa::Scalar;
#elif defined(__aarch64__)
    return Isa::Neon;
#else
    return Isa::Scalar;
#endif
}

}  // namespace

Isa detected_isa() noexcept {
    static const Isa isa = detect();
    return isa;
}

Isa active_isa() noexcept {
    const int forced = g_forced_isa.load(std::memory_order_relaxed);
    return forced < 0 ? detected_isa() : static_cast<Isa>(forced);
}

const char* isa_name(Isa isa) noexcept {
    switch (isa) {
#if defined(__x86_64__)
        case Isa::Sse2: return "sse2";
        case Isa::Avx2: return "avx2";
        case Isa::Avx512: return "avx512";
#elif defined(__aarch64__)
        case Isa::Scalar: return "scalar";
        case Isa::Neon: return "neon";
#else
        case Isa::Scalar: return "scalar";
#endif
    }
    return "?";
}

void test_hooks::force_isa(Isa isa) noexcept {
    g_forced_isa.store(static_cast<int>(std::min(isa, detected_isa())), std::memory_order_relaxed);
}

}  // namespace velqor::kernels
