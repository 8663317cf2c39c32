// The per-pair operations of gate application: how a gate's entries act on the
// two amplitudes of a pair, specialised by the kind of each entry (one, zero,
// real, imaginary, general), in any lanes of core/kernels/lanes.hpp. The rows they run
// over come from core/kernels/pair_plan.hpp and core/kernels/rows.hpp.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "core/complex.hpp"
#include "core/gate.hpp"
#include "core/kernels/cache_hints.hpp"
#include "core/kernels/lanes.hpp"

namespace velqor::kernels {

// How an entry acts on an amplitude. A product by an entry that is exactly zero
// is skipped, and so are the products by the zero imaginary part of a real
// entry and by the zero real part of an imaginary one: only the sign of a zero
// result can differ from the full formula, and a zero's sign never shows in a
// probability, which squares it.
enum class Kind { One, Zero, Real, Imaginary, General };

inline Kind kind_of(Complex m) noexcept {
    if (m.imag != 0.0) return m.real == 0.0 ? Kind::Imaginary : Kind::General;
    if (m.real == 0.0) return Kind::Zero;
    if (m.real == 1.0) return Kind::One;
    return Kind::Real;
}

// A gate entry prepared for products with amplitudes.
template <class L = BaseLanes>
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
    } else if constexpr (K == Kind::Imaginary) {
        // (-m.im x.im, m.im x.re): the general product without its products by m.re = 0.
        return L::mul(m.im, L::swap_parts(x));
    } else {
        // (m.re x.re - m.im x.im, m.re x.im + m.im x.re). The subtraction is the
        // sum with (-m.im) x.im: negating a factor negates the rounded product
        // exactly, so the sign goes into the entry, not onto every product.
        return L::add(L::mul(m.re, x), L::mul(m.im, L::swap_parts(x)));
    }
}

// What an op keeps of an entry: in lanes of one complex (the baseline of each
// architecture) the prepared entry; for wider lanes the number itself,
// prepared inside apply(), which is compiled only into functions of the lanes'
// target (an op is built anywhere and passed by reference).
template <class L>
using Kept = std::conditional_t<L::kWidth == 1, Entry<L>, Complex>;

template <class L>
inline Entry<L> prepare(const Kept<L>& kept) noexcept {
    if constexpr (L::kWidth == 1) {
        return kept;
    } else {
        return Entry<L>(kept);
    }
}

// Each op's apply(a0, a1, begin, end) takes L::kWidth pairs per step, and the
// pairs left over (rows shorter than the width) in narrower lanes.
// apply_adjacent(a, count) takes the pairs (a[2i], a[2i + 1]), i < count, of a
// gate on qubit 0: kWidth pairs are loaded as two vectors and split into the
// pairs' first and second amplitudes in registers, so rows of one pair still
// run at the full width.

// Runs `step(x, y)`, which returns the new (x, y), over the adjacent pairs of
// apply_adjacent; returns how many pairs it took (a multiple of kWidth).
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

// Full 2x2 application: a0' = m00 a0 + m01 a1, a1' = m10 a0 + m11 a1, each
// entry multiplied as its kind (Real, Imaginary or General) allows. Per vector
// of pairs a real entry costs 1 product, an imaginary one 1 product, a general
// one 2 products and a sum; the imaginary and general entries of a column share
// one swap of the amplitude's parts.
template <Kind K00, Kind K01 = K00, Kind K10 = K00, Kind K11 = K00, class L = BaseLanes>
struct DenseOp {
    Kept<L> k00, k01, k10, k11;
    DenseOp(Complex a, Complex b, Complex c, Complex d) noexcept : k00(a), k01(b), k10(c), k11(d) {}
    void apply(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        const Entry<L> e00 = prepare<L>(k00), e01 = prepare<L>(k01), e10 = prepare<L>(k10), e11 = prepare<L>(k11);
        std::uint64_t i = begin;
        for (; i + L::kWidth <= end; i += L::kWidth) {
            const typename L::V x = L::load(a0 + i);
            const typename L::V y = L::load(a1 + i);
            L::store(a0 + i, L::add(scale<K00>(e00, x), scale<K01>(e01, y)));
            L::store(a1 + i, L::add(scale<K10>(e10, x), scale<K11>(e11, y)));
        }
        if constexpr (L::kWidth > 1) {
            if (i < end) DenseOp<K00, K01, K10, K11, typename L::Narrower>(k00, k01, k10, k11).apply(a0, a1, i, end);
        }
    }
    void apply_adjacent(Complex* a, std::uint64_t count) const noexcept {
        const Entry<L> e00 = prepare<L>(k00), e01 = prepare<L>(k01), e10 = prepare<L>(k10), e11 = prepare<L>(k11);
        using V = typename L::V;
        std::uint64_t i = for_adjacent_pairs<L>(a, count, [&](V x, V y) {
            return std::pair{L::add(scale<K00>(e00, x), scale<K01>(e01, y)),
                             L::add(scale<K10>(e10, x), scale<K11>(e11, y))};
        });
        for (; i < count; ++i) apply(a + 2 * i, a + 2 * i + 1, 0, 1);
    }
    void finish() const noexcept {}
};

