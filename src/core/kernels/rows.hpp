// Row traversal: runs a per-pair operation over the rows of a pair plan, with
// the memory-access tactics that depend on how the rows lie (tiles for halves
// far apart, prefetching for medium rows, streaming stores for zeroed sides).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/complex.hpp"
#include "core/kernels/cache_hints.hpp"
#include "core/kernels/pair_plan.hpp"

namespace velqor::kernels {

// When the two halves of a pair lie very far apart, streaming through both at
// once alternates between two distant memory regions on every access, which
// slows a pass several times over (bench/RESULTS.md). Such rows are processed
// tile by tile instead: a tile of each half is copied into a small buffer, one
// half after the other, the gate runs on the buffers, and both tiles are
// written back in one go.
constexpr std::uint64_t kFarApart = std::uint64_t{1} << 24;  // amplitudes between the halves
constexpr std::uint64_t kTile = 512;                         // pairs per tile: 8 KiB of each half

// A state of 2^22 amplitudes and more (64 MiB, beyond a last-level cache) is
// not in cache between gates: a side of a diagonal gate
// that becomes zero is then written with streaming stores, which do not fetch
// each line before overwriting it (the collapse after a measurement). Only
// rows of 1024 pairs (16 KiB) and more gain: shorter ones interleave the
// streaming stores with the other side's traffic too finely, and lose.
constexpr std::uint64_t kStreamAmplitudes = std::uint64_t{1} << 22;
constexpr std::uint64_t kStreamRow = 1024;
inline bool streams_zeros(const PairPlan& plan) noexcept {
    return kStreamingStores && plan.amplitudes() >= kStreamAmplitudes && plan.row >= kStreamRow &&
           plan.target_bit < kFarApart;
}

// Rows of 32 to 1024 pairs break both halves' streams every 0.5 to 16 KiB, and
// hardware prefetchers lose track of them on states of 16 MiB and more
// (bench/RESULTS.md). While a row is processed, line by line, the same line of the
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
void apply_row_prefetching(const Op& op, Complex* a0, Complex* a1, std::uint64_t row, std::uint64_t stride) {
    for (std::uint64_t j = 0; j < row; j += kLinePairs) {
        prefetch_line(a0 + stride + j);
        prefetch_line(a1 + stride + j);
        op.apply(a0 + j, a1 + j, 0, kLinePairs);
    }
}

// Far is false where the halves are known to lie close (a block of the state
// in cache): the tiles, 16 KiB of stack, are then compiled out, and so is the
// prefetching of rows.
template <bool Far, class Op>
void apply_tiled(const Op op, Complex* a0, Complex* a1, std::uint64_t len, std::uint64_t distance) {
    if (!Far || distance < kFarApart) {
        op.apply(a0, a1, 0, len);
        return;
    }
    alignas(64) Complex t0[kTile];
    alignas(64) Complex t1[kTile];
    for (std::uint64_t j = 0; j < len; j += kTile) {
        const std::uint64_t n = std::min(kTile, len - j);
        std::memcpy(t0, a0 + j, n * sizeof(Complex));
        std::memcpy(t1, a1 + j, n * sizeof(Complex));
        op.apply(t0, t1, 0, n);
        std::memcpy(a0 + j, t0, n * sizeof(Complex));
        std::memcpy(a1 + j, t1, n * sizeof(Complex));
    }
}

// A whole row of `row` pairs, `stride` indices before the next one.
template <std::uint64_t R, bool Far, class Op>
void apply_row(const Op& op, Complex* a0, Complex* a1, std::uint64_t row, std::uint64_t stride, std::uint64_t distance,
               bool prefetch) {
    if (prefetch) {
        apply_row_prefetching(op, a0, a1, row, stride);
    } else if constexpr (R != 0) {
        op.apply(a0, a1, 0, R);  // constant trip count
    } else {
        apply_tiled<Far>(op, a0, a1, row, distance);
    }
}

// Pairs [begin, end) of a band whose first row starts at a0 / a1: rows of
// `row` pairs, `stride` indices apart. R is the row length when it is a
// compile-time constant (short rows: the kernel's loop is then unrolled), or 0.
template <std::uint64_t R, bool Far, class Op>
void apply_band(const Op op, Complex* a0, Complex* a1, std::uint64_t row, std::uint64_t stride, std::uint64_t begin,
                std::uint64_t end, std::uint64_t distance, bool prefetch) {
    if constexpr (R != 0) row = R;
    const std::uint64_t first = begin / row;
    a0 += first * stride;
    a1 += first * stride;
    std::uint64_t j = begin;
    std::uint64_t in = begin - first * row;  // position inside the current row
    while (j < end) {
        if (in == 0 && end - j >= row) {
            apply_row<R, Far>(op, a0, a1, row, stride, distance, prefetch);
            j += row;
        } else {
            const std::uint64_t stop = std::min(row, in + (end - j));
            apply_tiled<Far>(op, a0 + in, a1 + in, stop - in, distance);
            j += stop - in;
            in = 0;
        }
        a0 += stride;
        a1 += stride;
    }
}

// Whether the plan's pairs are adjacent amplitudes (a gate on qubit 0 with no
// control at qubit 1), which op.apply_adjacent takes whole vectors of.
inline bool pairs_adjacent(const PairPlan& plan) noexcept {
    return plan.row == 1 && plan.target_bit == 1 && plan.gap == 1;
}

// Runs op.apply(a0, a1, begin, end) over every row segment of the pairs [lo, hi):
// a0[i] and a1[i], begin <= i < end, are the two amplitudes of consecutive
// pairs. The op is taken by value: a local copy that no amplitude store can
// alias, so its entries stay in registers. Far: see apply_tiled.
template <bool Far = true, class Op>
void apply_rows(const PairPlan& plan, Complex* amplitudes, std::uint64_t lo, std::uint64_t hi, const Op op) {
    const std::uint64_t stride = plan.row << plan.gap;
    const bool prefetch = Far && prefetches_rows(plan);
    std::uint64_t k = lo;
    while (k < hi) {
        const std::uint64_t offset = k & (plan.band - 1);
        const std::uint64_t len = std::min(plan.band - offset, hi - k);
        Complex* a0 = amplitudes + plan.first_index(k - offset);
        Complex* a1 = a0 + plan.target_bit;
        const std::uint64_t b = offset, e = offset + len, d = plan.target_bit;
        switch (plan.row) {
            case 1:
                if (pairs_adjacent(plan)) {
                    op.apply_adjacent(a0 + 2 * b, e - b);  // target 0 with no control at qubit 1: pairs adjacent
                } else {
                    apply_band<1, Far>(op, a0, a1, 1, stride, b, e, d, false);
                }
                break;
            case 2: apply_band<2, Far>(op, a0, a1, 2, stride, b, e, d, false); break;
            case 4: apply_band<4, Far>(op, a0, a1, 4, stride, b, e, d, false); break;
            case 8: apply_band<8, Far>(op, a0, a1, 8, stride, b, e, d, false); break;
            case 16: apply_band<16, Far>(op, a0, a1, 16, stride, b, e, d, false); break;
            case 32: apply_band<32, Far>(op, a0, a1, 32, stride, b, e, d, prefetch); break;
            default: apply_band<0, Far>(op, a0, a1, plan.row, stride, b, e, d, prefetch); break;
        }
        k += len;
    }
}

}  // namespace velqor::kernels
