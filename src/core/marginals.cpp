#include "core/marginals.hpp"

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "runtime/pool.hpp"
#include "core/kernels/isa.hpp"

namespace velqor {
namespace {

constexpr unsigned kLanes = 8;

double combine_lanes(const double* lane) noexcept {
    return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
}

// The definition itself, one amplitude at a time: the baseline, and the
// reference of the vector path.
void add_groups_scalar(const Complex* a, std::uint64_t count, std::uint64_t first, unsigned t,
                       ExactSum* sides) noexcept {
    const std::uint64_t group = std::min(count, MarginalSums::kGroup);
    for (std::uint64_t g = 0; g < count; g += group) {
        double lanes[2][kLanes] = {};
        unsigned next[2] = {0, 0};
        for (std::uint64_t j = 0; j < group; ++j) {
            const unsigned side = static_cast<unsigned>(((first + g + j) >> t) & 1);
            lanes[side][next[side]++ % kLanes] += norm_sqr(a[g + j]);
        }
        for (unsigned side = 0; side < 2; ++side) {
            if (next[side] != 0) sides[side].add(combine_lanes(lanes[side]));
        }
    }
}

#if defined(__x86_64__)

// |a[0..7]|^2 in index order, each square and sum rounded once as in norm_sqr.
VELQOR_TARGET_AVX512 inline __m512d norms8(const Complex* a) noexcept {
    const __m512i real = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i imag = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
    __m512d x = _mm512_loadu_pd(&a[0].real);
    __m512d y = _mm512_loadu_pd(&a[4].real);
    x = _mm512_mul_pd(x, x);
    y = _mm512_mul_pd(y, y);
    return _mm512_add_pd(_mm512_permutex2var_pd(x, real, y), _mm512_permutex2var_pd(x, imag, y));
}

// The lanes of v in the order of `order`.
VELQOR_TARGET_AVX512 inline __m512d swapped(__m512d v, __m512i order) noexcept {
    return _mm512_permutex2var_pd(v, order, v);
}

// ((l0+l1)+(l2+l3))+((l4+l5)+(l6+l7)) of the eight lanes.
VELQOR_TARGET_AVX512 inline double combine8(__m512d l) noexcept {
    const __m512d pairs = _mm512_add_pd(l, swapped(l, _mm512_set_epi64(6, 7, 4, 5, 2, 3, 0, 1)));  // l0+l1 at 0, ...
    const __m512d quads = _mm512_add_pd(pairs, swapped(pairs, _mm512_set_epi64(5, 4, 7, 6, 1, 0, 3, 2)));
    const __m512d all = _mm512_add_pd(quads, swapped(quads, _mm512_set_epi64(3, 2, 1, 0, 7, 6, 5, 4)));
    return _mm512_cvtsd_f64(all);
}

// The same sums eight lanes at a time: lane vector j holds the side's m-th
// amplitudes with m mod 8 = j, added in index order.
VELQOR_TARGET_AVX512 void add_groups_avx512(const Complex* a, std::uint64_t count, std::uint64_t first, unsigned t,
                                            ExactSum* sides) noexcept {
    // For t < 3: the eight amplitudes of each side among 16 consecutive ones.
    __m512i pick[2] = {};
    if (t < 3) {
        long long index[2][kLanes];
        unsigned next[2] = {0, 0};
        for (unsigned j = 0; j < 16; ++j) {
            const unsigned side = (j >> t) & 1;
            index[side][next[side]++] = j;
        }
        for (unsigned side = 0; side < 2; ++side) pick[side] = _mm512_loadu_si512(index[side]);
    }
    // The groups' totals go to the exact sums in batches.
    constexpr unsigned kBatch = 64;
    double batch[2][kBatch];
    unsigned held[2] = {0, 0};
    const auto hold = [&](unsigned side, double total) {
        batch[side][held[side]++] = total;
        if (held[side] == kBatch) {
            sides[side].add_all(batch[side], kBatch);
            held[side] = 0;
        }
    };
    for (std::uint64_t g = 0; g < count; g += MarginalSums::kGroup) {
        const Complex* x = a + g;
        const __m512d n0 = norms8(x), n1 = norms8(x + 8), n2 = norms8(x + 16), n3 = norms8(x + 24);
        if (t >= 5) {
            const unsigned side = static_cast<unsigned>(((first + g) >> t) & 1);
            hold(side, combine8(_mm512_add_pd(_mm512_add_pd(_mm512_add_pd(n0, n1), n2), n3)));
        } else if (t == 4) {
            hold(0, combine8(_mm512_add_pd(n0, n1)));
            hold(1, combine8(_mm512_add_pd(n2, n3)));
        } else if (t == 3) {
            hold(0, combine8(_mm512_add_pd(n0, n2)));
            hold(1, combine8(_mm512_add_pd(n1, n3)));
        } else {
            for (unsigned side = 0; side < 2; ++side) {
                hold(side, combine8(_mm512_add_pd(_mm512_permutex2var_pd(n0, pick[side], n1),
                                                  _mm512_permutex2var_pd(n2, pick[side], n3))));
            }
        }
    }
    sides[0].add_all(batch[0], held[0]);
    sides[1].add_all(batch[1], held[1]);
}

#endif  // __x86_64__

}  // namespace

void MarginalSums::add_segment(const Complex* segment, std::uint64_t count, std::uint64_t first) noexcept {
    using AddGroups = void (*)(const Complex*, std::uint64_t, std::uint64_t, unsigned, ExactSum*) noexcept;
    // The vector path takes whole groups only: a smaller state is one short group.
#if defined(__x86_64__)
    const AddGroups vector_path =
        kernels::widest_kernel<AddGroups>(&add_groups_scalar, &add_groups_scalar, &add_groups_avx512);
#else
    const AddGroups vector_path = &add_groups_scalar;  // elsewhere the definition itself serves
#endif
    const AddGroups add_groups = count >= kGroup ? vector_path : &add_groups_scalar;
    add_groups(segment, count, first, target_, sides_);
}

void MarginalSums::add(const MarginalSums& other) noexcept {
    sides_[0].add(other.sides_[0]);
    sides_[1].add(other.sides_[1]);
}

Marginals MarginalSums::totals() const noexcept { return {sides_[0].value(), sides_[1].value()}; }

void SharedMarginals::merge(const MarginalSums& part) {
    const std::lock_guard lock(mutex_);
    sums_.add(part);
}

Marginals marginal_totals(const Complex* a, unsigned n, unsigned t) {
    const std::uint64_t count = std::uint64_t{1} << n;
    // Small states on the calling thread: the pool's threshold, in amplitudes.
    if (count < pool::kSmallLoop) {
        MarginalSums sums(t);
        sums.add_segment(a, count, 0);
        return sums.totals();
    }
    SharedMarginals shared(t);
    const std::uint64_t groups = count / MarginalSums::kGroup;
    pool::for_each_range(groups, [&](std::uint64_t lo, std::uint64_t hi) {
        MarginalSums part(t);
        part.add_segment(a + lo * MarginalSums::kGroup, (hi - lo) * MarginalSums::kGroup, lo * MarginalSums::kGroup);
        shared.merge(part);
    });
    return shared.totals();
}

}  // namespace velqor
