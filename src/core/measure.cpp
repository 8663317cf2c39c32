// Measurement of one qubit with collapse, and sampling of a basis state from the
// whole distribution.
#include <algorithm>
#include <cmath>
#include <optional>
#include <variant>
#include <vector>

#include "runtime/host.hpp"
#include "runtime/panic.hpp"
#include "runtime/pool.hpp"
#include "runtime/random/sampling.hpp"
#include "core/marginals.hpp"
#include "core/register.hpp"
#include "core/state.hpp"

namespace velqor {
namespace {

[[noreturn]] void sample_error_panic(random::SampleError error, Location where) {
    panic(unwrap_message(random::sample_error_name(error)), where);
}

// Fills the cache with the running sum at the end of every chunk, exactly as
// the sequential running sum over all probabilities forms it. Returns the
// weights' error, if any, without caching anything.
std::optional<random::SampleError> build_cache(RegisterState& state) {
    SampleCache& cache = state.cache;
    const Complex* a = state.amplitudes.data();
    double* ends = cache.chunk_ends.data();
    const auto total = random::checked_running_sum(
        state.amplitudes.size(), [a](std::uint64_t i) { return norm_sqr(a[i]); },
        [ends](std::uint64_t i, double sum) {
            if (i % SampleCache::kChunk == 0) ends[i / SampleCache::kChunk - 1] = sum;
        });
    if (const auto* error = std::get_if<random::SampleError>(&total)) return *error;
    ends[cache.chunk_ends.size() - 1] = std::get<double>(total);
    cache.total = std::get<double>(total);
    return std::nullopt;
}

// The basis state a draw x in [0, total) selects: the number of running sums
// (over all but the last weight) that are <= x.
std::uint64_t index_of_draw(const RegisterState& state, double x) {
    const SampleCache& cache = state.cache;
    const double* ends = cache.chunk_ends.data();
    const std::uint64_t chunk =
        static_cast<std::uint64_t>(std::upper_bound(ends, ends + cache.chunk_ends.size(), x) - ends);
    const Complex* a = state.amplitudes.data();
    const std::uint64_t last = state.amplitudes.size() - 1;
    std::uint64_t i = chunk * SampleCache::kChunk;
    double running = i == 0 ? norm_sqr(a[0]) : ends[chunk - 1] + norm_sqr(a[i]);
    while (i < last && !(running > x)) {
        ++i;
        running += norm_sqr(a[i]);
    }
    return i;
}

}  // namespace

std::uint64_t Register::measure(std::uint64_t target) {
    RegisterState& state = *state_;
    // The marginal pass takes the target as a shift of a 32-bit index word,
    // which keeps the shift count modulo the width: a target of 32 or more
    // whose residue is a qubit forms that qubit's totals and draws, and
    // fails only where the projection below is applied with the unreduced
    // target ("Target(s) outside qubit range"). That order is part of the
    // contract: the failure a caller sees, and that a draw happened, depend on it.
    const unsigned reduced_target = static_cast<unsigned>(target % 32);
    const bool in_range = reduced_target < qubits_;
    pool::acquire();
    host::release_for(state.amplitudes.size());
    Marginals totals;
    {
        StateLock lock(state, site::kReadLock);
        if (in_range) {
            totals = apply_queue_with_marginals(state.pending, state.amplitudes.data(), qubits_, reduced_target);
        } else {
            apply_pending(state, qubits_);
        }
    }
    if (!in_range) {
        // The first pair meets it: i0 = 0 is always in range, i1 = 2^reduced_target is not.
        panic(index_message(state.amplitudes.size(), std::uint64_t{1} << reduced_target), site::kMarginalIndex);
    }
    const double weights[2] = {totals.p0, totals.p1};
    auto built = random::WeightedSampler::build(weights);
    if (auto* error = std::get_if<random::SampleError>(&built)) sample_error_panic(*error, site::kMeasureSampler);
    const auto& sampler = std::get<random::WeightedSampler>(built);
    const std::uint32_t outcome = sampler.sample(*random::thread_rng());

    // The projection onto the outcome, with 1 / sqrt(P) on the kept half.
    const Complex factor{1.0 / std::sqrt(outcome == 0 ? totals.p0 : totals.p1), 0.0};
    const Gate projection =
        outcome == 0 ? gate_from_entries(factor, kZero, kZero, kZero) : gate_from_entries(kZero, kZero, kZero, factor);
    const std::uint64_t targets[1] = {target};
    apply_gate(projection, targets, {});
    return outcome;
}

std::uint64_t Register::measure_all() const {
    RegisterState& state = *state_;
    SampleCache& cache = state.cache;
    std::optional<random::SampleError> error;
    std::optional<random::UniformRange> range;
    double total = 0.0;
    pool::acquire();  // the queue, if any, runs on the pool
    {
        StateLock lock(state, site::kReadLock);
        // A pass over the state follows unless the sums are kept from before.
        if (!cache.summed || !state.pending.empty()) host::release_for(state.amplitudes.size());
        apply_pending(state, qubits_);
        if (!cache.summed) {
            const std::uint64_t chunks = (state.amplitudes.size() + SampleCache::kChunk - 1) / SampleCache::kChunk;
            if (cache.chunk_ends.size() != chunks) cache.chunk_ends = Buffer<double>(chunks);
            error = build_cache(state);
            cache.summed = !error;
        }
        total = cache.total;
        range = cache.range;
    }
    // Failures are raised outside the lock, so they never poison it.
    if (error) sample_error_panic(*error, site::kSampleSampler);
    if (!range) range.emplace(0.0, total);  // an infinite total panics here
    const double x = range->sample(*random::thread_rng());
    StateLock lock(state, site::kReadLock);
    // Kept for the next draws; another shared call may have kept the same range.
    if (!cache.range) cache.range = range;
    return index_of_draw(state, x);
}

}  // namespace velqor
