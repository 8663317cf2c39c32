// The register's shared state: the amplitude vector behind one exclusive lock
// with a poisoned mark, the gates waiting to be applied to it, and what
// repeated sampling of an unchanged state keeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "runtime/panic.hpp"
#include "runtime/random.hpp"
#include "core/buffer.hpp"
#include "core/complex.hpp"
#include "core/queue/gate_queue.hpp"

namespace velqor {

// What measure_all keeps between calls while the state does not change: the
// running sum of the probabilities at the end of every chunk of kChunk basis
// states, bit-identical to the sequential running sum, and the draw range.
struct SampleCache {
    static constexpr std::uint64_t kChunk = 64;

    Buffer<double> chunk_ends;
    double total = 0.0;
    std::optional<random::UniformRange> range;  // [0, total); set while the cache is valid

    bool valid() const noexcept { return range.has_value(); }
    void invalidate() noexcept { range.reset(); }
};

// What guards each member. Calls on one register never overlap (the binding
// layer borrows the Python object, and the interpreter lock stays held for the
// whole call), and pool workers touch only the amplitudes, inside a loop that
// the calling thread starts and waits for while it holds the lock. Members
// marked "calling thread" are therefore touched outside the lock without a
// race: only by the thread of the current call, never by a worker.
struct RegisterState {
    std::mutex mutex;  // guards `amplitudes` and sets `poisoned`
    // Set under the lock (by a panic unwinding through a holder), read under
    // it and also, to refuse a gate before queueing it, outside it: atomic.
    std::atomic<bool> poisoned{false};
    // Under `mutex`. Workers write them only inside a loop of a call that holds it.
    Buffer<Complex> amplitudes;
    // Calling thread: apply_gate appends outside the lock; it is applied and
    // emptied under the lock by every read and by apply_gate when full.
    GateQueue pending;
    // Calling thread: apply_gate invalidates it outside the lock; measure_all
    // fills it under the lock and draws from its range outside it.
    SampleCache cache;
};

inline std::string poison_message() { return unwrap_message("PoisonError { .. }"); }

// Holds the register's lock. Taking it when the poisoned mark is set panics at
// `where`; a panic that unwinds through the holder sets the mark for good. Other
// exceptions (a refused allocation) leave the state usable and do not poison.
class StateLock {
public:
    StateLock(RegisterState& state, Location where) : lock_(state.mutex), state_(state) {
        if (state.poisoned.load(std::memory_order_relaxed)) panic(poison_message(), where);
        panics_at_entry_ = thread_panic_count();
    }
    ~StateLock() {
        if (thread_panic_count() > panics_at_entry_) state_.poisoned.store(true, std::memory_order_relaxed);
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
    RegisterState& state_;
    std::uint32_t panics_at_entry_ = 0;
};

// Applies the queued gates to the state and empties the queue; the caller
// holds the lock. Every read of the state calls this first. A refused
// allocation leaves the gates not yet applied queued, the state consistent.
inline void apply_pending(RegisterState& state, unsigned qubits) {
    if (state.pending.empty()) return;
    apply_queue(state.pending, state.amplitudes.data(), qubits);
}

}  // namespace velqor
