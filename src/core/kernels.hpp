// Pair enumeration and the gate kernels of gate application.
//
// For a target t and a set of control qubits, the pairs whose control bits are
// all set are enumerated directly: the pair number k gets a 0 bit inserted at
// the target and at every control position (in ascending order), and the
// control bits are then set. Consecutive pair numbers give rows of 2^p
// consecutive indices, p the lowest inserted position, spaced 2^(p+m) apart,
// m the number of inserted positions that follow p without a gap, up to the
// next inserted position. The kernels see one row at a time; rows of up to 32
// pairs have their length as a compile-time constant.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "core/complex.hpp"
#include "core/gate.hpp"

namespace velqor::kernels {

struct PairPlan {
    std::uint64_t pairs = 0;       // number of pairs to visit
    std::uint64_t target_bit = 0;  // 2^t: i1 = i0 + target_bit
    std::uint64_t control_mask = 0;
    std::uint64_t run = 1;  // pair numbers per run of regularly spaced rows (a power of two)
    std::uint64_t row = 1;  // pairs per row (a power of two, at most run)
    unsigned gap = 1;       // rows are row * 2^gap indices apart
    unsigned positions_count = 0;
    unsigned positions[64] = {};  // inserted bit positions, ascending

    // Size of the whole state: every inserted position doubles the pair count.
    std::uint64_t amplitudes() const noexcept { return pairs << positions_count; }

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
    unsigned m = 1;
    while (m < plan.positions_count && plan.positions[m] == plan.positions[0] + m) ++m;
    plan.gap = m;
    plan.run = m < plan.positions_count ? std::uint64_t{1} << (plan.positions[m] - m) : plan.pairs;
    plan.run = std::min(plan.run, plan.pairs);
    plan.row = std::min(std::uint64_t{1} << plan.positions[0], plan.run);
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

// A state of 2^22 amplitudes and more (64 MiB, twice the development machine's
// last-level cache) is not in cache between gates: a side of a diagonal gate
// that becomes zero is then written with streaming stores, which do not fetch
// each line before overwriting it (the collapse after a measurement). Only
// rows of 1024 pairs (16 KiB) and more gain: shorter ones interleave the
// streaming stores with the other side's traffic too finely, and lose.
constexpr std::uint64_t kStreamAmplitudes = std::uint64_t{1} << 22;
constexpr std::uint64_t kStreamRow = 1024;
inline bool streams_zeros(const PairPlan& plan) noexcept {
    return plan.amplitudes() >= kStreamAmplitudes && plan.row >= kStreamRow && plan.target_bit < kFarApart;
}

// Rows of 32 to 1024 pairs break both halves' streams every 0.5 to 16 KiB, and
// the hardware prefetchers of the development machine lose track of them (a
// pass over a state of 16 MiB and more then takes up to 1.5 times as long as
// with long rows). While a row is processed, line by line, the same line of the
// next row is requested. States of up to a few MiB stay in cache, where the
// extra instructions cost more than they save.
constexpr std::uint64_t kPrefetchRowMin = 32;
constexpr std::uint64_t kPrefetchRowMax = 1024;
constexpr std::uint64_t kPrefetchAmplitudes = std::uint64_t{1} << 20;  // a state of 16 MiB
constexpr std::uint64_t kLinePairs = 4;                                 // amplitudes per 64-byte line

inline bool prefetches_rows(const PairPlan& plan) noexcept {
    return plan.amplitudes() >= kPrefetchAmplitudes && plan.row >= kPrefetchRowMin && plan.row <= kPrefetchRowMax &&
           plan.target_bit < kFarApart;
}

template <class Op>
void run_row_prefetching(const Op& op, Complex* a0, Complex* a1, std::uint64_t row, std::uint64_t stride) {
    for (std::uint64_t j = 0; j < row; j += kLinePairs) {
        _mm_prefetch(reinterpret_cast<const char*>(a0 + stride + j), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(a1 + stride + j), _MM_HINT_T0);
        op.run(a0 + j, a1 + j, 0, kLinePairs);
    }
}

template <class Op>
void run_tiled(const Op op, Complex* a0, Complex* a1, std::uint64_t len, std::uint64_t distance) {
    if (distance < kFarApart) {
        op.run(a0, a1, 0, len);
        return;
    }
    alignas(64) Complex t0[kTile];
    alignas(64) Complex t1[kTile];
    for (std::uint64_t j = 0; j < len; j += kTile) {
        const std::uint64_t n = std::min(kTile, len - j);
        std::memcpy(t0, a0 + j, n * sizeof(Complex));
        std::memcpy(t1, a1 + j, n * sizeof(Complex));
        op.run(t0, t1, 0, n);
        std::memcpy(a0 + j, t0, n * sizeof(Complex));
        std::memcpy(a1 + j, t1, n * sizeof(Complex));
    }
}

// A whole row of `row` pairs, `stride` indices before the next one.
template <std::uint64_t R, class Op>
void run_row(const Op& op, Complex* a0, Complex* a1, std::uint64_t row, std::uint64_t stride, std::uint64_t distance,
             bool prefetch) {
    if (prefetch) {
        run_row_prefetching(op, a0, a1, row, stride);
    } else if constexpr (R != 0) {
        op.run(a0, a1, 0, R);  // constant trip count
    } else {
        run_tiled(op, a0, a1, row, distance);
    }
}

// Pairs [begin, end) of a run whose first row starts at a0 / a1: rows of
// `row` pairs, `stride` indices apart. R is the row length when it is a
// compile-time constant (short rows: the kernel's loop is then unrolled), or 0.
template <std::uint64_t R, class Op>
void run_rows(const Op op, Complex* a0, Complex* a1, std::uint64_t row, std::uint64_t stride, std::uint64_t begin,
              std::uint64_t end, std::uint64_t distance, bool prefetch) {
    if constexpr (R != 0) row = R;
    const std::uint64_t first = begin / row;
    a0 += first * stride;
    a1 += first * stride;
    std::uint64_t j = begin;
    std::uint64_t in = begin - first * row;  // position inside the current row
    while (j < end) {
        if (in == 0 && end - j >= row) {
            run_row<R>(op, a0, a1, row, stride, distance, prefetch);
            j += row;
        } else {
            const std::uint64_t stop = std::min(row, in + (end - j));
            run_tiled(op, a0 + in, a1 + in, stop - in, distance);
            j += stop - in;
            in = 0;
        }
        a0 += stride;
        a1 += stride;
    }
}

// Runs op.run(a0, a1, begin, end) over every row piece of the pairs [lo, hi):
// a0[i] and a1[i], begin <= i < end, are the two amplitudes of consecutive
// pairs. The op is taken by value: a local copy that no amplitude store can
// alias, so its entries stay in registers.
template <class Op>
void for_each_run(const PairPlan& plan, Complex* amplitudes, std::uint64_t lo, std::uint64_t hi, const Op op) {
    const std::uint64_t stride = plan.row << plan.gap;
    const bool prefetch = prefetches_rows(plan);
    std::uint64_t k = lo;
    while (k < hi) {
        const std::uint64_t offset = k & (plan.run - 1);
        const std::uint64_t len = std::min(plan.run - offset, hi - k);
        Complex* a0 = amplitudes + plan.first_index(k - offset);
        Complex* a1 = a0 + plan.target_bit;
        const std::uint64_t b = offset, e = offset + len, d = plan.target_bit;
        switch (plan.row) {
            case 1: run_rows<1>(op, a0, a1, 1, stride, b, e, d, false); break;
            case 2: run_rows<2>(op, a0, a1, 2, stride, b, e, d, false); break;
            case 4: run_rows<4>(op, a0, a1, 4, stride, b, e, d, false); break;
            case 8: run_rows<8>(op, a0, a1, 8, stride, b, e, d, false); break;
            case 16: run_rows<16>(op, a0, a1, 16, stride, b, e, d, false); break;
            case 32: run_rows<32>(op, a0, a1, 32, stride, b, e, d, prefetch); break;
            default: run_rows<0>(op, a0, a1, plan.row, stride, b, e, d, prefetch); break;
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
    void run(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        for (std::uint64_t i = begin; i < end; ++i) {
            const Lane x = load(a0 + i);
            const Lane y = load(a1 + i);
            store(a0 + i, _mm_add_pd(scale<K>(e00, x), scale<K>(e01, y)));
            store(a1 + i, _mm_add_pd(scale<K>(e10, x), scale<K>(e11, y)));
        }
    }
    void finish() const noexcept {}
};

// Diagonal: a0' = m00 a0, a1' = m11 a1; a side whose entry is one is not touched.
template <Kind K0, Kind K1>
struct DiagonalOp {
    Entry e00, e11;
    bool stream_zeros = false;  // write a side that becomes zero with streaming stores
    DiagonalOp(Complex m00, Complex m11) noexcept : e00(m00), e11(m11) {}
    void run(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        side<K0>(e00, a0, begin, end);
        side<K1>(e11, a1, begin, end);
    }
    // Streaming stores are ordered by a fence before the loop piece ends, so
    // the pool's completion latch publishes them like ordinary stores.
    void finish() const noexcept {
        if (stream_zeros && (K0 == Kind::Zero || K1 == Kind::Zero)) _mm_sfence();
    }

private:
    template <Kind K>
    void side(const Entry& m, Complex* a, std::uint64_t begin, std::uint64_t end) const noexcept {
        if constexpr (K == Kind::Zero) {
            if (stream_zeros) {
                // Nothing is read, and the line is not fetched before it is written.
                for (std::uint64_t i = begin; i < end; ++i) _mm_stream_pd(&a[i].real, _mm_setzero_pd());
                return;
            }
        }
        if constexpr (K != Kind::One) {
            for (std::uint64_t i = begin; i < end; ++i) store(a + i, scale<K>(m, load(a + i)));
        }
    }
};

// Anti-diagonal: a0' = m01 a1, a1' = m10 a0 (a swap with factors).
template <Kind K0, Kind K1>
struct SwapOp {
    Entry e01, e10;
    SwapOp(Complex m01, Complex m10) noexcept : e01(m01), e10(m10) {}
    void run(Complex* a0, Complex* a1, std::uint64_t begin, std::uint64_t end) const noexcept {
        for (std::uint64_t i = begin; i < end; ++i) {
            const Lane x = load(a0 + i);
            const Lane y = load(a1 + i);
            store(a0 + i, scale<K0>(e01, y));
            store(a1 + i, scale<K1>(e10, x));
        }
    }
    void finish() const noexcept {}
};

}  // namespace velqor::kernels
