// The policy that cuts a gate queue into stretches and says how each is
// applied: shared by the queue's apply functions (gate_queue.cpp) and the
// benchmarks' dry run of it, so both follow one policy. Called by the thread
// that holds the register's state lock (or owns a queue of its own).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/queue/gate_queue.hpp"
#include "core/queue/stretch_plan.hpp"

namespace velqor::queue_policy {

using blocking::kBlockQubits;
using blocking::kMinQubits;

// Which stretches a pass over the queue applies.
enum class Stretches {
    All,        // every one
    First,      // the first one only (in blocks): later gates may still join the others
    Marginals,  // every one, forming the marginal totals in the last one's pass
};

// Cuts the queue into stretches, each leaving the queue once `act` has run it,
// as `which` says: act.alone(gate) for a gate applied on its own,
// act.blocks(layout, with_marginals) for a stretch run block by block. Returns
// whether the marginal totals were formed (not when the state is too small for
// blocks, or nothing was queued).
template <class Act>
bool run_stretches(GateQueue& queue, unsigned n, Stretches which, Act& act) {
    const bool blocked = n >= kMinQubits;
    while (!queue.empty()) {
        const std::uint64_t members = blocked ? blocking::stretch_members(queue) : 1;
        const std::size_t count = static_cast<std::size_t>(std::popcount(members));
        const bool is_last = blocked && count == queue.size();
        if (is_last && which == Stretches::Marginals) {
            act.blocks(blocking::plan_stretch(queue, members, n), true);
            queue.clear();
            return true;
        }
        // A gate alone on a qubit below the block size runs in place, block by
        // block, with the widest lanes; higher ones in the whole-state loop,
        // whose rows are long, rather than gathered.
        const QueuedGate& head = queue[static_cast<std::size_t>(std::countr_zero(members))];
        if (count == 1 && (!blocked || head.target >= kBlockQubits)) {
            act.alone(head);
        } else {
            act.blocks(blocking::plan_stretch(queue, members, n), false);
        }
        queue.drop(members);
        // Gate by gate (a state too small for blocks) no later gate joins:
        // the whole queue goes at once, so that the next 64 gates queue again.
        if (which == Stretches::First && blocked) return false;
    }
    return false;
}

}  // namespace velqor::queue_policy
