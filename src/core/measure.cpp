// Measurement of one qubit with collapse, and sampling of a basis state from the
// whole distribution.
#include <algorithm>
#include <cmath>
#include <optional>
#include <variant>
#include <vector>

#include <emmintrin.h>

#include "runtime/panic.hpp"
#include "runtime/pool.hpp"
#include "runtime/random.hpp"
#include "core/measure.hpp"
#include "core/register.hpp"
#include "core/state.hpp"

namespace velqor {
namespace {

// The marginal totals are sums of per-block partial sums, combined in block
// order: the same bits for every worker count and every run.
constexpr std::uint64_t kMarginalBlock = std::uint64_t{1} << 12;
constexpr std::uint64_t kMarginalTile = 512;

// Where the half of pair j (of 8 consecutive pairs starting at a multiple of 8)
// lies from the group's first index, for target bit t: contiguous for t >= 3,
// interleaved with the other half below.
template <unsigned T>
constexpr std::uint64_t group_offset(unsigned j) noexcept {
    if constexpr (T >= 3) {
        return j;
    } else {
        return ((j >> T) << (T + 1)) | (j & ((1u << T) - 1));
    }
}

// Eight running sums, two per SSE2 register: add() adds |v[lane]|^2 into each
// lane, each square and sum rounded once as in norm_sqr.
class Lanes {
public:
    explicit Lanes(const double* p) noexcept {
        for (unsigned q = 0; q < 4; ++q) acc_[q] = _mm_loadu_pd(p + 2 * q);
    }
    template <unsigned T = 3>
    void add(const Complex* v) noexcept {
        for (unsigned q = 0; q < 4; ++q) {
            const __m128d a = _mm_loadu_pd(&v[group_offset<T>(2 * q)].real);
            const __m128d b = _mm_loadu_pd(&v[group_offset<T>(2 * q + 1)].real);
            const __m128d sa = _mm_mul_pd(a, a);  // (re_a^2, im_a^2)
            const __m128d sb = _mm_mul_pd(b, b);
            acc_[q] = _mm_add_pd(acc_[q], _mm_add_pd(_mm_unpacklo_pd(sa, sb), _mm_unpackhi_pd(sa, sb)));
        }
    }
    void store(double* p) const noexcept {
        for (unsigned q = 0; q < 4; ++q) _mm_storeu_pd(p + 2 * q, acc_[q]);
    }

private:
    __m128d acc_[4];
};

// Pairs [lo, hi) of target bit T < 3, lo and hi multiples of 8.
template <unsigned T>
void interleaved_marginals(const Complex* a, std::uint64_t lo, std::uint64_t hi, double* p0, double* p1) {
    Lanes l0(p0), l1(p1);
    for (std::uint64_t k = lo; k < hi; k += 8) {
        l0.add<T>(a + 2 * k);
        l1.add<T>(a + 2 * k + (1u << T));
    }
    l0.store(p0);
    l1.store(p1);
}

// Sums |a_i0|^2 into p0 and |a_i1|^2 into p1 over the pairs [lo, hi) of target
// bit t. Pair k adds into lane k mod 8 and the lanes are combined in a fixed
// order, so the result depends only on the pairs, never on the schedule; the
// independent chains keep the adders busy.
Marginals block_marginals(const Complex* a, unsigned t, std::uint64_t lo, std::uint64_t hi) {
    constexpr unsigned kLanes = 8;
    const std::uint64_t bit = std::uint64_t{1} << t;
    const std::uint64_t low_mask = bit - 1;
    double p0[kLanes] = {};
    double p1[kLanes] = {};
    std::uint64_t k = lo;
    if (bit >= kLanes && lo % kLanes == 0 && hi % kLanes == 0) {
        // Runs of 2^t consecutive pairs are contiguous in both halves and start
        // at a multiple of the lane count, so a pair's lane is its position in
        // the run modulo the lane count. Tile by tile, one half after the
        // other: each lane still adds its values in pair order, and the two
        // halves, which may lie far apart, are not read alternately.
        Lanes l0(p0), l1(p1);
        while (k < hi) {
            const std::uint64_t len = std::min(bit - (k & low_mask), hi - k);
            const Complex* x = a + (((k & ~low_mask) << 1) | (k & low_mask));
            const Complex* y = x + bit;
            for (std::uint64_t start = 0; start < len; start += kMarginalTile) {
                const std::uint64_t end = std::min(len, start + kMarginalTile);
                for (std::uint64_t j = start; j < end; j += kLanes) l0.add(x + j);
                for (std::uint64_t j = start; j < end; j += kLanes) l1.add(y + j);
            }
            k += len;
        }
        l0.store(p0);
        l1.store(p1);
    } else if (lo % kLanes == 0 && hi % kLanes == 0) {
        // Below 8 the halves interleave: 8 consecutive pairs span 16 indices.
        switch (t) {
            case 0: interleaved_marginals<0>(a, lo, hi, p0, p1); break;
            case 1: interleaved_marginals<1>(a, lo, hi, p0, p1); break;
            default: interleaved_marginals<2>(a, lo, hi, p0, p1); break;
        }
        k = hi;
    }
    for (; k < hi; ++k) {
        const std::uint64_t i0 = ((k & ~low_mask) << 1) | (k & low_mask);
        p0[k % kLanes] += norm_sqr(a[i0]);
        p1[k % kLanes] += norm_sqr(a[i0 | bit]);
    }
    const auto combine = [](const double* p) {
        return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
    };
    return {combine(p0), combine(p1)};
}

}  // namespace

Marginals marginal_totals(const Complex* a, unsigned n, unsigned t) {
    const std::uint64_t pairs = std::uint64_t{1} << (n - 1);
    const std::uint64_t blocks = (pairs + kMarginalBlock - 1) / kMarginalBlock;
    if (blocks == 1) return block_marginals(a, t, 0, pairs);
    std::vector<Marginals> partial(blocks);
    Marginals* out = partial.data();
    pool::for_each(blocks, [=](std::uint64_t b) {
        out[b] = block_marginals(a, t, b * kMarginalBlock, std::min(pairs, (b + 1) * kMarginalBlock));
    });
    Marginals total;
    for (const Marginals& m : partial) {
        total.p0 += m.p0;
        total.p1 += m.p1;
    }
    return total;
}

namespace {

[[noreturn]] void sample_error_panic(random::SampleError error, Location where) {
    panic(unwrap_message(random::sample_error_name(error)), where);
}

// Fills the cache with the running sum at the end of every block, exactly as
// the sequential running sum over all probabilities forms it. Returns the
// weights' error, if any, without caching anything.
std::optional<random::SampleError> build_cache(RegisterState& state) {
    SampleCache& cache = state.cache;
    const Complex* a = state.amplitudes.data();
    const std::uint64_t count = state.amplitudes.size();
    double running = norm_sqr(a[0]);
    if (!(running >= 0.0)) return random::SampleError::InvalidWeight;
    double* ends = cache.block_ends.data();
    for (std::uint64_t i = 1; i < count; ++i) {
        const double w = norm_sqr(a[i]);
        if (!(w >= 0.0)) return random::SampleError::InvalidWeight;
        if (i % SampleCache::kBlock == 0) ends[i / SampleCache::kBlock - 1] = running;
        running += w;
    }
    ends[cache.block_ends.size() - 1] = running;
    if (running == 0.0) return random::SampleError::AllWeightsZero;
    cache.total = running;
    return std::nullopt;
}

// The number of running sums (over all but the last weight) that are <= x.
std::uint64_t search(const RegisterState& state, double x) {
    const SampleCache& cache = state.cache;
    const double* ends = cache.block_ends.data();
    const std::uint64_t block =
        static_cast<std::uint64_t>(std::upper_bound(ends, ends + cache.block_ends.size(), x) - ends);
    const Complex* a = state.amplitudes.data();
    const std::uint64_t last = state.amplitudes.size() - 1;
    std::uint64_t i = block * SampleCache::kBlock;
    double running = i == 0 ? norm_sqr(a[0]) : ends[block - 1] + norm_sqr(a[i]);
    while (i < last && !(running > x)) {
        ++i;
        running += norm_sqr(a[i]);
    }
    return i;
}

}  // namespace

std::uint64_t Register::measure(std::uint64_t target) {
    RegisterState& state = *state_;
    const unsigned bit = static_cast<unsigned>(target % 32);
    const bool in_range = bit < qubits_;
    pool::acquire();
    Marginals m;
    {
        StateLock lock(state, site::kReadLock);
        run_pending(state, qubits_);
        if (in_range) m = marginal_totals(state.amplitudes.data(), qubits_, bit);
    }
    if (!in_range) {
        // The first pair meets it: i0 = 0 is always in range, i1 = 2^bit is not.
        panic(index_message(state.amplitudes.size(), std::uint64_t{1} << bit), site::kMarginalIndex);
    }
    const double weights[2] = {m.p0, m.p1};
    auto built = random::WeightedSampler::build(weights);
    if (auto* error = std::get_if<random::SampleError>(&built)) sample_error_panic(*error, site::kMeasureSampler);
    const auto& sampler = std::get<random::WeightedSampler>(built);
    const std::uint32_t outcome = sampler.sample(*random::thread_rng());

    // The projection onto the outcome, with 1 / sqrt(P) on the kept half.
    const Complex factor{1.0 / std::sqrt(outcome == 0 ? m.p0 : m.p1), 0.0};
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
    bool fresh = false;
    pool::acquire();  // the probabilities of a sample are collected on the pool
    {
        StateLock lock(state, site::kReadLock);
        run_pending(state, qubits_);
        if (!cache.valid()) {
            const std::uint64_t blocks = (state.amplitudes.size() + SampleCache::kBlock - 1) / SampleCache::kBlock;
            if (cache.block_ends.size() != blocks) cache.block_ends = Buffer<double>(blocks);
            error = build_cache(state);
            fresh = !error;
        }
    }
    // Failures are raised outside the lock, so they never poison it.
    if (error) sample_error_panic(*error, site::kSampleSampler);
    if (fresh) cache.range.emplace(0.0, cache.total);  // an infinite total panics here
    const double x = cache.range->sample(*random::thread_rng());
    StateLock lock(state, site::kReadLock);
    return search(state, x);
}

}  // namespace velqor
