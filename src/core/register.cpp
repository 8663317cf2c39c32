#include "core/register.hpp"

#include <string>

#include "runtime/host.hpp"
#include "runtime/panic.hpp"
#include "runtime/pool.hpp"
#include "core/kernels/pair_plan.hpp"
#include "core/state.hpp"

namespace velqor {
namespace {

// Whether apply_gate queues its gates (VELQOR_DEFERRED, the default) or applies
// each at its call.
#ifndef VELQOR_DEFERRED
#define VELQOR_DEFERRED 1
#endif
constexpr bool kDeferred = VELQOR_DEFERRED != 0;

}  // namespace

Register::Register(std::uint64_t qubits) {
    if (qubits >= kQubitLimit) {
        panic(msg::fill(msg::kQubitLimit, {std::to_string(kQubitLimit)}), site::kQubitLimit);
    }
    auto state = std::make_unique<RegisterState>();
    const std::size_t amplitudes = std::size_t{1} << qubits;
    host::release_for(amplitudes);  // the new pages are faulted in
    try {
        state->amplitudes = Buffer<Complex>(amplitudes);
    } catch (const std::bad_alloc&) {
        throw RegisterMemoryRefused(amplitudes * sizeof(Complex), static_cast<std::uint32_t>(qubits));
    }
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
        if (t >= qubits_) panic(std::string(msg::kTargetOutOfRange), site::kTargetRange);
        // Every target's application needs the pool, even one that changes
        // nothing or waits in the queue: acquired here, before any lock.
        pool::acquire();
        QueuedGate entry{gate, 0, static_cast<std::uint32_t>(t)};
        if (!kernels::control_mask_of(qubits_, t, controls.data(), controls.size(), entry.control_mask)) continue;
        state.cache.invalidate();
        if (kDeferred && !state.pending.full()) {
            // Refused at its call, as an application under the lock would be.
            if (state.poisoned.load(std::memory_order_relaxed)) panic(poison_message(), site::kApplyLock);
            state.pending.push(entry);
            continue;
        }
        host::release_for(state.amplitudes.size());
        StateLock lock(state, site::kApplyLock);
        if (kDeferred) {
            // A full queue runs its first stretch only: this gate and the
            // next may still join the others.
            apply_first_stretch(state.pending, state.amplitudes.data(), qubits_);
            state.pending.push(entry);
        } else {
            apply_pending(state, qubits_);
            apply_now(entry, state.amplitudes.data(), qubits_);
        }
    }
}

Buffer<double> Register::probabilities() const {
    RegisterState& state = *state_;
    pool::acquire();
    host::release_for(state.amplitudes.size());
    Buffer<double> out(state.amplitudes.size());
    StateLock lock(state, site::kReadLock);
    apply_pending(state, qubits_);
    const Complex* a = state.amplitudes.data();
    double* p = out.data();
    const auto body = [a, p](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t i = lo; i < hi; ++i) p[i] = norm_sqr(a[i]);
    };
    pool::for_each_range_unless_small(out.size(), body);
    return out;
}

void Register::with_amplitudes(const std::function<void(std::span<Complex>)>& visit) const {
    RegisterState& state = *state_;
    StateLock lock(state, site::kReadLock);
    apply_pending(state, qubits_);
    visit(state.amplitudes.span());
}

}  // namespace velqor
