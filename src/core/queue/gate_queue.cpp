#include "core/queue/gate_queue.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/kernels/bits.hpp"
#include "core/kernels/apply.hpp"
#include "core/queue/block_runner.hpp"
#include "core/queue/stretch_plan.hpp"

namespace velqor {
namespace {

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

// Applies what run_stretches hands it to the state.
struct Apply {
    Complex* amplitudes;
    unsigned n;
    SharedMarginals* marginals;
    void alone(const QueuedGate& gate) const { apply_now(gate, amplitudes, n); }
    void blocks(const blocking::StretchLayout& layout, bool with_marginals) const {
        blocking::apply_stretch(layout, amplitudes, n, with_marginals ? marginals : nullptr);
    }
};

// Counts what run_stretches hands it: the share of the state each pass changes
// (the pairs a gate alone passes its controls on; the blocks where some gate
// of a stretch passes its controls outside the block).
struct Count {
    unsigned n;
    QueueCost& cost;
    void alone(const QueuedGate& gate) const {
        ++cost.alone;
        cost.passes += std::ldexp(1.0, -std::popcount(gate.control_mask));
    }
    void blocks(const blocking::StretchLayout& layout, bool) const {
        ++cost.stretches;
        const std::uint64_t blocks = std::uint64_t{1} << (n - layout.qubits);
        std::uint64_t changed = 0;
        for (std::uint64_t b = 0; b < blocks; ++b) {
            const std::uint64_t base = kernels::deposit_bits(b, layout.outside_mask);
            changed += std::any_of(layout.gates.begin(), layout.gates.end(), [base](const blocking::LocalGate& g) {
                return (base & g.outside_mask) == g.outside_mask;
            });
        }
        cost.passes += static_cast<double>(changed) / static_cast<double>(blocks);
    }
};

}  // namespace

void apply_now(const QueuedGate& gate, Complex* amplitudes, unsigned n) {
    kernels::apply_to_state(gate.gate, gate.target, gate.control_mask, amplitudes, n);
}

void apply_queue(GateQueue& queue, Complex* amplitudes, unsigned n) {
    Apply act{amplitudes, n, nullptr};
    run_stretches(queue, n, Stretches::All, act);
}

void apply_first_stretch(GateQueue& queue, Complex* amplitudes, unsigned n) {
    Apply act{amplitudes, n, nullptr};
    run_stretches(queue, n, Stretches::First, act);
}

Marginals apply_queue_with_marginals(GateQueue& queue, Complex* amplitudes, unsigned n, unsigned t) {
    SharedMarginals marginals(t);
    Apply act{amplitudes, n, &marginals};
    if (run_stretches(queue, n, Stretches::Marginals, act)) return marginals.totals();
    return marginal_totals(amplitudes, n, t);
}

void count_queue(GateQueue& queue, unsigned n, bool full, QueueCost& cost) {
    Count act{n, cost};
    run_stretches(queue, n, full ? Stretches::First : Stretches::All, act);
}

}  // namespace velqor
