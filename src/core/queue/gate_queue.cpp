#include "core/queue/gate_queue.hpp"

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

// Applies the queue stretch by stretch, each stretch leaving the queue once
// applied, and the last one as `last` says. Returns whether the marginal
// totals were formed (not when the state is too small for blocks, or nothing
// was queued).
bool apply_stretches(GateQueue& queue, Complex* amplitudes, unsigned n, LastStretch last, SharedMarginals* marginals) {
    const bool blocked = n >= kMinQubits;
    bool first = true;
    while (!queue.empty()) {
        const std::size_t end = blocked ? blocking::stretch_end(queue, 0) : 1;
        const bool is_last = blocked && end == queue.size();
        if (is_last && last == LastStretch::KeepIfPartial && !first) return false;
        if (is_last && last == LastStretch::Marginals) {
            blocking::apply_stretch(blocking::plan_stretch(queue, 0, end, n), amplitudes, n, marginals);
            queue.clear();
            return true;
        }
        // A gate alone on a qubit below the block size runs in place, block by
        // block, with the widest lanes; higher ones in the whole-state loop,
        // whose rows are long, rather than gathered.
        if (end == 1 && (!blocked || queue[0].target >= kBlockQubits)) {
            apply_now(queue[0], amplitudes, n);
        } else {
            blocking::apply_stretch(blocking::plan_stretch(queue, 0, end, n), amplitudes, n, nullptr);
        }
        queue.drop_front(end);
        first = false;
    }
    return false;
}

}  // namespace

void apply_now(const QueuedGate& gate, Complex* amplitudes, unsigned n) {
    kernels::apply_to_state(gate.gate, gate.target, gate.control_mask, amplitudes, n);
}

void apply_queue(GateQueue& queue, Complex* amplitudes, unsigned n) {
    apply_stretches(queue, amplitudes, n, LastStretch::Apply, nullptr);
}

void apply_complete_stretches(GateQueue& queue, Complex* amplitudes, unsigned n) {
    apply_stretches(queue, amplitudes, n, LastStretch::KeepIfPartial, nullptr);
}

Marginals apply_queue_with_marginals(GateQueue& queue, Complex* amplitudes, unsigned n, unsigned t) {
    SharedMarginals marginals(t);
    if (apply_stretches(queue, amplitudes, n, LastStretch::Marginals, &marginals)) return marginals.totals();
    return marginal_totals(amplitudes, n, t);
}

}  // namespace velqor
