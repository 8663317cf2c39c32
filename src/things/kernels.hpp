// Pair enumeration and the gate kernels of gate application.
//
// For a target t and a set of control qubits, the pairs whose control bits are
// all set are enumerated directly: the pair number k gets a 0 bit inserted at
// the target and at every control position (in ascending order), and the
// control bits are then set. Consecutive pair numbers give rows of 2^p
// consecutive indices, p the lowest inserted position, one row after every
// gap of the same size. Rows of 8 pairs or more are handed to the kernels one
// by one as contiguous runs; shorter rows are handed over as a whole run of
// rows, the row length a compile-time constant of the kernel's loop.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "things/complex.hpp"
#include "things/gate.hpp"

namespace velqor::kernels {

// Rows shorter than 2^kShortRowBits pairs are too short to be handed over one by one.
constexpr unsigned kShortRowBits = 3;

// Offset of the j-th pair of a run from the run's first index, for rows of R
// pairs (R = 0: one contiguous row): j + (the bits of j at and above R, counted
// twice) skips the gap after every row.
template <std::uint64_t R>
constexpr std::uint64_t pair_offset(std::uint64_t j) noexcept {
    if constexpr (R == 0) {
        return j;
    } else {
        return j + (j & ~(R - 1));
    }
}

struct PairPlan {
    std::uint64_t pairs = 0;       // number of pairs to visit
    std::uint64_t target_bit = 0;  // 2^t: i1 = i0 + target_bit
    std::uint64_t control_mask = 0;
    std::uint64_t run = 1;  // pair numbers per run (a power of two)
    std::uint64_t row = 0;  // pairs per row inside a run: 1, 2 or 4; 0 when the run is one contiguous row
    unsigned positions_count = 0;
    unsigned positions[64] = {};  // inserted bit positions, ascending

