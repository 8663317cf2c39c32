// Keys and fork lineage: the keys a generator derives from VELQOR_SEED, and
// the count of forks that makes a forked child's generators rekey. Any
// thread; nothing blocks. The lineage is written only by the fork registry's
// child handler (the child's one thread then).
//
// Keys derived from VELQOR_SEED. Each is the first eight words of one ChaCha12
// block whose stream word names the key's role and whose counter names the
// member, so keys of different roles or members never coincide, and none is a
// block that a generator hands out (those use stream 0):
//
//   process key  = block(lineage, counter = seed, stream 1)
//   thread key   = block(process key, counter = thread number, stream 2)
//   next key     = block(current key, counter = 0, stream 3)     at each reseed
//   lineage      = block(parent's lineage, counter = fork number, stream 4)
//
// The lineage is all zeros in a process that no fork made; a child takes it from
// its parent's lineage and the parent's count of forks, so children of one
// parent, and their children, draw streams of their own.
#pragma once

#include <cstdint>
#include <optional>

#include "runtime/random/chacha.hpp"

namespace velqor::random {

inline constexpr unsigned kGeneratorRounds = 12;
inline constexpr std::uint64_t kNextKeyStream = 3;

// The first eight words of block(key, counter, stream), 12 rounds.
Key derive_key(const Key& key, std::uint64_t counter, std::uint64_t stream);

// The seed setting, read from VELQOR_SEED on first need and kept.
struct SeedSetting {
    bool set = false;                   // the variable is present
    std::optional<std::uint64_t> seed;  // its value, when it is a valid one
};
const SeedSetting& seed_setting();

// The calling thread's first key under `seed`, in this process's lineage.
// Asked once per thread, when its generator is keyed.
Key seeded_thread_key(std::uint64_t seed);

// Moves on at every fork, in the child: a generator that recorded another
// value rekeys before its next draw.
std::uint64_t fork_generation() noexcept;

}  // namespace velqor::random
