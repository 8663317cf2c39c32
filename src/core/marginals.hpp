// The marginal totals of one qubit, as measure() forms them.
//
// The state is cut into groups of 32 consecutive amplitudes (qubits 0-4; the
// whole state when it is smaller). In each group, the amplitudes of each side
// (bit t clear, bit t set), in index order, add |a|^2 into eight lanes, the
// m-th into lane m mod 8, and the lanes combine as ((0+1)+(2+3))+((4+5)+(6+7)).
// A side's total is the exact sum of its groups' totals, rounded once. The bits
// depend on the state and t only: not on the number of workers, nor on the
// order in which segments of the state are visited, so the totals can be formed
// inside any pass that has every group in cache (the last stretch of queued gates).
#pragma once

#include <cstdint>
#include <mutex>

#include "core/complex.hpp"
#include "core/exact_sum.hpp"

namespace velqor {

struct Marginals {
    double p0 = 0.0;
    double p1 = 0.0;
};

// Adds up the groups of a state segment by segment, in any order; accumulators of
// disjoint segments combine exactly.
class MarginalSums {
public:
    static constexpr std::uint64_t kGroup = 32;

    explicit MarginalSums(unsigned target) noexcept : target_(target) {}

    // Adds the groups of the `count` amplitudes at `segment`, whose first has the
    // index `first` in the state. `first` and `count` are multiples of kGroup,
    // unless the segment is the whole state.
    void add_segment(const Complex* segment, std::uint64_t count, std::uint64_t first) noexcept;
    // Adds the groups another accumulator of the same target has seen.
    void add(const MarginalSums& other) noexcept;
    Marginals totals() const noexcept;

private:
    unsigned target_;
    ExactSum sides_[2];
};

// The totals of one target that pool workers form together: each adds its
// segments into its own MarginalSums and merges it here once, under the lock.
class SharedMarginals {
public:
    explicit SharedMarginals(unsigned target) noexcept : target_(target), sums_(target) {}

    unsigned target() const noexcept { return target_; }
    // Adds a worker's sums; safe from any thread.
    void merge(const MarginalSums& part);
    // The totals of everything merged; call once every worker is done.
    Marginals totals() const noexcept { return sums_.totals(); }

private:
    const unsigned target_;
    std::mutex mutex_;   // guards sums_ while workers merge into it
    MarginalSums sums_;  // under mutex_
};

// The marginal totals of qubit t (t < n) of a state of 2^n amplitudes, on the pool.
Marginals marginal_totals(const Complex* amplitudes, unsigned n, unsigned t);

}  // namespace velqor