    // i0 of pair k: a 0 bit inserted at every position, then the control bits set.
    std::uint64_t first_index(std::uint64_t k) const noexcept {
        for (unsigned i = 0; i < positions_count; ++i) {
            const unsigned p = positions[i];
            const std::uint64_t low = k & ((std::uint64_t{1} << p) - 1);
            k = ((k >> p) << (p + 1)) | low;
        }
        return k | control_mask;
    }
};

// Builds the plan for target t of an n-qubit register. Returns false when some
// control can never be satisfied (equal to the target, or not below n): the
// application is then a no-op. Duplicate controls count once.
inline bool make_plan(unsigned n, std::uint64_t t, const std::uint64_t* controls, std::size_t control_count,
                      PairPlan& plan) {
    plan.positions[0] = static_cast<unsigned>(t);
    plan.positions_count = 1;
    plan.control_mask = 0;
    for (std::size_t i = 0; i < control_count; ++i) {
        const std::uint64_t c = controls[i];
        if (c == t || c >= n) return false;
        const std::uint64_t bit = std::uint64_t{1} << c;
        if (plan.control_mask & bit) continue;
        plan.control_mask |= bit;
        plan.positions[plan.positions_count++] = static_cast<unsigned>(c);
    }
    std::sort(plan.positions, plan.positions + plan.positions_count);
    plan.target_bit = std::uint64_t{1} << t;
    plan.pairs = std::uint64_t{1} << (n - plan.positions_count);
    if (plan.positions[0] >= kShortRowBits) {
        plan.row = 0;
        plan.run = std::uint64_t{1} << plan.positions[0];
    } else {
        // Pair numbers up to the next inserted position give regularly spaced rows.
        plan.row = std::uint64_t{1} << plan.positions[0];
        plan.run = plan.positions_count > 1 ? std::uint64_t{1} << (plan.positions[1] - 1) : plan.pairs;
    }
    plan.run = std::min(plan.run, plan.pairs);
    return true;
}

// When the two halves of a pair lie very far apart, streaming through both at
// once alternates between two distant memory regions on every access; on the
// development machine a pass then takes four to six times as long once the
// halves are 256 MiB apart. Such runs are processed tile by tile instead: a
// tile of each half is copied into a small buffer, one half after the other,
// the gate runs on the buffers, and both tiles are written back in one piece.
constexpr std::uint64_t kFarApart = std::uint64_t{1} << 24;  // amplitudes between the halves
constexpr std::uint64_t kTile = 512;                          // pairs per tile: 8 KiB of each half

template <class Op>
void run_tiled(const Op op, Complex* a0, Complex* a1, std::uint64_t len, std::uint64_t distance) {
    if (distance < kFarApart) {
        op.template run<0>(a0, a1, 0, len);
        return;
    }
    alignas(64) Complex t0[kTile];
    alignas(64) Complex t1[kTile];
    for (std::uint64_t j = 0; j < len; j += kTile) {
        const std::uint64_t n = std::min(kTile, len - j);
        std::memcpy(t0, a0 + j, n * sizeof(Complex));
        std::memcpy(t1, a1 + j, n * sizeof(Complex));
        op.template run<0>(t0, t1, 0, n);
        std::memcpy(a0 + j, t0, n * sizeof(Complex));
        std::memcpy(a1 + j, t1, n * sizeof(Complex));
    }
}

// Calls op.template run<R>(a0, a1, begin, end) for every run of the pairs
// [lo, hi): a0[pair_offset<R>(j)] and a1[pair_offset<R>(j)], begin <= j < end,
// are the two amplitudes of consecutive pairs. The op is taken by value: a local
// copy that no amplitude store can alias, so its entries stay in registers.
template <class Op>
void for_each_run(const PairPlan& plan, Complex* amplitudes, std::uint64_t lo, std::uint64_t hi, const Op op) {
    std::uint64_t k = lo;
    while (k < hi) {
        const std::uint64_t offset = k & (plan.run - 1);
        const std::uint64_t len = std::min(plan.run - offset, hi - k);
        Complex* a0 = amplitudes + plan.first_index(k - offset);
        Complex* a1 = a0 + plan.target_bit;
        switch (plan.row) {
            case 0: run_tiled(op, a0 + offset, a1 + offset, len, plan.target_bit); break;
            case 1: op.template run<1>(a0, a1, offset, offset + len); break;
            case 2: op.template run<2>(a0, a1, offset, offset + len); break;
            default: op.template run<4>(a0, a1, offset, offset + len); break;
        }
        k += len;
    }
}

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

// One complex number per SSE2 register, real part in the low lane. Every
// operation below is the scalar formula lane by lane, each product and sum
// rounded once, so results are bit-identical to the Complex operations
// (x - y is x + (-y) in IEEE arithmetic).
using Lane = __m128d;

inline Lane load(const Complex* p) noexcept { return _mm_loadu_pd(&p->real); }
inline void store(Complex* p, Lane v) noexcept { _mm_storeu_pd(&p->real, v); }

// A gate entry prepared for products with amplitudes.
struct Entry {
    Lane re;  // (m.real, m.real)
    Lane im;  // (m.imag, m.imag)
    explicit Entry(Complex m) noexcept : re(_mm_set1_pd(m.real)), im(_mm_set1_pd(m.imag)) {}
};

template <Kind K>
inline Lane scale(const Entry& m, Lane x) noexcept {
    if constexpr (K == Kind::One) {
        return x;
    } else if constexpr (K == Kind::Zero) {
        return _mm_setzero_pd();
    } else if constexpr (K == Kind::Real) {
        return _mm_mul_pd(m.re, x);
    } else {
        // (m.re x.re - m.im x.im, m.re x.im + m.im x.re)
        const Lane swapped = _mm_shuffle_pd(x, x, 1);
        const Lane cross = _mm_xor_pd(_mm_mul_pd(m.im, swapped), _mm_set_pd(0.0, -0.0));
        return _mm_add_pd(_mm_mul_pd(m.re, x), cross);
    }
}

// Full 2x2 application: a0' = m00 a0 + m01 a1, a1' = m10 a0 + m11 a1, with every
// entry real (Kind::Real) or every entry general.
template <Kind K>
struct DenseOp {
    Entry e00, e01, e10, e11;
    DenseOp(Complex m00, Complex m01, Complex m10, Complex m11) noexcept : e00(m00), e01(m01), e10(m10), e11(m11) {}
    template <std::uint64_t R>
    void run(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        for (std::uint64_t j = begin; j < end; ++j) {
            const std::uint64_t i = pair_offset<R>(j);
            const Lane x = load(a0 + i);
            const Lane y = load(a1 + i);
            store(a0 + i, _mm_add_pd(scale<K>(e00, x), scale<K>(e01, y)));
            store(a1 + i, _mm_add_pd(scale<K>(e10, x), scale<K>(e11, y)));
        }
    }
};

// Diagonal: a0' = m00 a0, a1' = m11 a1; a side whose entry is one is not touched.
template <Kind K0, Kind K1>
struct DiagonalOp {
    Entry e00, e11;
    DiagonalOp(Complex m00, Complex m11) noexcept : e00(m00), e11(m11) {}
    template <std::uint64_t R>
    void run(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        if constexpr (K0 != Kind::One) {
            for (std::uint64_t j = begin; j < end; ++j) {
                const std::uint64_t i = pair_offset<R>(j);
                store(a0 + i, scale<K0>(e00, load(a0 + i)));
            }
        }
        if constexpr (K1 != Kind::One) {
            for (std::uint64_t j = begin; j < end; ++j) {
                const std::uint64_t i = pair_offset<R>(j);
                store(a1 + i, scale<K1>(e11, load(a1 + i)));
            }
        }
    }
};

// Anti-diagonal: a0' = m01 a1, a1' = m10 a0 (a swap with factors).
template <Kind K0, Kind K1>
struct SwapOp {
    Entry e01, e10;
    SwapOp(Complex m01, Complex m10) noexcept : e01(m01), e10(m10) {}
    template <std::uint64_t R>
    void run(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        for (std::uint64_t j = begin; j < end; ++j) {
            const std::uint64_t i = pair_offset<R>(j);
            const Lane x = load(a0 + i);
            const Lane y = load(a1 + i);
            store(a0 + i, scale<K0>(e01, y));
            store(a1 + i, scale<K1>(e10, x));
        }
    }
};

}  // namespace velqor::kernels
