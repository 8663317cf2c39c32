#include "core/kernels/isa.hpp"

#include <algorithm>
#include <atomic>

namespace velqor::kernels {
namespace {

// The set a test forced, or -1 for the detected one.
std::atomic<int> g_forced_isa{-1};

}  // namespace

Isa detected_isa() noexcept {
    static const Isa isa = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return Isa::Avx512;
        if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
        return Isa::Sse2;
    }();
    return isa;
}

Isa active_isa() noexcept {
    const int forced = g_forced_isa.load(std::memory_order_relaxed);
    return forced < 0 ? detected_isa() : static_cast<Isa>(forced);
}

void test_hooks::force_isa(Isa isa) noexcept {
    g_forced_isa.store(static_cast<int>(std::min(isa, detected_isa())), std::memory_order_relaxed);
}

}  // namespace velqor::kernels
