// Planning a stretch of the gate queue: which consecutive gates share one pass
// over the state, and where their qubits lie in a block of it.
//
// A block holds up to 2^kBlockQubits amplitudes: the low qubits 0 .. low-1 in
// place, and the stretch's targets above them, each at a local bit low + j
// (the targets named by the most gates take the lowest of these bits). A
// block-local index thus has the block's qubits at those bits. Inside a block
// the gates are applied in sweeps: consecutive gates whose local targets fit
// one sub-block of 2^kSubQubits amplitudes (32 KiB, in the first-level cache),
// applied to one sub-block after the other, so that one pass over the block,
// out of the second-level cache, serves the whole sweep. A sub-block holds the
// sweep's targets and the lowest other local qubits; the local qubits left out
// of it (`fixed`) are constant across it, and its amplitudes are found in
// place, from the index with those bits of the sub-block set. A local control
// among the fixed qubits selects whole sub-blocks, as a control outside the
// block selects whole blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/gate.hpp"
#include "core/kernels/apply.hpp"
#include "core/kernels/pair_plan.hpp"
#include "core/queue/gate_queue.hpp"

namespace velqor::blocking {

inline constexpr unsigned kBlockQubits = 14;              // a block holds up to 2^14 amplitudes (256 KiB)
inline constexpr unsigned kLowQubits = 5;                 // the lowest 5 qubits are always in a block
inline constexpr unsigned kMinQubits = kBlockQubits + 1;  // smaller states run gate by gate
inline constexpr unsigned kSubQubits = 11;                // a sub-block holds 2^11 amplitudes (32 KiB)

// A block whose segments hold 2^kInPlaceLow amplitudes (16 KiB) or more runs in
// place: its few long segments, whatever their distance, fill few ways of each
// cache set, so copying them into a buffer and back (a read more and a write
// more of every line) would cost more than it saves.
inline constexpr unsigned kInPlaceLow = 10;

// Fixed qubits below this bit would leave a sub-block on a fraction of the
// first-level cache's sets (their index is bits 6 to 11 of the address, local
// bits 2 to 7): its lines would then evict each other.
inline constexpr unsigned kSetQubits = 8;

// The end of the stretch that starts at `begin`: the longest run of gates whose
// distinct targets at or above kLowQubits number at most kBlockQubits - kLowQubits.
std::size_t stretch_end(const GateQueue& queue, std::size_t begin) noexcept;

// The gates of the stretch that starts at the queue's first gate, as a mask of
// queue entries: the run up to stretch_end, then every later gate whose target
// still fits the block and that may run before each gate left out before it
// with the same bits. A gate may run before another when one of the two only
// moves amplitudes (X, the identity) and neither acts on, or is controlled by,
// the other's target: the moving gate carries each pair of the other onto a
// pair it treats alike, computing nothing itself. The gates left out keep
// their order, after the stretch.
std::uint64_t stretch_members(const GateQueue& queue) noexcept;

// One gate of a stretch, in the block's local qubits (gathered blocks) or in
// the state's own qubits, from the block's base (blocks run in place).
struct LocalGate {
    const Gate* gate;
    kernels::PairPlan plan;      // on the pairs of the sub-block with every fixed qubit 0
    std::uint64_t outside_mask;  // controls outside the block: whole blocks pass or fail
    std::uint64_t fixed_select;  // local controls among the fixed qubits: whole sub-blocks pass or fail
};

// Consecutive gates of a stretch applied sub-block by sub-block.
struct Sweep {
    std::size_t begin, end;  // its gates, indices into StretchLayout::gates
    std::uint64_t fixed;     // qubits of the block outside its sub-blocks (as LocalGate's)
};

struct StretchLayout {
    unsigned low = 0;                            // qubits 0 .. low-1 are contiguous in a block
    std::uint64_t high_mask = 0;                 // the stretch's targets at or above `low`
    unsigned high[64] = {};                      // those targets, by local bit: high[j] is at bit low + j
    std::uint64_t outside_mask = 0;              // every qubit of the state outside the block
    unsigned qubits = 0;                         // low + popcount(high_mask)
    bool in_place = false;                       // segments of 2^kInPlaceLow amplitudes or more, or contiguous
    std::vector<std::uint64_t> segment_offsets;  // offset of each 2^low segment from the block's base
    std::vector<LocalGate> gates;
    std::vector<Sweep> sweeps;  // the gates, in order, cut into sweeps
    kernels::InBlockKernel kernel = nullptr;
};

// The layout of the queue's gates in `members`, in queue order, a stretch
// (stretch_members), in a state of n >= kMinQubits qubits.
StretchLayout plan_stretch(const GateQueue& queue, std::uint64_t members, unsigned n);

}  // namespace velqor::blocking
