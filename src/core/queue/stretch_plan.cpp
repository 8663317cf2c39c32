#include "core/queue/stretch_plan.hpp"

#include <algorithm>
#include <bit>

#include "core/kernels/pair_ops.hpp"

namespace velqor::blocking {
namespace {

// The local bit of qubit q, a qubit of the block.
unsigned local_qubit(const StretchLayout& layout, unsigned q) noexcept {
    if (q < layout.low) return q;
    unsigned j = 0;
    while (layout.high[j] != q) ++j;
    return layout.low + j;
}

// The state's qubits of a mask of the block's local qubits.
std::uint64_t state_qubits(const StretchLayout& layout, std::uint64_t local) noexcept {
    std::uint64_t qubits = local & ((std::uint64_t{1} << layout.low) - 1);
    for (std::uint64_t rest = local >> layout.low; rest != 0; rest &= rest - 1) {
        qubits |= std::uint64_t{1} << layout.high[std::countr_zero(rest)];
    }
    return qubits;
}

// The local qubits left out of a sub-block of `qubits` local qubits that holds
// the targets of `targets`, filled up with the lowest others.
std::uint64_t fixed_qubits(std::uint64_t targets, unsigned qubits) noexcept {
    const std::uint64_t all = (std::uint64_t{1} << qubits) - 1;
    if (qubits <= kSubQubits) return 0;
    std::uint64_t inside = targets;
    for (std::uint64_t rest = all & ~targets; std::popcount(inside) < static_cast<int>(kSubQubits); rest &= rest - 1) {
        inside |= rest & -rest;
    }
    return all & ~inside;
}

// Cuts the stretch's gates (local targets in order) into the longest sweeps
// whose sub-blocks hold all their targets and fix no qubit below kSetQubits.
std::vector<Sweep> make_sweeps(const std::vector<unsigned>& targets, unsigned qubits) {
    std::vector<Sweep> sweeps;
    const std::uint64_t set_bits = (std::uint64_t{1} << kSetQubits) - 1;
    std::size_t begin = 0;
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const std::uint64_t next = mask | (std::uint64_t{1} << targets[i]);
        const std::uint64_t fixed = fixed_qubits(next, qubits);
        const bool fits = std::popcount(next) <= static_cast<int>(kSubQubits) && (fixed & set_bits) == 0;
        if (!fits && i > begin) {
            sweeps.push_back({begin, i, fixed_qubits(mask, qubits)});
            begin = i;
            mask = std::uint64_t{1} << targets[i];
        } else {
            mask = next;
        }
    }
    if (begin < targets.size()) sweeps.push_back({begin, targets.size(), fixed_qubits(mask, qubits)});
    return sweeps;
}

// Whether the gate computes nothing: an exchange of the two amplitudes of each
// pair (X) or the identity, by entries of exactly one and zero.
bool only_moves(const Gate& g) noexcept {
    using kernels::Kind;
    using kernels::kind_of;
    const bool exchange = kind_of(g.m00) == Kind::Zero && kind_of(g.m11) == Kind::Zero && kind_of(g.m01) == Kind::One &&
                          kind_of(g.m10) == Kind::One;
    const bool identity = kind_of(g.m00) == Kind::One && kind_of(g.m11) == Kind::One && kind_of(g.m01) == Kind::Zero &&
                          kind_of(g.m10) == Kind::Zero;
    return exchange || identity;
}

// The target's bit, for a block's count of targets above the low qubits.
std::uint64_t high_bit(std::uint32_t target) noexcept { return target < kLowQubits ? 0 : std::uint64_t{1} << target; }

}  // namespace

std::uint64_t stretch_members(const GateQueue& queue) noexcept {
    const std::size_t end = stretch_end(queue, 0);
    std::uint64_t members = 0;
    std::uint64_t high = 0;
    for (std::size_t i = 0; i < end; ++i) {
        members |= std::uint64_t{1} << i;
        high |= high_bit(queue[i].target);
    }
    // The gates left out so far, as one: a gate runs ahead of each of them
    // exactly when it runs ahead of their targets, qubits and kinds together.
    std::uint64_t left_targets = 0;
    std::uint64_t left_qubits = 0;  // their targets and controls
    bool left_computes = false;
    for (std::size_t i = end; i < queue.size(); ++i) {
        const QueuedGate& g = queue[i];
        const std::uint64_t target = std::uint64_t{1} << g.target;
        const std::uint64_t qubits = g.control_mask | target;
        const bool moves = only_moves(g.gate);
        const std::uint64_t next = high | high_bit(g.target);
        const bool fits = static_cast<unsigned>(std::popcount(next)) <= kBlockQubits - kLowQubits;
        const bool apart = (qubits & left_targets) == 0 && (left_qubits & target) == 0;
        if (fits && apart && (moves || !left_computes)) {
            members |= std::uint64_t{1} << i;
            high = next;
        } else {
            left_targets |= target;
            left_qubits |= qubits;
            left_computes = left_computes || !moves;
        }
    }
    return members;
}

