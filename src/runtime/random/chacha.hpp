// The ChaCha block function in the 64-bit counter / 64-bit nonce layout: one
// block, or four consecutive blocks side by side in vector lanes (what a
// generator's refill runs). Pure functions: any thread, nothing blocks.
#pragma once

#include <array>
#include <cstdint>

namespace velqor::random {

using Key = std::array<std::uint32_t, 8>;

// One ChaCha block: 16 output words for (key, 64-bit counter, 64-bit stream) and
// `rounds` rounds (8, 12 or 20), in the 64-bit counter / 64-bit nonce layout.
void chacha_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream, unsigned rounds,
                  std::uint32_t out[16]);

// Four consecutive blocks (counters counter .. counter + 3, wrapping) computed side
// by side: block i goes to out[16 * i .. 16 * i + 15]. This is what a refill runs.
void chacha_blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                    unsigned rounds, std::uint32_t out[64]);

}  // namespace velqor::random
