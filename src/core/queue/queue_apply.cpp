#include "core/queue/queue_apply.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/kernels/bits.hpp"
#include "core/kernels/apply.hpp"
#include "core/queue/stretch_apply.hpp"
#include "core/queue/stretch_plan.hpp"
#include "core/queue/stretches.hpp"

namespace velqor {
namespace {

using queue_policy::run_stretches;
using queue_policy::Stretches;

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

Marginals apply_queue_with_marginals(GateQueue& queue, Complex* amplitudes, unsigned n, unsigned target) {
    SharedMarginals marginals(target);
    Apply act{amplitudes, n, &marginals};
    if (run_stretches(queue, n, Stretches::Marginals, act)) return marginals.totals();
    return marginal_totals(amplitudes, n, target);
}

}  // namespace velqor