// Diagonal: a0' = m00 a0, a1' = m11 a1; a side whose entry is one is not touched.
template <Kind K0, Kind K1, class L = BaseLanes>
struct DiagonalOp {
    Kept<L> k00, k11;
    bool stream_zeros = false;  // write a side that becomes zero with streaming stores
    DiagonalOp(Complex a, Complex d) noexcept : k00(a), k11(d) {}
    void apply(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        side<K0>(k00, a0, begin, end);
        side<K1>(k11, a1, begin, end);
    }
    void apply_adjacent(Complex* a, std::uint64_t count) const noexcept {
        const Entry<L> e00 = prepare<L>(k00), e11 = prepare<L>(k11);
        using V = typename L::V;
        std::uint64_t i =
            for_adjacent_pairs<L>(a, count, [&](V x, V y) { return std::pair{scale<K0>(e00, x), scale<K1>(e11, y)}; });
        for (; i < count; ++i) apply(a + 2 * i, a + 2 * i + 1, 0, 1);
    }
    // Streaming stores are ordered by a fence before the loop piece ends, so
    // the pool's completion latch publishes them like ordinary stores.
    void finish() const noexcept {
        if (stream_zeros && (K0 == Kind::Zero || K1 == Kind::Zero)) stream_fence();
    }

private:
    template <Kind K>
    void side(const Kept<L>& kept, Complex* a, std::uint64_t begin, std::uint64_t end) const noexcept {
        if constexpr (K == Kind::Zero) {
            if (stream_zeros) {
                // Nothing is read, and the line is not fetched before it is written.
                for (std::uint64_t i = begin; i < end; ++i) stream_zero(a + i);
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
                using S = typename N::Narrower;  // one complex per vector
                const Entry<S> single(kept);
                for (; i < end; ++i) S::store(a + i, scale<K>(single, S::load(a + i)));
            }
        }
    }
};

// Anti-diagonal: a0' = m01 a1, a1' = m10 a0 (a swap with factors).
template <Kind K0, Kind K1, class L = BaseLanes>
struct SwapOp {
    Kept<L> k01, k10;
    SwapOp(Complex b, Complex c) noexcept : k01(b), k10(c) {}
    void apply(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        const Entry<L> e01 = prepare<L>(k01), e10 = prepare<L>(k10);
        std::uint64_t i = begin;
        for (; i + L::kWidth <= end; i += L::kWidth) {
            const typename L::V x = L::load(a0 + i);
            const typename L::V y = L::load(a1 + i);
            L::store(a0 + i, scale<K0>(e01, y));
            L::store(a1 + i, scale<K1>(e10, x));
        }
        if constexpr (L::kWidth > 1) {
            if (i < end) SwapOp<K0, K1, typename L::Narrower>(k01, k10).apply(a0, a1, i, end);
        }
    }
    void apply_adjacent(Complex* a, std::uint64_t count) const noexcept {
        const Entry<L> e01 = prepare<L>(k01), e10 = prepare<L>(k10);
        using V = typename L::V;
        std::uint64_t i =
            for_adjacent_pairs<L>(a, count, [&](V x, V y) { return std::pair{scale<K0>(e01, y), scale<K1>(e10, x)}; });
        for (; i < count; ++i) apply(a + 2 * i, a + 2 * i + 1, 0, 1);
    }
    void finish() const noexcept {}
};

