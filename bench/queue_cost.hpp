// What applying a queue would do to a state, for the benchmarks: a dry run
// of the queue's policy (core/queue/stretches.hpp) that counts the passes it
// makes (stretches of blocks, and gates applied alone to the whole state) and
// how much of the state they read and write, touching no amplitude.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/kernels/bits.hpp"
#include "core/queue/gate_queue.hpp"
#include "core/queue/stretches.hpp"

namespace velqor {

struct QueueCost {
    std::size_t stretches = 0;  // passes of blocks
    std::size_t alone = 0;      // gates applied alone, in the whole-state loop
    double passes = 0;          // read-write passes: the share of the state each pass changes, added up
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

// Runs the policy of apply_queue (or, with `first_stretch_only`, of
// apply_first_stretch) on the queue of a state of 2^n amplitudes without
// touching one: adds what it would do to `cost`, and leaves the queue as that
// call would.
inline void count_queue(GateQueue& queue, unsigned n, bool first_stretch_only, QueueCost& cost) {
    Count act{n, cost};
    queue_policy::run_stretches(
        queue, n, first_stretch_only ? queue_policy::Stretches::First : queue_policy::Stretches::All, act);
}

}  // namespace velqor
