// Pair plans: which pairs of amplitudes one gate application visits, and how
// they lie in memory.
//
// For a target t and a set of control qubits, the pairs whose control bits are
// all set are enumerated directly: the pair number k gets a 0 bit inserted at
// the target and at every control position (in ascending order), and the
// control bits are then set. Consecutive pair numbers give rows of 2^p
// consecutive indices, p the lowest inserted position, spaced 2^(p+m) apart,
// m the number of inserted positions that follow p without a gap, up to the
// next inserted position: a band of 2^(q-m) pair numbers, q that next
// position, whose rows are regularly spaced.
//
// The traversal of a plan's rows is core/kernels/rows.hpp; the per-pair
// operations that run over them are core/kernels/pair_ops.hpp.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/kernels/bits.hpp"

namespace velqor::kernels {

struct PairPlan {
    std::uint64_t pairs = 0;       // number of pairs to visit
    std::uint64_t target_bit = 0;  // 2^t: i1 = i0 + target_bit
    std::uint64_t control_mask = 0;
    std::uint64_t inserted_mask = 0;  // the positions that get a 0 bit: target, controls, fixed qubits
    std::uint64_t band = 1;           // pair numbers per band of regularly spaced rows (a power of two)
    std::uint64_t row = 1;            // pairs per row (a power of two, at most band)
    unsigned gap = 1;                 // rows are row * 2^gap indices apart
    unsigned positions_count = 0;     // popcount(inserted_mask)

    // Size of the whole state: every inserted position doubles the pair count.
    std::uint64_t amplitudes() const noexcept { return pairs << positions_count; }

    // i0 of pair k: a 0 bit inserted at every position, then the control bits set.
    std::uint64_t first_index(std::uint64_t k) const noexcept { return deposit_bits(k, ~inserted_mask) | control_mask; }
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
    plan.inserted_mask = control_mask | fixed_mask | (std::uint64_t{1} << t);
    plan.positions_count = static_cast<unsigned>(std::popcount(plan.inserted_mask));
    plan.target_bit = std::uint64_t{1} << t;
    plan.pairs = std::uint64_t{1} << (n - plan.positions_count);
    // The lowest position, the m positions that follow it without a gap, and
    // the next one after them (if any) bound the band.
    const unsigned lowest = static_cast<unsigned>(std::countr_zero(plan.inserted_mask));
    const unsigned m = static_cast<unsigned>(std::countr_one(plan.inserted_mask >> lowest));
    plan.gap = m;
    plan.band = m < plan.positions_count
                    ? std::uint64_t{1} << (std::countr_zero(plan.inserted_mask >> (lowest + m)) + lowest)
                    : plan.pairs;
    plan.band = std::min(plan.band, plan.pairs);
    plan.row = std::min(std::uint64_t{1} << lowest, plan.band);
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

}  // namespace velqor::kernels
