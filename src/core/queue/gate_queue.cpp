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

// What a pass over the queue does with its last stretch.
enum class LastStretch {
    Apply,          // applied like the others
    KeepIfPartial,  // left queued for later gates to join, unless it is the whole queue
    Marginals,      // applied, forming the marginal totals in the same pass
};

// Cuts the queue into stretches, each leaving the queue once `act` has run it,
// and the last one as `last` says: act.alone(gate) for a gate applied on its
// own, act.blocks(layout, with_marginals) for a stretch run block by block.
// Returns whether the marginal totals were formed (not when the state is too
// small for blocks, or nothing was queued).
template <class Act>
bool run_stretches(GateQueue& queue, unsigned n, LastStretch last, Act& act) {
    const bool blocked = n >= kMinQubits;
    bool first = true;
    while (!queue.empty()) {
        const std::size_t end = blocked ? blocking::stretch_end(queue, 0) : 1;
        const bool is_last = blocked && end == queue.size();
        if (is_last && last == LastStretch::KeepIfPartial && !first) return false;
        if (is_last && last == LastStretch::Marginals) {
            act.blocks(blocking::plan_stretch(queue, 0, end, n), true);
            queue.clear();
            return true;
        }
        // A gate alone on a qubit below the block size runs in place, block by
        // block, with the widest lanes; higher ones in the whole-state loop,
        // whose rows are long, rather than gathered.
        if (end == 1 && (!blocked || queue[0].target >= kBlockQubits)) {
            act.alone(queue[0]);
        } else {
            act.blocks(blocking::plan_stretch(queue, 0, end, n), false);
        }
        queue.drop_front(end);
        first = false;
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
    run_stretches(queue, n, LastStretch::Apply, act);
}

void apply_complete_stretches(GateQueue& queue, Complex* amplitudes, unsigned n) {
    Apply act{amplitudes, n, nullptr};
    run_stretches(queue, n, LastStretch::KeepIfPartial, act);
}

Marginals apply_queue_with_marginals(GateQueue& queue, Complex* amplitudes, unsigned n, unsigned t) {
    SharedMarginals marginals(t);
    Apply act{amplitudes, n, &marginals};
    if (run_stretches(queue, n, LastStretch::Marginals, act)) return marginals.totals();
    return marginal_totals(amplitudes, n, t);
}

void count_queue(GateQueue& queue, unsigned n, bool keep_last, QueueCost& cost) {
    Count act{n, cost};
    run_stretches(queue, n, keep_last ? LastStretch::KeepIfPartial : LastStretch::Apply, act);
}

}  // namespace velqor
