// Gates waiting to be applied to a register, and their execution.
//
// apply_gate checks its arguments and records each target's application here;
// anything that reads the state first runs the queue (and so does a full
// queue). Running cuts the queue into runs of consecutive gates whose targets
// fit one block of the state; each block is then brought into cache once and
// every gate of the run applied to it, in queue order, with the same per-pair
// operations as a gate applied on its own: the same bits, one pass over memory
// per run instead of one per gate.
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
class GateQueue {
public:
    static constexpr std::size_t kCapacity = 64;

    bool empty() const noexcept { return count_ == 0; }
    bool full() const noexcept { return count_ == kCapacity; }
    std::size_t size() const noexcept { return count_; }
    const QueuedGate& operator[](std::size_t i) const noexcept { return entries_[i]; }
    void push(const QueuedGate& gate) noexcept { entries_[count_++] = gate; }
    void clear() noexcept { count_ = 0; }
    // Drops the first `count` entries (those applied), keeping the rest in order.
    void drop_front(std::size_t count) noexcept {
        std::copy(entries_.begin() + static_cast<std::ptrdiff_t>(count),
                  entries_.begin() + static_cast<std::ptrdiff_t>(count_), entries_.begin());
        count_ -= count;
    }

private:
    std::array<QueuedGate, kCapacity> entries_;
    std::size_t count_ = 0;
};

// Applies one gate to the whole state of 2^n amplitudes, on the pool.
void apply_now(const QueuedGate& gate, Complex* amplitudes, unsigned n);

// Applies every queued gate, in order, to the state of 2^n amplitudes, with the
// same bits as apply_now gate by gate, and empties the queue. Each run leaves
// the queue once it is applied: when a later run fails for want of memory
// (std::bad_alloc, before it changes anything), the queue holds exactly the
// gates still to apply.
void run_queue(GateQueue& queue, Complex* amplitudes, unsigned n);

// As run_queue, but the last run stays queued when it is not the whole queue:
// the gates queued next may still join its pass.
void run_complete_runs(GateQueue& queue, Complex* amplitudes, unsigned n);

// As run_queue, then the marginal totals of qubit t < n of the resulting state
// (core/marginals.hpp), formed inside the last run's pass when there is one.
Marginals run_queue_with_marginals(GateQueue& queue, Complex* amplitudes, unsigned n, unsigned t);

namespace blocking {

// Tuning and layout of the blocked execution, exposed for tests.
inline constexpr unsigned kBlockQubits = 14;              // a block holds up to 2^14 amplitudes (256 KiB)
inline constexpr unsigned kLowQubits = 5;                 // the lowest 5 qubits are always in a block
inline constexpr unsigned kMinQubits = kBlockQubits + 1;  // smaller states run gate by gate

// The end of the run that starts at `begin`: the longest stretch of gates whose
// distinct targets at or above kLowQubits number at most kBlockQubits - kLowQubits.
std::size_t run_end(const GateQueue& queue, std::size_t begin) noexcept;

namespace test_hooks {

// Makes the `nth` preparation of gather buffers from now (1 = the next) fail
// with std::bad_alloc, as a refused allocation would.
void refuse_gather_buffers(int nth) noexcept;

}  // namespace test_hooks

}  // namespace blocking

}  // namespace velqor
