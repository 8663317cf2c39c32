#include "core/register.hpp"

#include <string>

#include "runtime/panic.hpp"
#include "runtime/pool.hpp"
#include "core/kernels.hpp"
#include "core/state.hpp"

namespace velqor {
namespace {

constexpr const char* kTargetMessage = "Target(s) outside qubit range";

// Loops with fewer items than this run on the calling thread: handing them to
// the pool costs more than the work.
constexpr std::uint64_t kSerialPairs = std::uint64_t{1} << 14;
constexpr std::uint64_t kSerialElements = std::uint64_t{1} << 14;

// Runs body over [0, count): on the calling thread when the loop is small, on
// the pool otherwise. The caller has acquired the pool already.
template <class Body>
void run_loop(std::uint64_t count, std::uint64_t serial_below, Body&& body) {
    if (count < serial_below) {
        body(std::uint64_t{0}, count);
    } else {
        pool::for_each_range(count, body);
    }
}

template <class Op>
void run_plan(const kernels::PairPlan& plan, Complex* amplitudes, const Op& op) {
    run_loop(plan.pairs, kSerialPairs, [&](std::uint64_t lo, std::uint64_t hi) {
        kernels::for_each_run(plan, amplitudes, lo, hi, op);
        op.finish();
    });
}

template <kernels::Kind K0, kernels::Kind K1>
void run_diagonal(const kernels::PairPlan& plan, Complex* a, const Gate& g) {
    kernels::DiagonalOp<K0, K1> op{g.m00, g.m11};
    op.stream_zeros = kernels::streams_zeros(plan);
    run_plan(plan, a, op);
}

template <kernels::Kind K0>
void run_diagonal(const kernels::PairPlan& plan, Complex* a, const Gate& g, kernels::Kind k1) {
    using kernels::Kind;
    switch (k1) {
        case Kind::One: return run_diagonal<K0, Kind::One>(plan, a, g);
        case Kind::Zero: return run_diagonal<K0, Kind::Zero>(plan, a, g);
        case Kind::Real: return run_diagonal<K0, Kind::Real>(plan, a, g);
        case Kind::General: return run_diagonal<K0, Kind::General>(plan, a, g);
    }
}

template <kernels::Kind K0>
void run_swap(const kernels::PairPlan& plan, Complex* a, const Gate& g, kernels::Kind k1) {
    using kernels::Kind;
    switch (k1) {
        case Kind::One: return run_plan(plan, a, kernels::SwapOp<K0, Kind::One>{g.m01, g.m10});
        case Kind::General: return run_plan(plan, a, kernels::SwapOp<K0, Kind::General>{g.m01, g.m10});
        default: return run_plan(plan, a, kernels::SwapOp<K0, Kind::Real>{g.m01, g.m10});
    }
}

// Picks the kernel that the gate's entries allow and runs it over the plan.
void apply_planned(const kernels::PairPlan& plan, Complex* a, const Gate& g) {
    using kernels::Kind;
    const Kind k00 = kernels::kind_of(g.m00);
    const Kind k01 = kernels::kind_of(g.m01);
    const Kind k10 = kernels::kind_of(g.m10);
    const Kind k11 = kernels::kind_of(g.m11);
    if (k01 == Kind::Zero && k10 == Kind::Zero) {
        switch (k00) {
            case Kind::One:
                if (k11 == Kind::One) return;  // the identity changes nothing
                return run_diagonal<Kind::One>(plan, a, g, k11);
            case Kind::Zero: return run_diagonal<Kind::Zero>(plan, a, g, k11);
            case Kind::Real: return run_diagonal<Kind::Real>(plan, a, g, k11);
            case Kind::General: return run_diagonal<Kind::General>(plan, a, g, k11);
        }
    }
    if (k00 == Kind::Zero && k11 == Kind::Zero) {
        // Both off-diagonal entries are non-zero here (a zero one would make the
        // matrix diagonal, handled above).
        switch (k01) {
            case Kind::One: return run_swap<Kind::One>(plan, a, g, k10);
            case Kind::General: return run_swap<Kind::General>(plan, a, g, k10);
            default: return run_swap<Kind::Real>(plan, a, g, k10);
        }
    }
    const bool all_real = k00 != Kind::General && k01 != Kind::General && k10 != Kind::General &&
                          k11 != Kind::General;
    if (all_real) return run_plan(plan, a, kernels::DenseOp<Kind::Real>{g.m00, g.m01, g.m10, g.m11});
    run_plan(plan, a, kernels::DenseOp<Kind::General>{g.m00, g.m01, g.m10, g.m11});
}

}  // namespace

Register::Register(std::uint64_t qubits) {
    if (qubits >= kQubitLimit) {
        panic("Number of qubits must be less than " + std::to_string(kQubitLimit), site::kQubitLimit);
    }
    auto state = std::make_unique<RegisterState>();
    state->amplitudes = Buffer<Complex>(std::size_t{1} << qubits);
    state->amplitudes[0] = kOne;
    state_ = std::move(state);
    qubits_ = static_cast<std::uint32_t>(qubits);
}

Register::Register(Register&&) noexcept = default;
Register& Register::operator=(Register&&) noexcept = default;
Register::~Register() = default;

void Register::apply_gate(const Gate& gate, std::span<const std::uint64_t> targets,
                          std::span<const std::uint64_t> controls) {
    RegisterState& state = *state_;
    for (const std::uint64_t t : targets) {
        if (t >= qubits_) panic(kTargetMessage, site::kTargetRange);
        pool::acquire();  // every target's loop needs the pool, even one that changes nothing
        kernels::PairPlan plan;
        if (!kernels::make_plan(qubits_, t, controls.data(), controls.size(), plan)) continue;
        StateLock lock(state, site::kApplyLock);
        state.cache.invalidate();
        apply_planned(plan, state.amplitudes.data(), gate);
    }
}

Buffer<double> Register::probabilities() const {
    RegisterState& state = *state_;
    pool::acquire();
    Buffer<double> out(state.amplitudes.size());
    StateLock lock(state, site::kReadLock);
    const Complex* a = state.amplitudes.data();
    double* p = out.data();
    run_loop(out.size(), kSerialElements, [a, p](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t i = lo; i < hi; ++i) p[i] = norm_sqr(a[i]);
    });
    return out;
}

void Register::with_amplitudes(const std::function<void(std::span<Complex>)>& visit) const {
    RegisterState& state = *state_;
    StateLock lock(state, site::kReadLock);
    visit(state.amplitudes.span());
}

}  // namespace velqor
