// Lanes: complex numbers in vector registers (SSE2, AVX2 and AVX-512 on
// x86-64, Advanced SIMD on aarch64) or in plain doubles (the portable scalar
// lanes), and the operations the per-pair kernels use on them.
#pragma once

#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/complex.hpp"
#include "core/kernels/isa.hpp"
#if defined(__aarch64__)
#include "core/kernels/lanes_neon.hpp"
#endif

namespace velqor::kernels {

// Lanes: how a vector register holds complex numbers, real part first, and the
// operations the kernels use on it. Every operation is the scalar formula lane
// by lane, each product and sum rounded once (no fused multiply-add, which the
// target lists below and -ffp-contract=off leave off), so results are
// bit-identical to the Complex operations (x - y is x + (-y), and (-x) y is
// -(x y), in IEEE arithmetic) for every width and every architecture.
//
// SSE2, NEON and scalar lanes hold one complex per register. The wider lanes
// carry their instruction set's target attribute and are used only inside
// functions compiled for that target (core/kernels/apply.cpp), chosen by
// widest_kernel (core/kernels/isa.hpp).

// The portable lanes: one complex as two doubles, for any architecture.
struct ScalarLanes {
    struct V {
        double lo;  // the real lane
        double hi;  // the imaginary lane
    };
    using Narrower = ScalarLanes;
    static constexpr std::uint64_t kWidth = 1;
    static V load(const Complex* p) noexcept { return {p->real, p->imag}; }
    static void store(Complex* p, V v) noexcept { *p = {v.lo, v.hi}; }
    static V broadcast(double x) noexcept { return {x, x}; }
    static V zero() noexcept { return {0.0, 0.0}; }
    static V mul(V a, V b) noexcept { return {a.lo * b.lo, a.hi * b.hi}; }
    static V add(V a, V b) noexcept { return {a.lo + b.lo, a.hi + b.hi}; }
    static V swap_parts(V x) noexcept { return {x.hi, x.lo}; }        // (re, im) -> (im, re)
    static V broadcast_signed(double x) noexcept { return {-x, x}; }  // (-x, x)
};

#if defined(__x86_64__)

struct Sse2Lanes {
    using V = __m128d;
    using Narrower = Sse2Lanes;
    static constexpr std::uint64_t kWidth = 1;
    static V load(const Complex* p) noexcept { return _mm_loadu_pd(&p->real); }
    static void store(Complex* p, V v) noexcept { _mm_storeu_pd(&p->real, v); }
    static V broadcast(double x) noexcept { return _mm_set1_pd(x); }
    static V zero() noexcept { return _mm_setzero_pd(); }
    static V mul(V a, V b) noexcept { return _mm_mul_pd(a, b); }
    static V add(V a, V b) noexcept { return _mm_add_pd(a, b); }
    static V swap_parts(V x) noexcept { return _mm_shuffle_pd(x, x, 1); }       // (re, im) -> (im, re)
    static V broadcast_signed(double x) noexcept { return _mm_set_pd(x, -x); }  // (-x, x)
};

// The wide lanes pass vectors by value between functions that are all inlined
// into one function of their target; the ABI note about such values does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

struct Avx2Lanes {
    using V = __m256d;
    using Narrower = Sse2Lanes;  // where fewer than kWidth pairs are left
    static constexpr std::uint64_t kWidth = 2;
    VELQOR_TARGET_AVX2 static V load(const Complex* p) noexcept { return _mm256_loadu_pd(&p->real); }
    VELQOR_TARGET_AVX2 static void store(Complex* p, V v) noexcept { _mm256_storeu_pd(&p->real, v); }
    VELQOR_TARGET_AVX2 static V broadcast(double x) noexcept { return _mm256_set1_pd(x); }
    VELQOR_TARGET_AVX2 static V zero() noexcept { return _mm256_setzero_pd(); }
    VELQOR_TARGET_AVX2 static V mul(V a, V b) noexcept { return _mm256_mul_pd(a, b); }
    VELQOR_TARGET_AVX2 static V add(V a, V b) noexcept { return _mm256_add_pd(a, b); }
    VELQOR_TARGET_AVX2 static V swap_parts(V x) noexcept { return _mm256_permute_pd(x, 0x5); }
    VELQOR_TARGET_AVX2 static V broadcast_signed(double x) noexcept { return _mm256_set_pd(x, -x, x, -x); }
    // firsts and seconds split kWidth adjacent pairs, loaded in memory order as
    // u and v, into the pairs' first and second amplitudes; low_pairs and
    // high_pairs put them back in memory order.
    VELQOR_TARGET_AVX2 static V firsts(V u, V v) noexcept { return _mm256_permute2f128_pd(u, v, 0x20); }
    VELQOR_TARGET_AVX2 static V seconds(V u, V v) noexcept { return _mm256_permute2f128_pd(u, v, 0x31); }
    VELQOR_TARGET_AVX2 static V low_pairs(V x, V y) noexcept { return _mm256_permute2f128_pd(x, y, 0x20); }
    VELQOR_TARGET_AVX2 static V high_pairs(V x, V y) noexcept { return _mm256_permute2f128_pd(x, y, 0x31); }
};

struct Avx512Lanes {
    using V = __m512d;
    using Narrower = Avx2Lanes;
    static constexpr std::uint64_t kWidth = 4;
    VELQOR_TARGET_AVX512 static V load(const Complex* p) noexcept { return _mm512_loadu_pd(&p->real); }
    VELQOR_TARGET_AVX512 static void store(Complex* p, V v) noexcept { _mm512_storeu_pd(&p->real, v); }
    VELQOR_TARGET_AVX512 static V broadcast(double x) noexcept { return _mm512_set1_pd(x); }
    VELQOR_TARGET_AVX512 static V zero() noexcept { return _mm512_setzero_pd(); }
    VELQOR_TARGET_AVX512 static V mul(V a, V b) noexcept { return _mm512_mul_pd(a, b); }
    VELQOR_TARGET_AVX512 static V add(V a, V b) noexcept { return _mm512_add_pd(a, b); }
    VELQOR_TARGET_AVX512 static V swap_parts(V x) noexcept { return _mm512_shuffle_pd(x, x, 0x55); }
    VELQOR_TARGET_AVX512 static V broadcast_signed(double x) noexcept {
        return _mm512_set_pd(x, -x, x, -x, x, -x, x, -x);
    }
    // Complex numbers picked from u (0-3) and v (4-7), as pairs of doubles.
    VELQOR_TARGET_AVX512 static V pick(V u, V v, int c0, int c1, int c2, int c3) noexcept {
        const __m512i index =
            _mm512_set_epi64(2 * c3 + 1, 2 * c3, 2 * c2 + 1, 2 * c2, 2 * c1 + 1, 2 * c1, 2 * c0 + 1, 2 * c0);
        return _mm512_permutex2var_pd(u, index, v);
    }
    VELQOR_TARGET_AVX512 static V firsts(V u, V v) noexcept { return pick(u, v, 0, 2, 4, 6); }
    VELQOR_TARGET_AVX512 static V seconds(V u, V v) noexcept { return pick(u, v, 1, 3, 5, 7); }
    VELQOR_TARGET_AVX512 static V low_pairs(V x, V y) noexcept { return pick(x, y, 0, 4, 1, 5); }
    VELQOR_TARGET_AVX512 static V high_pairs(V x, V y) noexcept { return pick(x, y, 2, 6, 3, 7); }
};

#endif  // __x86_64__

// The lanes of whole-state gate application and of the narrowest in-block
// kernel: the architecture's baseline vectors.
#if defined(__x86_64__)
using BaseLanes = Sse2Lanes;
#elif defined(__aarch64__)
using BaseLanes = NeonLanes;
#else
using BaseLanes = ScalarLanes;
#endif

}  // namespace velqor::kernels
