// Gates waiting to be applied to a register: the queue itself, which
// apply_gate appends to after checking its arguments, and which anything that
// reads the state first applies (core/queue/queue_apply.hpp; so does a full
// queue).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/gate.hpp"

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

}  // namespace velqor