std::size_t stretch_end(const GateQueue& queue, std::size_t begin) noexcept {
    std::uint64_t high = 0;
    std::size_t i = begin;
    for (; i < queue.size(); ++i) {
        const std::uint32_t t = queue[i].target;
        if (t < kLowQubits) continue;
        const std::uint64_t next = high | (std::uint64_t{1} << t);
        if (static_cast<unsigned>(std::popcount(next)) > kBlockQubits - kLowQubits) break;
        high = next;
    }
    return i;
}

StretchLayout plan_stretch(const GateQueue& queue, std::uint64_t members, unsigned n) {
    std::vector<const QueuedGate*> stretch;
    stretch.reserve(static_cast<std::size_t>(std::popcount(members)));
    for (std::uint64_t rest = members; rest != 0; rest &= rest - 1) {
        stretch.push_back(&queue[static_cast<std::size_t>(std::countr_zero(rest))]);
    }
    std::uint64_t targets = 0;
    unsigned uses[64] = {};
    for (const QueuedGate* g : stretch) {
        targets |= std::uint64_t{1} << g->target;
        ++uses[g->target];
    }
    // As many low qubits as the block has room for beside the targets above
    // them (stretch_members leaves room for kLowQubits at least).
    StretchLayout layout;
    for (unsigned low = kBlockQubits; low >= kLowQubits; --low) {
        const unsigned above = static_cast<unsigned>(std::popcount(targets >> low));
        if (low + above <= kBlockQubits) {
            layout.low = low;
            break;
        }
    }
    layout.high_mask = (targets >> layout.low) << layout.low;
    const unsigned high_count = static_cast<unsigned>(std::popcount(layout.high_mask));
    layout.qubits = layout.low + high_count;
    for (std::uint64_t rest = layout.high_mask, j = 0; rest != 0; rest &= rest - 1, ++j) {
        layout.high[j] = static_cast<unsigned>(std::countr_zero(rest));
    }
    std::stable_sort(layout.high, layout.high + high_count,
                     [&uses](unsigned x, unsigned y) { return uses[x] > uses[y]; });
    const std::uint64_t all = (std::uint64_t{1} << n) - 1;
    layout.outside_mask = all & ~(layout.high_mask | ((std::uint64_t{1} << layout.low) - 1));
    // Piece p has high[j] set for every set bit j of p: each offset is an
    // earlier one (p without its lowest bit) plus that bit's qubit.
    const std::uint64_t segments = std::uint64_t{1} << high_count;
    layout.segment_offsets.assign(segments, 0);
    for (std::uint64_t p = 1; p < segments; ++p) {
        layout.segment_offsets[p] =
            layout.segment_offsets[p & (p - 1)] | (std::uint64_t{1} << layout.high[std::countr_zero(p)]);
    }
    layout.kernel = kernels::in_block_kernel();
    std::vector<unsigned> local_targets;
    local_targets.reserve(stretch.size());
    for (const QueuedGate* g : stretch) local_targets.push_back(local_qubit(layout, g->target));
    layout.sweeps = make_sweeps(local_targets, layout.qubits);
    layout.in_place = layout.high_mask == 0 || layout.low >= kInPlaceLow;
    layout.gates.reserve(stretch.size());
    for (const Sweep& sweep : layout.sweeps) {
        for (std::size_t i = sweep.begin; i < sweep.end; ++i) {
            const QueuedGate& g = *stretch[i];
            LocalGate local{&g.gate, {}, g.control_mask & layout.outside_mask, 0};
            std::uint64_t inside = 0;
            std::uint64_t controls = g.control_mask & ~layout.outside_mask;
            while (controls != 0) {
                inside |= std::uint64_t{1} << local_qubit(layout, static_cast<unsigned>(std::countr_zero(controls)));
                controls &= controls - 1;
            }
            if (layout.in_place) {
                // The pairs of a sub-block from the block's base in the state:
                // every qubit outside the block is fixed at its base's value.
                const std::uint64_t fixed = state_qubits(layout, sweep.fixed);
                local.fixed_select = state_qubits(layout, inside & sweep.fixed);
                kernels::make_plan_from_mask(n, g.target, state_qubits(layout, inside & ~sweep.fixed), local.plan,
                                             fixed | layout.outside_mask);
            } else {
                local.fixed_select = inside & sweep.fixed;
                kernels::make_plan_from_mask(layout.qubits, local_targets[i], inside & ~sweep.fixed, local.plan,
                                             sweep.fixed);
            }
            layout.gates.push_back(local);
        }
    }
    if (layout.in_place) {
        for (Sweep& sweep : layout.sweeps) sweep.fixed = state_qubits(layout, sweep.fixed);
    }
    return layout;
}

}  // namespace velqor::blocking
