// The register's shared state: the amplitude vector behind one exclusive lock
// with a poisoned mark, the gates waiting to be applied to it, and what
// repeated sampling of an unchanged state keeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "runtime/host.hpp"
#include "runtime/panic.hpp"
#include "runtime/random/sampling.hpp"
#include "core/buffer.hpp"
#include "core/complex.hpp"
#include "core/queue/queue_apply.hpp"

namespace velqor {

// What measure_all keeps between calls while the state does not change: the
// running sum of the probabilities at the end of every chunk of kChunk basis
// states, bit-identical to the sequential running sum, and the draw range.
struct SampleCache {
    static constexpr std::uint64_t kChunk = 64;

    Buffer<double> chunk_ends;
    double total = 0.0;
    bool summed = false;                        // chunk_ends and total hold the state's sums
    std::optional<random::UniformRange> range;  // [0, total); set once a draw has built it

    void invalidate() noexcept {
        summed = false;
        range.reset();
    }
};

// What guards each member. A Register's calls are exclusive (apply_gate,
// measure) or shared (probabilities, measure_all), as for any C++ object: an
// exclusive call never overlaps another call on the same register (the binding
// layer's borrow of the Python object enforces it), while shared calls may
// overlap each other on several threads. "Exclusive call" below means: touched
// outside the lock only by an exclusive call, which no other call can overlap;
// shared calls touch the member under the lock. Pool workers touch only the
// amplitudes, inside a loop that a call holding the lock starts and waits for.
struct RegisterState {
    std::mutex mutex;
    // Set under the lock (by a panic unwinding through a holder), read under
    // it and also, to refuse a gate before queueing it, outside it: atomic.
    std::atomic<bool> poisoned{false};
    // Guarded by `mutex`.
    Buffer<Complex> amplitudes;
    // Guarded by `mutex`, or by an exclusive call: apply_gate appends to it
    // outside the lock; every read applies and empties it under the lock.
    GateQueue pending;
    // Guarded by `mutex`, or by an exclusive call: apply_gate invalidates it
    // outside the lock; measure_all fills it and copies its range under the lock.
    SampleCache cache;
};

inline std::string poison_message() { return unwrap_message(msg::kPoisoned); }

// Holds the register's lock. Taking it when the poisoned mark is set panics at
// `where`; a panic that unwinds through the holder sets the mark for good. Other
// exceptions (a refused allocation) leave the state usable and do not poison.
class StateLock {
public:
    // Waiting for the lock lets the host run other threads: another thread's
    // call on this register may hold it through a long loop.
    StateLock(RegisterState& state, Location where) : lock_(state.mutex, std::try_to_lock), state_(state) {
        if (!lock_.owns_lock()) {
            host::release();
            lock_.lock();
        }
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
