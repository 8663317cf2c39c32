// The register's shared state: the amplitude vector behind one exclusive lock
// with a poisoned mark, and what repeated sampling of an unchanged state keeps.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "runtime/panic.hpp"
#include "runtime/random.hpp"
#include "core/buffer.hpp"
#include "core/complex.hpp"

namespace velqor {

// What measure_all keeps between calls while the state does not change: the
// running sum of the probabilities at the end of every block of kBlock basis
// states, bit-identical to the sequential running sum, and the draw range.
struct SampleCache {
    static constexpr std::uint64_t kBlock = 64;

    Buffer<double> block_ends;
    double total = 0.0;
    std::optional<random::UniformRange> range;  // [0, total); set while the cache is valid

    bool valid() const noexcept { return range.has_value(); }
    void invalidate() noexcept { range.reset(); }
};

struct RegisterState {
    std::mutex mutex;
    bool poisoned = false;
    Buffer<Complex> amplitudes;
    SampleCache cache;
};

// Holds the register's lock. Taking it when the poisoned mark is set panics at
// `where`; a panic that unwinds through the holder sets the mark for good. Other
// exceptions (a refused allocation) leave the state usable and do not poison.
class StateLock {
public:
    StateLock(RegisterState& state, Location where) : lock_(state.mutex), state_(state) {
        if (state.poisoned) panic(unwrap_message("PoisonError { .. }"), where);
        panics_at_entry_ = thread_panic_count();
    }
    ~StateLock() {
        if (thread_panic_count() > panics_at_entry_) state_.poisoned = true;
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
    RegisterState& state_;
    std::uint32_t panics_at_entry_ = 0;
};

}  // namespace velqor
