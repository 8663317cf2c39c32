// The per-pair operations of gate application: how a gate's entries act on the
// two amplitudes of a pair, specialised by the kind of each entry (one, zero,
// real, general). The pair planning and row traversal that feed them are in
// core/kernels/pair_plan.hpp.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include <immintrin.h>

#include "core/complex.hpp"
#include "core/gate.hpp"

namespace velqor::kernels {

// How an entry acts on an amplitude. A product by an entry that is exactly zero
// is skipped, and so are the products by the zero imaginary part of a real
// entry: only the sign of a zero result can differ from the full formula.
enum class Kind { One, Zero, Real, General };

inline Kind kind_of(Complex m) noexcept {
    if (m.imag != 0.0) return Kind::General;
    if (m.real == 0.0) return Kind::Zero;
    if (m.real == 1.0) return Kind::One;
    return Kind::Real;
}

// Lanes: how a vector register holds complex numbers, real part first, and the
// operations the kernels use on it. Every operation is the scalar formula lane
// by lane, each product and sum rounded once (no fused multiply-add, which the
// target lists below leave off), so results are bit-identical to the Complex
// operations (x - y is x + (-y), and (-x) y is -(x y), in IEEE arithmetic) for every width.
//
// SSE2 is the baseline of the x86-64 target: one complex per register. The
// wider lanes carry a function-level target attribute and are used only
// inside functions compiled for that target (see gate_queue.cpp), chosen once
// by the processor's features (active_isa).
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

#define VELQOR_TARGET_AVX2 __attribute__((target("avx2,no-fma")))
#define VELQOR_TARGET_AVX512 __attribute__((target("avx512f,avx512dq,no-fma")))

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

// The widest lanes this processor runs, detected once; tests may narrow it.
enum class Isa { Sse2, Avx2, Avx512 };
Isa detected_isa() noexcept;
Isa active_isa() noexcept;
namespace test_hooks {
void force_isa(Isa isa) noexcept;  // at most the detected one
}

// A gate entry prepared for products with amplitudes.
template <class L = Sse2Lanes>
struct Entry {
    typename L::V re;  // m.real in every lane
    typename L::V im;  // -m.imag in the real lanes, m.imag in the imaginary ones
    explicit Entry(Complex m) noexcept : re(L::broadcast(m.real)), im(L::broadcast_signed(m.imag)) {}
};

template <Kind K, class L>
inline typename L::V scale(const Entry<L>& m, typename L::V x) noexcept {
    if constexpr (K == Kind::One) {
        return x;
    } else if constexpr (K == Kind::Zero) {
        return L::zero();
    } else if constexpr (K == Kind::Real) {
        return L::mul(m.re, x);
    } else {
        // (m.re x.re - m.im x.im, m.re x.im + m.im x.re). The subtraction is the
        // sum with (-m.im) x.im: negating a factor negates the rounded product
        // exactly, so the sign goes into the entry, not onto every product.
        return L::add(L::mul(m.re, x), L::mul(m.im, L::swap_parts(x)));
    }
}

// What an op keeps of an entry: in SSE2 lanes the prepared entry; for wider
// lanes the number itself, prepared inside run(), which is compiled only into
// functions of the lanes' target (an op is built anywhere and passed by reference).
template <class L>
using Kept = std::conditional_t<L::kWidth == 1, Entry<Sse2Lanes>, Complex>;

template <class L>
inline Entry<L> prepare(const Kept<L>& kept) noexcept {
    if constexpr (L::kWidth == 1) {
        return kept;
    } else {
        return Entry<L>(kept);
    }
}

// Each op's run(a0, a1, begin, end) takes L::kWidth pairs per step, and the
// pairs left over (rows shorter than the width) in narrower lanes.
// run_adjacent(a, count) takes the pairs (a[2i], a[2i + 1]), i < count, of a
// gate on qubit 0: kWidth pairs are loaded as two vectors and split into the
// pairs' first and second amplitudes in registers, so rows of one pair still
// run at the full width.

// Runs `step(x, y)`, which returns the new (x, y), over the adjacent pairs of
// run_adjacent; returns how many pairs it took (a multiple of kWidth).
template <class L, class Step>
inline std::uint64_t for_adjacent_pairs(Complex* a, std::uint64_t count, Step step) noexcept {
    std::uint64_t i = 0;
    if constexpr (L::kWidth > 1) {
        for (; i + L::kWidth <= count; i += L::kWidth) {
            Complex* p = a + 2 * i;
            const typename L::V u = L::load(p);
            const typename L::V v = L::load(p + L::kWidth);
            const auto [x, y] = step(L::firsts(u, v), L::seconds(u, v));
            L::store(p, L::low_pairs(x, y));
            L::store(p + L::kWidth, L::high_pairs(x, y));
        }
    }
    return i;
}

// Full 2x2 application: a0' = m00 a0 + m01 a1, a1' = m10 a0 + m11 a1, with every
// entry real (Kind::Real) or every entry general.
template <Kind K, class L = Sse2Lanes>
struct DenseOp {
    Kept<L> k00, k01, k10, k11;
    DenseOp(Complex a, Complex b, Complex c, Complex d) noexcept : k00(a), k01(b), k10(c), k11(d) {}
    void run(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        const Entry<L> e00 = prepare<L>(k00), e01 = prepare<L>(k01), e10 = prepare<L>(k10), e11 = prepare<L>(k11);
        std::uint64_t i = begin;
        for (; i + L::kWidth <= end; i += L::kWidth) {
            const typename L::V x = L::load(a0 + i);
            const typename L::V y = L::load(a1 + i);
            L::store(a0 + i, L::add(scale<K>(e00, x), scale<K>(e01, y)));
            L::store(a1 + i, L::add(scale<K>(e10, x), scale<K>(e11, y)));
        }
        if constexpr (L::kWidth > 1) {
            if (i < end) DenseOp<K, typename L::Narrower>(k00, k01, k10, k11).run(a0, a1, i, end);
        }
    }
    void run_adjacent(Complex* a, std::uint64_t count) const noexcept {
        const Entry<L> e00 = prepare<L>(k00), e01 = prepare<L>(k01), e10 = prepare<L>(k10), e11 = prepare<L>(k11);
        using V = typename L::V;
        std::uint64_t i = for_adjacent_pairs<L>(a, count, [&](V x, V y) {
            return std::pair{L::add(scale<K>(e00, x), scale<K>(e01, y)), L::add(scale<K>(e10, x), scale<K>(e11, y))};
        });
        for (; i < count; ++i) run(a + 2 * i, a + 2 * i + 1, 0, 1);
    }
    void finish() const noexcept {}
};

// Diagonal: a0' = m00 a0, a1' = m11 a1; a side whose entry is one is not touched.
template <Kind K0, Kind K1, class L = Sse2Lanes>
struct DiagonalOp {
    Kept<L> k00, k11;
    bool stream_zeros = false;  // write a side that becomes zero with streaming stores
    DiagonalOp(Complex a, Complex d) noexcept : k00(a), k11(d) {}
    void run(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        side<K0>(k00, a0, begin, end);
        side<K1>(k11, a1, begin, end);
    }
    void run_adjacent(Complex* a, std::uint64_t count) const noexcept {
        const Entry<L> e00 = prepare<L>(k00), e11 = prepare<L>(k11);
        using V = typename L::V;
        std::uint64_t i =
            for_adjacent_pairs<L>(a, count, [&](V x, V y) { return std::pair{scale<K0>(e00, x), scale<K1>(e11, y)}; });
        for (; i < count; ++i) run(a + 2 * i, a + 2 * i + 1, 0, 1);
    }
    // Streaming stores are ordered by a fence before the loop piece ends, so
    // the pool's completion latch publishes them like ordinary stores.
    void finish() const noexcept {
        if (stream_zeros && (K0 == Kind::Zero || K1 == Kind::Zero)) _mm_sfence();
    }

private:
    template <Kind K>
    void side(const Kept<L>& kept, Complex* a, std::uint64_t begin, std::uint64_t end) const noexcept {
        if constexpr (K == Kind::Zero) {
            if (stream_zeros) {
                // Nothing is read, and the line is not fetched before it is written.
                for (std::uint64_t i = begin; i < end; ++i) _mm_stream_pd(&a[i].real, _mm_setzero_pd());
                return;
            }
        }
        if constexpr (K != Kind::One) {
            const Entry<L> e = prepare<L>(kept);
            std::uint64_t i = begin;
            for (; i + L::kWidth <= end; i += L::kWidth) L::store(a + i, scale<K>(e, L::load(a + i)));
            if constexpr (L::kWidth > 1) {
                using N = typename L::Narrower;
                const Entry<N> narrow(kept);
                for (; i + N::kWidth <= end; i += N::kWidth) N::store(a + i, scale<K>(narrow, N::load(a + i)));
                const Entry<> single(kept);
                for (; i < end; ++i) Sse2Lanes::store(a + i, scale<K>(single, Sse2Lanes::load(a + i)));
            }
        }
    }
};

// Anti-diagonal: a0' = m01 a1, a1' = m10 a0 (a swap with factors).
template <Kind K0, Kind K1, class L = Sse2Lanes>
struct SwapOp {
    Kept<L> k01, k10;
    SwapOp(Complex b, Complex c) noexcept : k01(b), k10(c) {}
    void run(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        const Entry<L> e01 = prepare<L>(k01), e10 = prepare<L>(k10);
        std::uint64_t i = begin;
        for (; i + L::kWidth <= end; i += L::kWidth) {
            const typename L::V x = L::load(a0 + i);
            const typename L::V y = L::load(a1 + i);
            L::store(a0 + i, scale<K0>(e01, y));
            L::store(a1 + i, scale<K1>(e10, x));
        }
        if constexpr (L::kWidth > 1) {
            if (i < end) SwapOp<K0, K1, typename L::Narrower>(k01, k10).run(a0, a1, i, end);
        }
    }
    void run_adjacent(Complex* a, std::uint64_t count) const noexcept {
        const Entry<L> e01 = prepare<L>(k01), e10 = prepare<L>(k10);
        using V = typename L::V;
        std::uint64_t i =
            for_adjacent_pairs<L>(a, count, [&](V x, V y) { return std::pair{scale<K0>(e01, y), scale<K1>(e10, x)}; });
        for (; i < count; ++i) run(a + 2 * i, a + 2 * i + 1, 0, 1);
    }
    void finish() const noexcept {}
};

namespace detail {

template <class L, Kind K0, class F>
void visit_diagonal(const Gate& g, Kind k1, F& f) {
    switch (k1) {
        case Kind::One: return f(DiagonalOp<K0, Kind::One, L>{g.m00, g.m11});
        case Kind::Zero: return f(DiagonalOp<K0, Kind::Zero, L>{g.m00, g.m11});
        case Kind::Real: return f(DiagonalOp<K0, Kind::Real, L>{g.m00, g.m11});
        case Kind::General: return f(DiagonalOp<K0, Kind::General, L>{g.m00, g.m11});
    }
}

template <class L, Kind K0, class F>
void visit_swap(const Gate& g, Kind k1, F& f) {
    switch (k1) {
        case Kind::One: return f(SwapOp<K0, Kind::One, L>{g.m01, g.m10});
        case Kind::General: return f(SwapOp<K0, Kind::General, L>{g.m01, g.m10});
        default: return f(SwapOp<K0, Kind::Real, L>{g.m01, g.m10});
    }
}

}  // namespace detail

// Calls f(op) with the operation that the gate's entries allow: diagonal,
// anti-diagonal or dense, each side specialised by the kind of its entries.
// The identity changes nothing: f is not called.
template <class L = Sse2Lanes, class F>
void visit_op(const Gate& g, F&& f) {
    const Kind k00 = kind_of(g.m00);
    const Kind k01 = kind_of(g.m01);
    const Kind k10 = kind_of(g.m10);
    const Kind k11 = kind_of(g.m11);
    if (k01 == Kind::Zero && k10 == Kind::Zero) {
        switch (k00) {
            case Kind::One:
                if (k11 == Kind::One) return;
                return detail::visit_diagonal<L, Kind::One>(g, k11, f);
            case Kind::Zero: return detail::visit_diagonal<L, Kind::Zero>(g, k11, f);
            case Kind::Real: return detail::visit_diagonal<L, Kind::Real>(g, k11, f);
            case Kind::General: return detail::visit_diagonal<L, Kind::General>(g, k11, f);
        }
    }
    if (k00 == Kind::Zero && k11 == Kind::Zero) {
        // Both off-diagonal entries are non-zero here (a zero one would make the
        // matrix diagonal, handled above).
        switch (k01) {
            case Kind::One: return detail::visit_swap<L, Kind::One>(g, k10, f);
            case Kind::General: return detail::visit_swap<L, Kind::General>(g, k10, f);
            default: return detail::visit_swap<L, Kind::Real>(g, k10, f);
        }
    }
    const bool all_real = k00 != Kind::General && k01 != Kind::General && k10 != Kind::General && k11 != Kind::General;
    if (all_real) return f(DenseOp<Kind::Real, L>{g.m00, g.m01, g.m10, g.m11});
    f(DenseOp<Kind::General, L>{g.m00, g.m01, g.m10, g.m11});
}

}  // namespace velqor::kernels
