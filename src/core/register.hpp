// The register: the state vector of n qubits (2^n amplitudes, qubit k is bit k
// of an index) behind one exclusive lock with a poisoned mark, gate
// application, probabilities and measurement. The class is defined in two
// files by job: register.cpp creates the state, applies gates and reads out
// the probabilities; measure.cpp measures (the marginal totals it draws from
// are defined in core/marginals.hpp), collapses and samples.
//
// Gates wait in a queue on the state (core/queue/gate_queue.hpp) until something
// reads the state: every read takes the lock and applies the queue first, so
// each observable result is the one of gates applied at their calls.
//
// Locking: the amplitudes are touched only under the lock (pool workers write
// them inside a loop that the locking call waits for). Two members of the state
// are touched outside it, by an exclusive call only: the gate queue (appended
// by apply_gate) and the measure_all cache (invalidated by apply_gate). No
// other call overlaps an exclusive one (the binding layer's borrow of the
// Python object sees to it, whether or not the call has let go of the
// interpreter lock); shared calls (probabilities, measure_all) may overlap
// each other and touch those members under the lock. core/state.hpp says what
// guards each member.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "core/complex.hpp"
#include "core/register_memory.hpp"
#include "core/gate.hpp"

namespace velqor {

struct RegisterState;

class Register {
public:
    static constexpr std::uint64_t kQubitLimit = 30;

    // n >= 30 panics with the qubit-limit message; a refused state vector throws
    // RegisterMemoryRefused, any other refused allocation std::bad_alloc. The
    // state starts as the basis state |0...0>.
    explicit Register(std::uint64_t qubits);
    Register(Register&&) noexcept;
    Register& operator=(Register&&) noexcept;
    ~Register();

    std::uint32_t qubits() const noexcept { return qubits_; }

    // Applies `gate` to each target in list order; a target >= n panics, leaving
    // the earlier targets applied. A control equal to the target or >= n makes
    // that target's application a no-op. Each target needs the pool (created
    // here, or its failure raised); the gate itself is queued (unless built
    // with VELQOR_DEFERRED=OFF), and a poisoned lock panics here, at the call,
    // as an application under the lock would.
    void apply_gate(const Gate& gate, std::span<const std::uint64_t> targets, std::span<const std::uint64_t> controls);

    // |amplitude_i|^2 for every basis state, in index order.
    Buffer<double> probabilities() const;

    // Measures qubit `target`, collapses the state onto the outcome and returns it.
    std::uint64_t measure(std::uint64_t target);

    // Draws one basis state from the whole distribution; the state is unchanged.
    std::uint64_t measure_all() const;

    // Runs `visit` on the amplitudes under the register's lock (tests and tools).
    // A panic raised by `visit` poisons the lock, as any panic under it would.
    void with_amplitudes(const std::function<void(std::span<Complex>)>& visit) const;

private:
    std::unique_ptr<RegisterState> state_;  // the only handle; fixed for the register's life
    std::uint32_t qubits_ = 0;              // fixed at creation
};

}  // namespace velqor
