#include "core/kernels/apply.hpp"

#include "runtime/pool.hpp"
#include "core/kernels/isa.hpp"
#include "core/kernels/pair_ops.hpp"
#include "core/kernels/rows.hpp"

namespace velqor::kernels {
namespace {

// The traversal of each op is compiled for its lanes' target with everything
// it calls inlined into it (flatten), so that the lanes' operations are
// inlined too; the op itself holds plain numbers and is passed by reference,
// so no vector value crosses from one target to another.
// The baseline lanes need no target attribute (and on aarch64 neither do the scalar ones).
template <class Op>
__attribute__((flatten)) void traverse_base(const PairPlan& plan, Complex* data, const Op& op) {
    apply_rows<false>(plan, data, 0, plan.pairs, op);
}

void apply_in_block_base(const Gate& g, const PairPlan& plan, Complex* data) {
    visit_op<BaseLanes>(g, [&](const auto& op) { traverse_base(plan, data, op); });
}

#if defined(__x86_64__)

template <class Op>
VELQOR_TARGET_AVX2 __attribute__((flatten)) void traverse_avx2(const PairPlan& plan, Complex* data, const Op& op) {
    apply_rows<false>(plan, data, 0, plan.pairs, op);
}

template <class Op>
VELQOR_TARGET_AVX512 __attribute__((flatten)) void traverse_avx512(const PairPlan& plan, Complex* data, const Op& op) {
    apply_rows<false>(plan, data, 0, plan.pairs, op);
}

// The pairs a vector of `width` pairs can take whole: rows of at least that
// many pairs, or the adjacent pairs of a gate on qubit 0 (split in registers).
// Rows shorter than the lanes would take each row through the narrower lanes,
// preparing the gate's entries again for every row.
bool fills_lanes(const PairPlan& plan, std::uint64_t width) noexcept {
    return plan.row >= width || pairs_adjacent(plan);
}

void apply_in_block_avx2(const Gate& g, const PairPlan& plan, Complex* data) {
    if (!fills_lanes(plan, Avx2Lanes::kWidth)) return apply_in_block_base(g, plan, data);
    visit_op<Avx2Lanes>(g, [&](const auto& op) { traverse_avx2(plan, data, op); });
}

void apply_in_block_avx512(const Gate& g, const PairPlan& plan, Complex* data) {
    if (!fills_lanes(plan, Avx512Lanes::kWidth)) return apply_in_block_avx2(g, plan, data);
    visit_op<Avx512Lanes>(g, [&](const auto& op) { traverse_avx512(plan, data, op); });
}

#elif defined(__aarch64__)

// The portable lanes, beside the NEON baseline (same target: no attribute).
void apply_in_block_scalar(const Gate& g, const PairPlan& plan, Complex* data) {
    visit_op<ScalarLanes>(g, [&](const auto& op) { traverse_base(plan, data, op); });
}

#endif

// Gate application over the whole state in the lanes L, on the pool.
template <class L>
void apply_to_state_in(const Gate& gate, unsigned t, std::uint64_t control_mask, Complex* amplitudes, unsigned n) {
    PairPlan plan;
    make_plan_from_mask(n, t, control_mask, plan);
    visit_op<L>(gate, [&](auto op) {
        if constexpr (requires { op.stream_zeros; }) op.stream_zeros = streams_zeros(plan);
        const auto body = [&](std::uint64_t lo, std::uint64_t hi) {
            apply_rows(plan, amplitudes, lo, hi, op);
            op.finish();
        };
        pool::for_each_range_unless_small(plan.pairs, body);
    });
}

}  // namespace

void apply_to_state(const Gate& gate, unsigned t, std::uint64_t control_mask, Complex* amplitudes, unsigned n) {
#if defined(__aarch64__)
    // Both lanes of aarch64 are one complex wide: the scalar ones are
    // selectable here too, so that forcing them runs every gate on them.
    if (active_isa() == Isa::Scalar) return apply_to_state_in<ScalarLanes>(gate, t, control_mask, amplitudes, n);
#endif
    apply_to_state_in<BaseLanes>(gate, t, control_mask, amplitudes, n);
}

InBlockKernel in_block_kernel() noexcept {
#if defined(__x86_64__)
    return widest_kernel<InBlockKernel>(&apply_in_block_base, &apply_in_block_avx2, &apply_in_block_avx512);
#elif defined(__aarch64__)
    return widest_kernel<InBlockKernel>(&apply_in_block_scalar, &apply_in_block_base);
#else
    return widest_kernel<InBlockKernel>(&apply_in_block_base);
#endif
}

}  // namespace velqor::kernels
