// Pair planning and row traversal of gate application.
//
// For a target t and a set of control qubits, the pairs whose control bits are
// all set are enumerated directly: the pair number k gets a 0 bit inserted at
// the target and at every control position (in ascending order), and the
// control bits are then set. Consecutive pair numbers give rows of 2^p
// consecutive indices, p the lowest inserted position, spaced 2^(p+m) apart,
// m the number of inserted positions that follow p without a gap, up to the
// next inserted position. The kernels see one row at a time; rows of up to 32
// pairs have their length as a compile-time constant.
//
// The per-pair operations that run over these rows are in core/kernels/pair_ops.hpp.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "core/complex.hpp"

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

// Builds the plan for target t < n under the controls of `control_mask` (each
// below n, none equal to t): a 0 bit is inserted at every one of these
// positions, in ascending order. The positions of `fixed_mask` (disjoint from
// both) get a 0 bit too: the plan then covers the part of the state where
// those qubits are 0, and the same plan from a base index with some of them
// set covers the other parts.
inline void make_plan_from_mask(unsigned n, unsigned t, std::uint64_t control_mask, PairPlan& plan,
                                std::uint64_t fixed_mask = 0) noexcept {
    plan.control_mask = control_mask;
    plan.positions_count = 0;
    std::uint64_t inserted = control_mask | fixed_mask | (std::uint64_t{1} << t);
    while (inserted != 0) {
        plan.positions[plan.positions_count++] = static_cast<unsigned>(std::countr_zero(inserted));
        inserted &= inserted - 1;
    }
    plan.target_bit = std::uint64_t{1} << t;
    plan.pairs = std::uint64_t{1} << (n - plan.positions_count);
    unsigned m = 1;
    while (m < plan.positions_count && plan.positions[m] == plan.positions[0] + m) ++m;
    plan.gap = m;
    plan.run = m < plan.positions_count ? std::uint64_t{1} << (plan.positions[m] - m) : plan.pairs;
    plan.run = std::min(plan.run, plan.pairs);
    plan.row = std::min(std::uint64_t{1} << plan.positions[0], plan.run);
}

// The control qubits of a list as a mask, duplicates counted once. Returns
// false when some control can never be satisfied (equal to the target t, or
// not below n): the application is then a no-op.
inline bool control_mask_of(unsigned n, std::uint64_t t, const std::uint64_t* controls, std::size_t control_count,
                            std::uint64_t& mask) noexcept {
    mask = 0;
    for (std::size_t i = 0; i < control_count; ++i) {
        const std::uint64_t c = controls[i];
        if (c == t || c >= n) return false;
        mask |= std::uint64_t{1} << c;
    }
    return true;
}

// Builds the plan for target t < n of an n-qubit register. Returns false when
// some control can never be satisfied (see control_mask_of).
inline bool make_plan(unsigned n, std::uint64_t t, const std::uint64_t* controls, std::size_t control_count,
                      PairPlan& plan) {
    std::uint64_t mask = 0;
    if (!control_mask_of(n, t, controls, control_count, mask)) return false;
    make_plan_from_mask(n, static_cast<unsigned>(t), mask, plan);
    return true;
}

// When the two halves of a pair lie very far apart, streaming through both at
// once alternates between two distant memory regions on every access; on the
// development machine a pass then takes four to six times as long once the
// halves are 256 MiB apart. Such runs are processed tile by tile instead: a
// tile of each half is copied into a small buffer, one half after the other,
// the gate runs on the buffers, and both tiles are written back in one piece.
constexpr std::uint64_t kFarApart = std::uint64_t{1} << 24;  // amplitudes between the halves
constexpr std::uint64_t kTile = 512;                         // pairs per tile: 8 KiB of each half

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
constexpr std::uint64_t kLinePairs = 4;                                // amplitudes per 64-byte line

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

// Far is false where the halves are known to lie close (a block of the state
// in cache): the tiles, 16 KiB of stack, are then compiled out.
template <bool Far, class Op>
void run_tiled(const Op op, Complex* a0, Complex* a1, std::uint64_t len, std::uint64_t distance) {
    if (!Far || distance < kFarApart) {
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
template <std::uint64_t R, bool Far, class Op>
void run_row(const Op& op, Complex* a0, Complex* a1, std::uint64_t row, std::uint64_t stride, std::uint64_t distance,
             bool prefetch) {
    if (prefetch) {
        run_row_prefetching(op, a0, a1, row, stride);
    } else if constexpr (R != 0) {
        op.run(a0, a1, 0, R);  // constant trip count
    } else {
        run_tiled<Far>(op, a0, a1, row, distance);
    }
}

// Pairs [begin, end) of a run whose first row starts at a0 / a1: rows of
// `row` pairs, `stride` indices apart. R is the row length when it is a
// compile-time constant (short rows: the kernel's loop is then unrolled), or 0.
template <std::uint64_t R, bool Far, class Op>
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
            run_row<R, Far>(op, a0, a1, row, stride, distance, prefetch);
            j += row;
        } else {
            const std::uint64_t stop = std::min(row, in + (end - j));
            run_tiled<Far>(op, a0 + in, a1 + in, stop - in, distance);
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
// alias, so its entries stay in registers. Far: see run_tiled.
template <bool Far = true, class Op>
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
            case 1:
                if (plan.target_bit == 1 && stride == 2) {
                    op.run_adjacent(a0 + 2 * b, e - b);  // target 0 with no control at qubit 1: pairs adjacent
                } else {
                    run_rows<1, Far>(op, a0, a1, 1, stride, b, e, d, false);
                }
                break;
            case 2: run_rows<2, Far>(op, a0, a1, 2, stride, b, e, d, false); break;
            case 4: run_rows<4, Far>(op, a0, a1, 4, stride, b, e, d, false); break;
            case 8: run_rows<8, Far>(op, a0, a1, 8, stride, b, e, d, false); break;
            case 16: run_rows<16, Far>(op, a0, a1, 16, stride, b, e, d, false); break;
            case 32: run_rows<32, Far>(op, a0, a1, 32, stride, b, e, d, prefetch); break;
            default: run_rows<0, Far>(op, a0, a1, plan.row, stride, b, e, d, prefetch); break;
        }
        k += len;
    }
}

}  // namespace velqor::kernels
