// The per-thread generator: a ChaCha12 keystream under a key from the
// operating system (or derived from VELQOR_SEED), rekeyed every 65,536 bytes
// and after a fork.
//
// Who may share it: only the thread that made it. thread_rng() hands out
// counted handles so that one measurement's handle keeps the generator alive
// while it draws, and the thread's storage holds the last one; a handle must
// not leave its thread (nothing here is locked). Nothing blocks but the
// operating system's read at creation and at a reseed.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "runtime/random/chacha.hpp"

namespace velqor::random {

// A generator's first key when VELQOR_SEED is set: derived from the seed, the
// process's fork lineage and the thread's number.
struct SeededKey {
    std::uint64_t seed;
    std::array<std::uint32_t, 8> words;
};

// Per-thread ChaCha12 generator: four blocks per refill, a new key after every
// 65,536 bytes of output, and a new key before the next draw in a process
// forked after it was created. The new keys come from the operating system, or,
// for a generator made from a SeededKey, are derived from the seed and the key
// before them, so that its draws repeat from run to run.
class ThreadGenerator {
public:
    static constexpr std::int64_t kReseedInterval = 65536;

    explicit ThreadGenerator(const std::array<std::uint8_t, 32>& seed);
    explicit ThreadGenerator(SeededKey key);

    std::uint64_t draw_u64();

    // Observers, for tests.
    const std::array<std::uint32_t, 8>& key() const noexcept { return key_; }
    std::uint64_t counter() const noexcept { return counter_; }
    std::int64_t budget() const noexcept { return budget_; }

private:
    void refill();
    void reseed();
    void rekey_after_fork();
    // Takes a new key, derived by `derive_seeded_key` for a seeded generator, else
    // read from the operating system, with counter and stream back at 0; false
    // (nothing changed) when that read fails.
    template <class DeriveKey>
    bool take_key(DeriveKey&& derive_seeded_key);

    std::array<std::uint32_t, 64> words_{};
    std::uint32_t position_ = 64;
    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;
    std::uint64_t stream_ = 0;
    std::int64_t interval_ = kReseedInterval;
    std::int64_t budget_ = kReseedInterval;
    std::optional<std::uint64_t> seed_;  // VELQOR_SEED, for a generator whose keys derive from it
    std::uint64_t fork_generation_ = 0;
};

// The calling thread's generator, created on the thread's first call: keyed from
// VELQOR_SEED when it is set (a panic with a fixed message when its value is
// not valid), from the operating system otherwise (a panic "could not
// initialize thread_rng: OS Error: N" when no key can be read). It is freed
// when the thread ends and no handle is left. A refused allocation throws
// std::bad_alloc; the next call tries again.
std::shared_ptr<ThreadGenerator> thread_rng();

}  // namespace velqor::random
