// Applying the gate queue (core/queue/gate_queue.hpp) to a state. The queue
// is cut into stretches (core/queue/stretches.hpp) of consecutive gates whose
// targets fit one block of the state, where gates that only move amplitudes
// may join ahead of others (core/queue/stretch_plan.hpp); each block is then
// brought into cache once and every gate of the stretch applied to it, in
// queue order (core/queue/stretch_apply.hpp), with the same per-pair
// operations as a gate applied on its own: the same bits, one pass over
// memory per stretch instead of one per gate. Called with the register's
// state lock held.
#pragma once

#include "core/complex.hpp"
#include "core/marginals.hpp"
#include "core/queue/gate_queue.hpp"

namespace velqor {

// Applies one gate to the whole state of 2^n amplitudes, on the pool.
void apply_now(const QueuedGate& gate, Complex* amplitudes, unsigned n);

// Applies every queued gate to the state of 2^n amplitudes, with the same bits
// as apply_now gate by gate in queue order, and empties the queue. Each stretch
// leaves the queue once it is applied: when a later stretch fails for want of
// memory (std::bad_alloc, before it changes anything), the queue holds exactly
// the gates still to apply.
void apply_queue(GateQueue& queue, Complex* amplitudes, unsigned n);

// Applies the queue's first stretch (stretch_members), as apply_queue would:
// the room a full queue needs, while the gates queued next may still join the
// stretches after it.
void apply_first_stretch(GateQueue& queue, Complex* amplitudes, unsigned n);

// As apply_queue, then the marginal totals of qubit target < n of the resulting
// state (core/marginals.hpp), formed inside the last stretch's pass when there
// is one.
Marginals apply_queue_with_marginals(GateQueue& queue, Complex* amplitudes, unsigned n, unsigned target);

}  // namespace velqor
