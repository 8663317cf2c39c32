// NEON lanes: complex numbers in aarch64 Advanced SIMD registers, two doubles
// (one complex) per vector, with the operations of the other lanes
// (core/kernels/lanes.hpp).
#pragma once

#include <cstdint>

#include <arm_neon.h>

#include "core/complex.hpp"

namespace velqor::kernels {

// vmulq_f64 and vaddq_f64 are one rounded product and one rounded sum per
// lane; with -ffp-contract=off the compiler keeps them apart (no fmla).
struct NeonLanes {
    using V = float64x2_t;
    using Narrower = NeonLanes;
    static constexpr std::uint64_t kWidth = 1;
    static V load(const Complex* p) noexcept { return vld1q_f64(&p->real); }
    static void store(Complex* p, V v) noexcept { vst1q_f64(&p->real, v); }
    static V broadcast(double x) noexcept { return vdupq_n_f64(x); }
    static V zero() noexcept { return vdupq_n_f64(0.0); }
    static V mul(V a, V b) noexcept { return vmulq_f64(a, b); }
    static V add(V a, V b) noexcept { return vaddq_f64(a, b); }
    static V swap_parts(V x) noexcept { return vextq_f64(x, x, 1); }  // (re, im) -> (im, re)
    static V broadcast_signed(double x) noexcept {                    // (-x, x)
        return vsetq_lane_f64(-x, vdupq_n_f64(x), 0);
    }
};

}  // namespace velqor::kernels