namespace detail {

// The kind a diagonal or anti-diagonal side is compiled for: an imaginary entry
// takes the general kernel, except in a swap whose two entries are imaginary
// (Y), which has a kernel of its own.
inline Kind widened(Kind k) noexcept { return k == Kind::Imaginary ? Kind::General : k; }

template <class L, Kind K0, class F>
void visit_diagonal(const Gate& g, Kind k1, F& f) {
    switch (widened(k1)) {
        case Kind::One: return f(DiagonalOp<K0, Kind::One, L>{g.m00, g.m11});
        case Kind::Zero: return f(DiagonalOp<K0, Kind::Zero, L>{g.m00, g.m11});
        case Kind::Real: return f(DiagonalOp<K0, Kind::Real, L>{g.m00, g.m11});
        default: return f(DiagonalOp<K0, Kind::General, L>{g.m00, g.m11});
    }
}

template <class L, Kind K0, class F>
void visit_swap(const Gate& g, Kind k1, F& f) {
    switch (widened(k1)) {
        case Kind::One: return f(SwapOp<K0, Kind::One, L>{g.m01, g.m10});
        case Kind::General: return f(SwapOp<K0, Kind::General, L>{g.m01, g.m10});
        default: return f(SwapOp<K0, Kind::Real, L>{g.m01, g.m10});
    }
}

// Whether a kernel compiled for kind `op` gives an entry of kind `entry` the
// products of the plain formula, less those by exact zeros: a general kernel
// any entry, a real one the real entries (one and zero among them).
constexpr bool covers(Kind op, Kind entry) noexcept {
    return op == Kind::General || op == entry || (op == Kind::Real && (entry == Kind::One || entry == Kind::Zero));
}

// Calls f with DenseOp<K00, K01, K10, K11> if its kinds cover the gate's; false if not.
template <class L, Kind K00, Kind K01, Kind K10, Kind K11, class F>
bool visit_dense_if_covered(const Gate& g, const Kind (&kinds)[4], F& f) {
    if (!covers(K00, kinds[0]) || !covers(K01, kinds[1]) || !covers(K10, kinds[2]) || !covers(K11, kinds[3])) {
        return false;
    }
    f(DenseOp<K00, K01, K10, K11, L>{g.m00, g.m01, g.m10, g.m11});
    return true;
}

}  // namespace detail

// Calls f(op) with the operation that the gate's entries allow: diagonal,
// anti-diagonal or dense, each specialised by the kind of its entries.
// The identity changes nothing: f is not called.
//
// A dense op is compiled for a few combinations of kinds only (each adds a
// kernel per lane width and row shape: 20 to 30 KiB of code and about a second
// of build), those of the gates users build most, cheapest first; a gate takes
// the first whose kinds cover its own. Per vector of pairs:
//   all real                                RY, H: 4 products, 2 sums
//   real diagonal, imaginary off-diagonal   RX: 4 products, 2 sums, 2 swaps
//   m00 real, the others general            U3 in its standard form (m00 =
//                                           cos(theta/2)), P(phi) H, H P(phi):
//                                           7 products, 5 sums, 2 swaps
//   all general                             the rest, such as U3 times a global
//                                           phase: 8 products, 6 sums, 2 swaps
// Mixes such as H S (an imaginary second column) run on the third. Shapes met
// less often (m11 the only real entry, an imaginary diagonal) run on the
// general kernel rather than add code for a rare gate.
template <class L = BaseLanes, class F>
void visit_op(const Gate& g, F&& f) {
    const Kind k00 = kind_of(g.m00);
    const Kind k01 = kind_of(g.m01);
    const Kind k10 = kind_of(g.m10);
    const Kind k11 = kind_of(g.m11);
    if (k01 == Kind::Zero && k10 == Kind::Zero) {
        switch (detail::widened(k00)) {
            case Kind::One:
                if (k11 == Kind::One) return;
                return detail::visit_diagonal<L, Kind::One>(g, k11, f);
            case Kind::Zero: return detail::visit_diagonal<L, Kind::Zero>(g, k11, f);
            case Kind::Real: return detail::visit_diagonal<L, Kind::Real>(g, k11, f);
            default: return detail::visit_diagonal<L, Kind::General>(g, k11, f);
        }
    }
    if (k00 == Kind::Zero && k11 == Kind::Zero) {
        // At least one off-diagonal entry is non-zero here (both zero is the
        // diagonal case above); a zero one is multiplied as a real entry.
        // Y and iX (both entries imaginary) have a kernel of their own.
        if (k01 == Kind::Imaginary && k10 == Kind::Imaginary) {
            return f(SwapOp<Kind::Imaginary, Kind::Imaginary, L>{g.m01, g.m10});
        }
        switch (detail::widened(k01)) {
            case Kind::One: return detail::visit_swap<L, Kind::One>(g, k10, f);
            case Kind::General: return detail::visit_swap<L, Kind::General>(g, k10, f);
            default: return detail::visit_swap<L, Kind::Real>(g, k10, f);
        }
    }
    constexpr Kind R = Kind::Real, I = Kind::Imaginary, G = Kind::General;
    const Kind kinds[4] = {k00, k01, k10, k11};
    if (detail::visit_dense_if_covered<L, R, R, R, R>(g, kinds, f)) return;
    if (detail::visit_dense_if_covered<L, R, I, I, R>(g, kinds, f)) return;
    if (detail::visit_dense_if_covered<L, R, G, G, G>(g, kinds, f)) return;
    f(DenseOp<G, G, G, G, L>{g.m00, g.m01, g.m10, g.m11});
}

}  // namespace velqor::kernels
