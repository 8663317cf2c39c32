// Gates waiting to be applied to a register, and the policy that applies them.
//
// apply_gate checks its arguments and records each target's application here;
// anything that reads the state first applies the queue (and so does a full
// queue). The queue is cut into stretches of consecutive gates whose targets
// fit one block of the state, where gates that only move amplitudes may join
// ahead of others (core/queue/stretch_plan.hpp); each block is then brought
// into cache once and every gate of the stretch applied to it, in queue order
// (core/queue/stretch_apply.hpp), with the same per-pair operations as a gate
// applied on its own: the same bits, one pass over memory per stretch instead
// of one per gate.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "core/complex.hpp"
#include "core/gate.hpp"
#include "core/marginals.hpp"

namespace velqor {

// One target's application: the gate on `target` under the controls of
// `control_mask` (each below the qubit count, none equal to the target).
struct QueuedGate {
    Gate gate;
    std::uint64_t control_mask;
    std::uint32_t target;
};

// Fixed capacity: 64 entries of 80 bytes (5 KiB) live in the register's state.
// Not locked itself: the register's queue is guarded by the state lock, or by
// an exclusive call, which appends to it outside the lock (core/state.hpp);
// the apply functions below are called with the lock held.
class GateQueue {
public:
    static constexpr std::size_t kCapacity = 64;

    bool empty() const noexcept { return count_ == 0; }
    bool full() const noexcept { return count_ == kCapacity; }
    std::size_t size() const noexcept { return count_; }
    const QueuedGate& operator[](std::size_t i) const noexcept { return entries_[i]; }
    void push(const QueuedGate& gate) noexcept { entries_[count_++] = gate; }
    void clear() noexcept { count_ = 0; }
    // Drops the entries of the mask `applied` (bit i: entry i), keeping the
    // rest in order.
    void drop(std::uint64_t applied) noexcept {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count_; ++i) {
            if ((applied >> i & 1) == 0) entries_[kept++] = entries_[i];
        }
        count_ = kept;
    }

private:
    std::array<QueuedGate, kCapacity> entries_;
    std::size_t count_ = 0;
};

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
